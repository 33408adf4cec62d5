/*
 * entry.cpp - driver entry and teardown.
 *
 * Entry creates the device with its DriverContext and the remove lock,
 * the shutdown registration and the DOS link, builds the path of the
 * Parameters key and decides whether this is the early-boot load: only
 * while \SystemRoot still leads to an ARC path does the boot pass run.
 * Its own hold on the remove lock is the last thing entry takes.  Each
 * completed step is recorded (a bit of DriverStateFlags, or the pointer it
 * set); teardown undoes exactly those, in the reverse order, both at
 * unload and when a step of entry fails.  Undone first, the hold makes
 * teardown wait for every request, callback and deferred run that still
 * holds the lock before anything they use goes.
 */
#include "boot/boot.h"
#include "driver/device_secure.h"
#include "driver/driver.h"
#include "registry/registry.h"
#include "script/script.h"

namespace {

const UNICODE_STRING DeviceName = QSTRING(QELMBAR_DEVICE_NAME);
const UNICODE_STRING DosLinkName = QSTRING(QELMBAR_DOS_LINK_NAME);
const UNICODE_STRING DeviceSddl = QSTRING(QELMBAR_DEVICE_SDDL);
const UNICODE_STRING SoftwareHive = QSTRING("\\REGISTRY\\MACHINE\\SOFTWARE");
const UNICODE_STRING RenameKeyRoutineName = QSTRING("ZwRenameKey");
#define PARAMETERS_SUFFIX_BYTES 24u /* "\Parameters" and a NUL */
#define NTDDI_WINDOWS7 0x06010000u

/* The remove-lock tag of the driver's own hold. */
PVOID const EntryLockTag = (PVOID)(ULONG_PTR)QELMBAR_TAG;

NTSTATUS BuildParametersPath(PCUNICODE_STRING RegistryPath, PUNICODE_STRING *Path)
{
    NTSTATUS status;
    ULONG bytes;
    PUNICODE_STRING path = nullptr;

    *Path = nullptr;
    if (!RegistryPath || RegistryPath->Length + PARAMETERS_SUFFIX_BYTES > 0xFFFEu) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    bytes = RegistryPath->Length + PARAMETERS_SUFFIX_BYTES;
    path = (PUNICODE_STRING)AllocatePool(PoolPaged, sizeof(UNICODE_STRING) + bytes);
    if (!path) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(path, sizeof(UNICODE_STRING) + bytes);
    path->Buffer = (PWCH)(path + 1);
    path->MaximumLength = (USHORT)bytes;
    RtlCopyUnicodeString(path, RegistryPath);
    status = RtlAppendUnicodeToString(path, QTEXT("\\Parameters"));
    if (!NT_SUCCESS(status))
        goto Exit;
    *Path = path;
    path = nullptr;

Exit:
    if (path)
        ExFreePoolWithTag(path, QELMBAR_TAG);
    return status;
}

BOOLEAN SoftwareHiveLoaded()
{
    NTSTATUS status;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;

    InitializeKeyAttributes(&attributes, &SoftwareHive, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_ENUMERATE_SUB_KEYS, &attributes);

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

_Use_decl_annotations_
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
    ChooseDriverPool();
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
        goto Exit;
    context = (DriverContext *)device->DeviceExtension;
    QelmbarContext = context;
    context->DeviceObject = device;
    context->IsWin7OrLater = WindowsVersionAvailable(NTDDI_WINDOWS7);

    /* The lists are empty, and the remove lock ready for requests, before
     * anything, teardown included, can see them. */
    InitializeContextLists(context);
    IoInitializeRemoveLock(&context->RemoveLock, QELMBAR_TAG, 0, 0);

    status = IoRegisterShutdownNotification(device);
    if (!NT_SUCCESS(status))
        goto Exit;
    DriverStateFlags |= DRIVER_STATE_SHUTDOWN_NOTIFY;

    status = IoCreateSymbolicLink((PUNICODE_STRING)&DosLinkName, (PUNICODE_STRING)&DeviceName);
    if (!NT_SUCCESS(status))
        goto Exit;
    DriverStateFlags |= DRIVER_STATE_DOS_LINK;

    status = BuildParametersPath(RegistryPath, &context->ParametersPath);
    if (!NT_SUCCESS(status))
        goto Exit;

    if (context->IsWin7OrLater)
        ZwRenameKeyRoutine = (ZW_RENAME_KEY_ROUTINE)MmGetSystemRoutineAddress(
            (PUNICODE_STRING)&RenameKeyRoutineName);

    status = ResolveSystemRoot(&isArcPath, nullptr);
    if (!NT_SUCCESS(status))
        goto Exit;

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

    status = IoAcquireRemoveLock(&context->RemoveLock, EntryLockTag);
    if (!NT_SUCCESS(status))
        goto Exit;
    DriverStateFlags |= DRIVER_STATE_REMOVE_LOCK;

Exit:
    if (!NT_SUCCESS(status))
        DriverTeardown(nullptr);
    return status;
}

_Use_decl_annotations_
VOID NTAPI DriverTeardown(PDRIVER_OBJECT DriverObject)
{
    DriverContext *context = QelmbarContext;

    if (!context) {
        ForgetDriverPool();
        return;
    }
    if (DriverStateFlags & DRIVER_STATE_REMOVE_LOCK) {
        /* Every request and callback still holding the lock ends first. */
        IoReleaseRemoveLockAndWait(&context->RemoveLock, EntryLockTag);
        DriverStateFlags &= ~DRIVER_STATE_REMOVE_LOCK;
    }

    /* What the boot pass started: an unload records the shutdown first. */
    if (DriverObject)
        ShutdownPass();
    if (DriverStateFlags & DRIVER_STATE_PROCESS_NOTIFY) {
        PsSetCreateProcessNotifyRoutine(ProcessCreateNotify, TRUE);
        DriverStateFlags &= ~DRIVER_STATE_PROCESS_NOTIFY;
    }
    FreePackageList(&context->PackageList);
    UnloadTemporaryHives(&context->TemporaryHiveList);
    FreeOperationList(&context->DeferredList);
    /* No deferred run will come: what the reverts left undone stays
     * undone, and they are recorded as the boot pass would have, with
     * their operations still marked deferred. */
    RecordDeferredResults(&context->RunResultsList);
    CompletePendingReverts(&context->PendingRevertList);
    ReleaseRunResults(&context->RunResultsList);

    ZwRenameKeyRoutine = nullptr;
    if (context->ParametersPath) {
        ExFreePoolWithTag(context->ParametersPath, QELMBAR_TAG);
        context->ParametersPath = nullptr;
    }
    if (DriverStateFlags & DRIVER_STATE_DOS_LINK)
        IoDeleteSymbolicLink((PUNICODE_STRING)&DosLinkName);
    if (DriverStateFlags & DRIVER_STATE_SHUTDOWN_NOTIFY)
        IoUnregisterShutdownNotification(context->DeviceObject);
    /* The device goes last, with the context in it. */
    IoDeleteDevice(context->DeviceObject);
    DriverStateFlags = 0;
    QelmbarContext = nullptr;
    ForgetDriverPool();
}
