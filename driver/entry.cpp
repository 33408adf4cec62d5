/*
 * entry.cpp - driver entry and teardown.
 *
 * Entry creates the device with its DriverContext, the remove lock, the
 * shutdown registration and the DOS link, builds the path of the
 * Parameters key and decides whether this is the early-boot load: only
 * while \SystemRoot still leads to an ARC path does the boot pass run.
 * Each completed step sets a bit of DriverStateFlags; teardown undoes
 * exactly those, both at unload and when a step of entry fails.
 */
#include "boot/boot.h"
#include "driver/device_secure.h"
#include "driver/driver.h"
#include "registry/registry.h"
#include "script/script.h"

namespace {

typedef BOOLEAN(NTAPI *RTL_IS_NTDDI_VERSION_AVAILABLE)(ULONG Version);

const UNICODE_STRING DeviceName = QSTRING(QELMBAR_DEVICE_NAME);
const UNICODE_STRING DosLinkName = QSTRING(QELMBAR_DOS_LINK_NAME);
const UNICODE_STRING DeviceSddl = QSTRING(QELMBAR_DEVICE_SDDL);
const UNICODE_STRING SoftwareHive = QSTRING("\\REGISTRY\\MACHINE\\SOFTWARE");
const UNICODE_STRING RenameKeyRoutineName = QSTRING("ZwRenameKey");
const UNICODE_STRING NtddiRoutineName = QSTRING("RtlIsNtDdiVersionAvailable");
#define PARAMETERS_SUFFIX_BYTES 24u /* "\Parameters" and a NUL */
#define NTDDI_WINDOWS7 0x06010000u

/* The remove-lock tag of the driver's own hold. */
PVOID const EntryLockTag = (PVOID)(ULONG_PTR)QELMBAR_TAG;

BOOLEAN IsWindows7OrLater()
{
    RTL_IS_NTDDI_VERSION_AVAILABLE available =
        (RTL_IS_NTDDI_VERSION_AVAILABLE)MmGetSystemRoutineAddress((PUNICODE_STRING)&NtddiRoutineName);
    ULONG major = 0;
    ULONG minor = 0;
    if (available)
        return available(NTDDI_WINDOWS7);
    PsGetVersion(&major, &minor, nullptr, nullptr);
    return major > 6 || (major == 6 && minor >= 1);
}

NTSTATUS BuildParametersPath(PCUNICODE_STRING RegistryPath, PUNICODE_STRING *Path)
{
    ULONG bytes;
    PUNICODE_STRING path;

    *Path = nullptr;
    if (!RegistryPath || RegistryPath->Length + PARAMETERS_SUFFIX_BYTES > 0xFFFEu)
        return STATUS_INVALID_PARAMETER;
    bytes = RegistryPath->Length + PARAMETERS_SUFFIX_BYTES;
    path = (PUNICODE_STRING)ExAllocatePoolWithTag(PagedPool, sizeof(UNICODE_STRING) + bytes,
                                                  QELMBAR_TAG);
    if (!path)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(path, sizeof(UNICODE_STRING) + bytes);
    path->Buffer = (PWCH)(path + 1);
    path->MaximumLength = (USHORT)bytes;
    RtlCopyUnicodeString(path, RegistryPath);
    NTSTATUS status = RtlAppendUnicodeToString(path, QTEXT("\\Parameters"));
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(path, QELMBAR_TAG);
        return status;
    }
    *Path = path;
    return STATUS_SUCCESS;
}

BOOLEAN SoftwareHiveLoaded()
{
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeKeyAttributes(&attributes, &SoftwareHive, nullptr, REGISTRY_KEY_ATTRIBUTES);
    NTSTATUS status = ZwOpenKey(&key, KEY_ENUMERATE_SUB_KEYS, &attributes);
    if (key)
        ZwClose(key);
    return NT_SUCCESS(status);
}

VOID RegisterProcessNotify()
{
    if (NT_SUCCESS(PsSetCreateProcessNotifyRoutine(ProcessCreateNotify, FALSE)))
        DriverStateFlags |= DRIVER_STATE_PROCESS_NOTIFY;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;
    PDEVICE_OBJECT device = nullptr;
    DriverContext *context;
    BOOLEAN isArcPath = FALSE;

    MmPageEntireDriver((PVOID)DriverEntry);
    if (!DriverObject)
        return STATUS_INVALID_PARAMETER;

    DriverStateFlags = 0;
    QelmbarContext = nullptr;
    ZwRenameKeyRoutine = nullptr;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
    DriverObject->DriverUnload = DriverTeardown;
    QelmbarDriverObject = DriverObject;

    status = CreateSecureDevice(DriverObject, sizeof(DriverContext), (PUNICODE_STRING)&DeviceName,
                                FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &DeviceSddl,
                                &QELMBAR_DEVICE_CLASS_GUID, &device);
    if (!NT_SUCCESS(status))
        return status;
    context = (DriverContext *)device->DeviceExtension;
    QelmbarContext = context;
    context->DeviceObject = device;
    context->IsWin7OrLater = IsWindows7OrLater();

    /* The lists are empty before anything, teardown included, can see
     * them. */
    InitializeContextLists(context);
    IoInitializeRemoveLock(&context->RemoveLock, QELMBAR_TAG, 0, 0);
    status = IoAcquireRemoveLock(&context->RemoveLock, EntryLockTag);
    if (!NT_SUCCESS(status))
        goto Failed;
    DriverStateFlags |= DRIVER_STATE_REMOVE_LOCK;

    status = IoRegisterShutdownNotification(device);
    if (!NT_SUCCESS(status))
        goto Failed;
    DriverStateFlags |= DRIVER_STATE_SHUTDOWN_NOTIFY;

    status = IoCreateSymbolicLink((PUNICODE_STRING)&DosLinkName, (PUNICODE_STRING)&DeviceName);
    if (!NT_SUCCESS(status))
        goto Failed;
    DriverStateFlags |= DRIVER_STATE_DOS_LINK;

    status = BuildParametersPath(RegistryPath, &context->ParametersPath);
    if (!NT_SUCCESS(status))
        goto Failed;

    if (context->IsWin7OrLater)
        ZwRenameKeyRoutine = (ZW_RENAME_KEY_ROUTINE)MmGetSystemRoutineAddress(
            (PUNICODE_STRING)&RenameKeyRoutineName);

    status = ResolveSystemRoot(&isArcPath, nullptr);
    if (!NT_SUCCESS(status))
        goto Failed;

    if (isArcPath) {
        if (!SoftwareHiveLoaded())
            RegisterProcessNotify();
        BootPass();
        /* Work deferred to a hive that turned out to be loaded already
         * still needs the run at the subsystem's start. */
        if (!IsListEmpty(&context->DeferredList) &&
            !(DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY))
            RegisterProcessNotify();
    }
    return STATUS_SUCCESS;

Failed:
    DriverTeardown(nullptr);
    return status;
}

VOID NTAPI DriverTeardown(PDRIVER_OBJECT DriverObject)
{
    DriverContext *context = QelmbarContext;

    if (!context)
        return;
    if (DriverObject && (DriverStateFlags & DRIVER_STATE_REMOVE_LOCK))
        ShutdownPass();
    if (DriverStateFlags & DRIVER_STATE_SHUTDOWN_NOTIFY)
        IoUnregisterShutdownNotification(context->DeviceObject);
    if (DriverStateFlags & DRIVER_STATE_REMOVE_LOCK) {
        /* Every request and callback still holding the lock ends first. */
        IoReleaseRemoveLockAndWait(&context->RemoveLock, EntryLockTag);
        FreePackageList(&context->PackageList);
        UnloadTemporaryHives(&context->TemporaryHiveList);
        FreeOperationList(&context->DeferredList);
        /* No deferred run will come: what the reverts left undone stays
         * undone, and they are recorded as the boot pass would have. */
        CompletePendingReverts(&context->PendingRevertList);
        if (context->ParametersPath) {
            ExFreePoolWithTag(context->ParametersPath, QELMBAR_TAG);
            context->ParametersPath = nullptr;
        }
    }
    if (DriverStateFlags & DRIVER_STATE_DOS_LINK)
        IoDeleteSymbolicLink((PUNICODE_STRING)&DosLinkName);
    if (DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY)
        PsSetCreateProcessNotifyRoutine(ProcessCreateNotify, TRUE);
    /* The device goes last, with the context in it; a device whose lock
     * was never taken goes as well. */
    IoDeleteDevice(context->DeviceObject);
    DriverStateFlags = 0;
    QelmbarContext = nullptr;
    ZwRenameKeyRoutine = nullptr;
}
