/*
 * device_secure.cpp - CreateSecureDevice and the driver's own
 * QelmbarCreateDeviceSecure: the device created with IoCreateDevice, then
 * its DACL set through a kernel handle to it, as the library routine of the
 * same contract does.
 *
 * The overrides of the device's setup class are read before the device
 * exists, since three of them are arguments of IoCreateDevice.  The
 * descriptor is set with DACL_SECURITY_INFORMATION only: the owner and the
 * group stay those the object manager gave the new device from the System
 * process's token, and the object manager maps the generic rights of the
 * DACL through the device type's mapping as it stores it.
 */
#include "driver/device_secure.h"
#include "registry/registry.h"

/* {C3D119B0-3D7B-4BD2-876A-9762FE3C576E} */
const GUID QELMBAR_DEVICE_CLASS_GUID = {
    0xC3D119B0, 0x3D7B, 0x4BD2, { 0x87, 0x6A, 0x97, 0x62, 0xFE, 0x3C, 0x57, 0x6E }
};

namespace {

const UNICODE_STRING SecureRoutineName = QSTRING("IoCreateDeviceSecure");
const UNICODE_STRING SecurityValueName = QSTRING("Security");
const UNICODE_STRING DeviceTypeValueName = QSTRING("DeviceType");
const UNICODE_STRING CharacteristicsValueName = QSTRING("DeviceCharacteristics");
const UNICODE_STRING ExclusiveValueName = QSTRING("Exclusive");
const WCHAR ClassKeyPrefix[] = QTEXT("\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\");
const WCHAR PropertiesSuffix[] = QTEXT("\\Properties");

/* "D:P": a protected DACL without ACEs, which only the kernel gets past. */
struct KernelOnlyLayout {
    SECURITY_DESCRIPTOR_RELATIVE Header;
    ACL Dacl;
};
const KernelOnlyLayout KernelOnlyDescriptor = {
    { SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED, 0, 0,
      0, sizeof(SECURITY_DESCRIPTOR_RELATIVE) },
    { ACL_REVISION, 0, sizeof(ACL), 0, 0 },
};

static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "self-relative descriptor header");
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40, "absolute descriptor");
static_assert(FIELD_OFFSET(SECURITY_DESCRIPTOR, Owner) == 8, "absolute descriptor owner");
static_assert(FIELD_OFFSET(SECURITY_DESCRIPTOR, Dacl) == 32, "absolute descriptor DACL");
static_assert(sizeof(ACL) == 8 && sizeof(ACE_HEADER) == 4, "ACL and ACE headers");
static_assert(FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) == 8, "ACE SID offset");
static_assert(FIELD_OFFSET(SID, SubAuthority) == 8, "SID sub-authorities");
static_assert(sizeof(GUID) == 16, "GUID");
static_assert(SE_SELF_RELATIVE == 0x8000 && SE_DACL_PROTECTED == 0x1000 && SE_DACL_PRESENT == 4,
              "descriptor control bits");
static_assert(FILE_GENERIC_READ == 0x120089 && FILE_ALL_ACCESS == 0x1F01FF, "file rights");
static_assert(sizeof(ClassKeyPrefix) / sizeof(WCHAR) - 1 + 38 +
                      sizeof(PropertiesSuffix) / sizeof(WCHAR) - 1 ==
                  CLASS_PROPERTIES_PATH_CHARS,
              "Properties key path length");

/* What the class's Properties key says; every field is "no override"
 * until a value of the right type is found. */
struct ClassOverrides {
    BOOLEAN HasDeviceType;
    DEVICE_TYPE DeviceType;
    ULONG Characteristics; /* OR-ed into the caller's */
    BOOLEAN HasExclusive;
    BOOLEAN Exclusive;
    RegistryValue *Security; /* a valid descriptor with a DACL */
    BOOLEAN SecurityDamaged;
};

PWCH AppendText(PWCH At, const WCHAR *Text)
{
    while (*Text)
        *At++ = *Text++;
    return At;
}

PWCH AppendHex(PWCH At, ULONG Value, ULONG Digits)
{
    static const WCHAR hex[] = QTEXT("0123456789ABCDEF");
    for (ULONG i = Digits; i-- > 0;)
        *At++ = hex[(Value >> (4 * i)) & 0xF];
    return At;
}

/* A REG_DWORD of four bytes; a missing value is no override, and so is a
 * value of another type or size. */
NTSTATUS QueryDwordOverride(HANDLE Key, PCUNICODE_STRING Name, PBOOLEAN Present, PULONG Value)
{
    RegistryValue *value = nullptr;
    NTSTATUS status = QueryRegistryValue(Key, (PUNICODE_STRING)Name, &value);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    if (value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(Value, value->Data, sizeof(ULONG));
        *Present = TRUE;
    }
    ExFreePoolWithTag(value, QELMBAR_TAG);
    return STATUS_SUCCESS;
}

/* The Security value: kept when it is a whole self-relative descriptor
 * with a real DACL.  A null DACL would open the device to everyone and a
 * descriptor without one has nothing to set, so both count as damaged. */
NTSTATUS QuerySecurityOverride(HANDLE Key, ClassOverrides *Overrides)
{
    RegistryValue *value = nullptr;
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    PACL dacl = nullptr;
    NTSTATUS status = QueryRegistryValue(Key, (PUNICODE_STRING)&SecurityValueName, &value);

    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    if (value->Type != REG_BINARY)
        goto Exit;
    if (!RtlValidRelativeSecurityDescriptor(value->Data, value->DataLength,
                                            DACL_SECURITY_INFORMATION)) {
        Overrides->SecurityDamaged = TRUE;
        goto Exit;
    }
    status = RtlGetDaclSecurityDescriptor(value->Data, &present, &dacl, &defaulted);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (!present || !dacl) {
        Overrides->SecurityDamaged = TRUE;
        goto Exit;
    }
    Overrides->Security = value;
    value = nullptr;

Exit:
    if (value)
        ExFreePoolWithTag(value, QELMBAR_TAG);
    return status;
}

NTSTATUS ReadClassOverrides(LPCGUID ClassGuid, ClassOverrides *Overrides)
{
    NTSTATUS status;
    WCHAR buffer[CLASS_PROPERTIES_PATH_CHARS];
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = nullptr;
    BOOLEAN present = FALSE;
    ULONG value = 0;

    ClassPropertiesPath(ClassGuid, buffer, &path);
    InitializeKeyAttributes(&attributes, &path, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
        key = nullptr;
        status = STATUS_SUCCESS;
        goto Exit;
    }
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }

    status = QueryDwordOverride(key, &DeviceTypeValueName, &Overrides->HasDeviceType,
                                &Overrides->DeviceType);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = QueryDwordOverride(key, &CharacteristicsValueName, &present,
                                &Overrides->Characteristics);
    if (!NT_SUCCESS(status))
        goto Exit;
    present = FALSE;
    status = QueryDwordOverride(key, &ExclusiveValueName, &present, &value);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (present) {
        Overrides->HasExclusive = TRUE;
        Overrides->Exclusive = value ? TRUE : FALSE;
    }
    status = QuerySecurityOverride(key, Overrides);

Exit:
    if (key)
        ZwClose(key);
    return status;
}

/* Sets the DACL of the descriptor on the device through a kernel handle. */
NTSTATUS ApplyDeviceSecurity(PDEVICE_OBJECT Device, PSECURITY_DESCRIPTOR Descriptor)
{
    NTSTATUS status;
    HANDLE handle = nullptr;

    status = ObOpenObjectByPointer(Device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr,
                                   KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        handle = nullptr;
        goto Exit;
    }
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, Descriptor);

Exit:
    if (handle)
        ZwClose(handle);
    return status;
}

} // namespace

VOID ClassPropertiesPath(LPCGUID ClassGuid, PWCH Buffer, PUNICODE_STRING Path)
{
    PWCH at = AppendText(Buffer, ClassKeyPrefix);
    *at++ = QTEXT('{');
    at = AppendHex(at, ClassGuid->Data1, 8);
    *at++ = QTEXT('-');
    at = AppendHex(at, ClassGuid->Data2, 4);
    *at++ = QTEXT('-');
    at = AppendHex(at, ClassGuid->Data3, 4);
    *at++ = QTEXT('-');
    at = AppendHex(at, ClassGuid->Data4[0], 2);
    at = AppendHex(at, ClassGuid->Data4[1], 2);
    *at++ = QTEXT('-');
    for (ULONG i = 2; i < 8; i++)
        at = AppendHex(at, ClassGuid->Data4[i], 2);
    *at++ = QTEXT('}');
    at = AppendText(at, PropertiesSuffix);
    Path->Buffer = Buffer;
    Path->Length = (USHORT)((at - Buffer) * sizeof(WCHAR));
    Path->MaximumLength = (USHORT)(CLASS_PROPERTIES_PATH_CHARS * sizeof(WCHAR));
}

NTSTATUS NTAPI QelmbarCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PCUNICODE_STRING DefaultSDDLString,
                                         LPCGUID DeviceClassGuid, PDEVICE_OBJECT *DeviceObject)
{
    NTSTATUS status;
    PSECURITY_DESCRIPTOR sddlDescriptor = nullptr;
    ULONG sddlLength = 0;
    PSECURITY_DESCRIPTOR descriptor;
    PDEVICE_OBJECT device = nullptr;
    ClassOverrides overrides;

    RtlZeroMemory(&overrides, sizeof(overrides));
    if (!DriverObject || !DeviceObject || !DefaultSDDLString ||
        (!DeviceName && !(DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)))
        return STATUS_INVALID_PARAMETER;

    /* A string outside the subset is refused before anything else, even
     * when the registry would replace what it says. */
    status = SecurityDescriptorFromSddl(DefaultSDDLString, &sddlDescriptor, &sddlLength);
    if (!NT_SUCCESS(status))
        goto Exit;

    if (DeviceClassGuid) {
        status = ReadClassOverrides(DeviceClassGuid, &overrides);
        if (!NT_SUCCESS(status))
            goto Exit;
    }
    if (overrides.HasDeviceType)
        DeviceType = overrides.DeviceType;
    DeviceCharacteristics |= overrides.Characteristics;
    if (overrides.HasExclusive)
        Exclusive = overrides.Exclusive;

    status = IoCreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                            DeviceCharacteristics, Exclusive, &device);
    if (!NT_SUCCESS(status)) {
        device = nullptr;
        goto Exit;
    }

    if (overrides.Security)
        descriptor = (PSECURITY_DESCRIPTOR)overrides.Security->Data;
    else if (overrides.SecurityDamaged)
        descriptor = (PSECURITY_DESCRIPTOR)&KernelOnlyDescriptor;
    else
        descriptor = sddlDescriptor;
    status = ApplyDeviceSecurity(device, descriptor);
    if (!NT_SUCCESS(status))
        goto Exit;

    *DeviceObject = device;
    device = nullptr;

Exit:
    /* A device that did not get its descriptor must not stay reachable. */
    if (device)
        IoDeleteDevice(device);
    if (overrides.Security)
        ExFreePoolWithTag(overrides.Security, QELMBAR_TAG);
    if (sddlDescriptor)
        ExFreePoolWithTag(sddlDescriptor, QELMBAR_TAG);
    return status;
}

NTSTATUS CreateSecureDevice(PDRIVER_OBJECT DriverObject, ULONG ExtensionSize,
                            PUNICODE_STRING Name, DEVICE_TYPE DeviceType, ULONG Characteristics,
                            BOOLEAN Exclusive, PCUNICODE_STRING Sddl, LPCGUID ClassGuid,
                            PDEVICE_OBJECT *Device)
{
    IO_CREATE_DEVICE_SECURE_ROUTINE routine = (IO_CREATE_DEVICE_SECURE_ROUTINE)
        MmGetSystemRoutineAddress((PUNICODE_STRING)&SecureRoutineName);
    if (!routine)
        routine = QelmbarCreateDeviceSecure;
    return routine(DriverObject, ExtensionSize, Name, DeviceType, Characteristics, Exclusive, Sddl,
                   ClassGuid, Device);
}
