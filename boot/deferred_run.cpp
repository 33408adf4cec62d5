/*
 * deferred_run.cpp - the operations that had to wait for their hive run
 * once the Win32 subsystem starts: the first creation of csrss.exe hands
 * the deferred list to a system worker thread and waits until it has run.
 *
 * The hives the run changed are flushed when it ends.  The run happens
 * once: only the first matching creation starts it, and a
 * creation that cannot start it (no memory, no work item) leaves it to the
 * next one.  The worker holds its own remove lock until its last step, so
 * teardown waits for it; it frees the list and unloads any hive mounted on
 * the way before it signals, signals before it removes the notify routine
 * (removal waits for the notify routine still waiting on it), and frees
 * its work item itself, when nothing will touch it again.
 */
#include "boot/boot.h"
#include "driver/driver.h"
#include "exec/exec.h"
#include "registry/registry.h"
#include "script/script.h"

namespace {

/* The worker's context, from non-paged pool: the event the creating
 * thread waits on, and the work item the worker frees when done. */
struct DeferredRun {
    KEVENT Done;
    PIO_WORKITEM WorkItem;
};

const CHAR SubsystemImage[] = "csrss.exe";
#define IMAGE_PREFIX_CHARS 9u

/* The image name's first nine characters, lower-cased (ASCII), against
 * "csrss.exe". */
BOOLEAN IsSubsystemImage(const CHAR *Name)
{
    CHAR copy[IMAGE_PREFIX_CHARS + 1];
    ULONG i;
    RtlZeroMemory(copy, sizeof(copy));
    for (i = 0; i < IMAGE_PREFIX_CHARS && Name[i] != 0; i++) {
        CHAR c = Name[i];
        copy[i] = (c >= 'A' && c <= 'Z') ? (CHAR)(c - 'A' + 'a') : c;
    }
    for (i = 0; i < IMAGE_PREFIX_CHARS; i++) {
        if (copy[i] != SubsystemImage[i])
            return FALSE;
    }
    return TRUE;
}

VOID FlushHiveOf(PCUNICODE_STRING Path)
{
    NTSTATUS status;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING prefix = HivePrefix(Path);

    InitializeKeyAttributes(&attributes, &prefix, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (NT_SUCCESS(status))
        ZwFlushKey(key);
    else
        key = nullptr;

    if (key)
        ZwClose(key);
}

/* Writes the hives the deferred operations changed to their files, so
 * that work the boot pass took off its lists does not wait for the
 * system's lazy flush to reach the disk.  A hive flushed twice is written
 * once. */
VOID FlushChangedHives(PLIST_ENTRY List)
{
    for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink) {
        const OperationRecord *record = CONTAINING_RECORD(entry, OperationRecord, Links);
        const TwoPathArgs *two = &record->Args.TwoPath;
        if (!record->Executed)
            continue;
        switch (record->Kind) {
        case OperationCreateKey:
            FlushHiveOf(&record->Args.Path.Path);
            break;
        case OperationDeleteKey:
            FlushHiveOf(&record->Args.DeleteKey.Path);
            break;
        case OperationMoveKey:
        case OperationRenameKey:
            FlushHiveOf(&two->Source);
            FlushHiveOf(&two->Target);
            break;
        case OperationCopyKey:
            FlushHiveOf(&two->Target);
            break;
        case OperationSetKeyValue:
            FlushHiveOf(&record->Args.SetKeyValue.TargetKey);
            if (record->Args.SetKeyValue.DeleteSource)
                FlushHiveOf(&record->Args.SetKeyValue.SourceKey);
            break;
        case OperationDeleteKeyValue:
            FlushHiveOf(&record->Args.DeleteKeyValue.KeyPath);
            break;
        case OperationRenameValue:
            FlushHiveOf(&record->Args.RenameValue.KeyPath);
            break;
        default:
            break;
        }
    }
}

} // namespace

_Use_decl_annotations_
VOID NTAPI DeferredRunWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    const ListOrigin origin = { ListDeferredRun, nullptr, nullptr };
    DriverContext *context = QelmbarContext;
    DeferredRun *run = (DeferredRun *)Context;
    PIO_WORKITEM workItem;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (!run)
        return;
    workItem = run->WorkItem;

    RunOperationList(&context->DeferredList, FALSE, nullptr, &origin);
    FlushVolumesOf(&context->DeferredList);
    FlushChangedHives(&context->DeferredList);
    FreeOperationList(&context->DeferredList);
    /* The records of the scripts those operations came from, then the
     * reverts whose last part just ran, which are final now; one flush
     * carries the records that no revert's flush did. */
    RecordDeferredResults(&context->RunResultsList);
    CompletePendingReverts(&context->PendingRevertList);
    ReleaseRunResults(&context->RunResultsList);
    /* Hives this run mounted, and any the boot pass could not unload. */
    UnloadTemporaryHives(&context->TemporaryHiveList);

    /* The waiting thread frees run once it wakes. */
    KeSetEvent(&run->Done, IO_NO_INCREMENT, FALSE);

    if (NT_SUCCESS(PsSetCreateProcessNotifyRoutine(ProcessCreateNotify, TRUE)))
        DriverStateFlags &= ~DRIVER_STATE_PROCESS_NOTIFY;
    IoFreeWorkItem(workItem);
    IoReleaseRemoveLock(&context->RemoveLock, workItem);
}

_Use_decl_annotations_
VOID NTAPI ProcessCreateNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create)
{
    DriverContext *context = QelmbarContext;
    PEPROCESS process = nullptr;
    DeferredRun *run = nullptr;
    BOOLEAN claimed = FALSE;
    BOOLEAN queued = FALSE;
    const CHAR *name;

    UNREFERENCED_PARAMETER(ParentId);
    /* Teardown has begun: there is nothing to run any more. */
    if (!NT_SUCCESS(IoAcquireRemoveLock(&context->RemoveLock, (PVOID)ProcessCreateNotify)))
        return;
    if (!Create)
        goto Exit;
    if (!NT_SUCCESS(PsLookupProcessByProcessId(ProcessId, &process))) {
        process = nullptr;
        goto Exit;
    }
    name = PsGetProcessImageFileName(process);
    if (!name || !IsSubsystemImage(name))
        goto Exit;
    if (InterlockedCompareExchange(&context->DeferredRunStarted, 1, 0) != 0)
        goto Exit;
    claimed = TRUE;

    run = (DeferredRun *)AllocatePool(PoolNonPaged, sizeof(DeferredRun));
    if (!run)
        goto Exit;
    RtlZeroMemory(run, sizeof(*run));
    KeInitializeEvent(&run->Done, NotificationEvent, FALSE);
    run->WorkItem = IoAllocateWorkItem(context->DeviceObject);
    if (!run->WorkItem)
        goto Exit;
    if (!NT_SUCCESS(IoAcquireRemoveLock(&context->RemoveLock, run->WorkItem)))
        goto Exit;
    IoQueueWorkItem(run->WorkItem, DeferredRunWorker, DelayedWorkQueue, run);
    queued = TRUE;
    KeWaitForSingleObject(&run->Done, Executive, KernelMode, FALSE, nullptr);

Exit:
    /* A queued work item is the worker's to free. */
    if (run && run->WorkItem && !queued)
        IoFreeWorkItem(run->WorkItem);
    /* A run that could not start is left to the next creation of
     * csrss.exe. */
    if (claimed && !queued)
        InterlockedExchange(&context->DeferredRunStarted, 0);
    if (process)
        ObDereferenceObject(process);
    if (run)
        ExFreePoolWithTag(run, QELMBAR_TAG);
    IoReleaseRemoveLock(&context->RemoveLock, (PVOID)ProcessCreateNotify);
}
