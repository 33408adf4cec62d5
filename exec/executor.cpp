/*
 * executor.cpp - RunOperationList, where scripts turn into effects: each
 * record goes to the routine of its kind, in list order, under the
 * caller's policy for failures and for operations that cannot run yet.
 *
 * An operation that answers STATUS_FAIL_CHECK (its hive is not usable yet)
 * leaves the list being run for the tail of the deferred list, which keeps
 * the order of deferral across every list of a boot pass.  In the deferred
 * run itself that answer is an ordinary failure, so nothing is deferred
 * twice.
 */
#include "exec/exec.h"
#include "registry/registry.h"
#include "script/script.h"

namespace {

NTSTATUS RunTwoPathWalk(const TwoPathArgs *Args, WalkMode Mode)
{
    return WalkDirectory(Args->Overwrite, &Args->Source, &Args->Target, Mode, FALSE, FALSE);
}

/* A rename: the source's own directory with the new name, then the move. */
NTSTATUS RunRename(const TwoPathArgs *Args, BOOLEAN Directory)
{
    UNICODE_STRING target;
    NTSTATUS status = BuildRenameTarget(&Args->Source, &Args->Target, &target);
    if (!NT_SUCCESS(status))
        return status;
    if (Directory)
        status = WalkDirectory(Args->Overwrite, &Args->Source, &target, WalkMove, FALSE, FALSE);
    else
        status = MoveOneFile(Args->Overwrite, &Args->Source, &target);
    FreeComposedPath(&target);
    return status;
}

NTSTATUS RunCreateDir(const PathArgs *Args)
{
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io;
    NTSTATUS status = CreateDirectoryPath(&Args->Path, &handle, &io);
    if (handle)
        ZwClose(handle);
    return status;
}

} // namespace

VOID NoteRunResult(RunResults *Results, ULONG Index, NTSTATUS Status, ULONG Flags)
{
    if (!Results || Index >= Results->Header->Count)
        return;
    Results->Entries[Index].Status = Status;
    Results->Entries[Index].Flags = Flags;
    if (Flags & RUN_RESULT_DEFERRED)
        Results->AnyDeferred = TRUE;
}

NTSTATUS RunOperation(const OperationRecord *Record)
{
    const TwoPathArgs *two = &Record->Args.TwoPath;
    switch (Record->Kind) {
    case OperationCopyFile:
        return CopyOneFile(two->Overwrite, &two->Source, &two->Target);
    case OperationMoveFile:
        return MoveOneFile(two->Overwrite, &two->Source, &two->Target);
    case OperationDeleteFile:
        return DeleteOneFile(&Record->Args.Path.Path);
    case OperationCopyDir:
        return RunTwoPathWalk(two, WalkCopy);
    case OperationMoveDir:
        return RunTwoPathWalk(two, WalkMove);
    case OperationRemoveDir:
        return WalkDirectory(FALSE, &Record->Args.RemoveDir.Path, nullptr, WalkRemove,
                             Record->Args.RemoveDir.DeleteFiles, Record->Args.RemoveDir.Recursive);
    case OperationRenameFile:
        return RunRename(two, FALSE);
    case OperationRenameDir:
        return RunRename(two, TRUE);
    case OperationCreateDir:
        return RunCreateDir(&Record->Args.Path);
    case OperationCreateKey:
        return CreateKeyHandler(Record);
    case OperationSetKeyValue:
        return SetKeyValueHandler(Record);
    case OperationDeleteKey:
        return DeleteKeyHandler(Record);
    case OperationDeleteKeyValue:
        return DeleteKeyValueHandler(Record);
    case OperationMoveKey:
        return MoveKeyHandler(Record);
    case OperationCopyKey:
        return CopyKeyHandler(Record);
    case OperationRenameKey:
        return RenameKeyHandler(Record);
    case OperationRenameValue:
        return RenameValueHandler(Record);
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS RunOperationList(PLIST_ENTRY List, BOOLEAN StopOnError, PLIST_ENTRY DeferredList,
                          const ListOrigin *Origin)
{
    NTSTATUS result = STATUS_SUCCESS;
    RunResults *results = Origin ? Origin->Results : nullptr;
    PLIST_ENTRY entry;
    PLIST_ENTRY next;
    ULONG index = 0;

    if (!List || !List->Flink)
        return STATUS_SUCCESS;
    TraceListRun(Origin, List);
    for (entry = List->Flink; entry != List; entry = next, index++) {
        OperationRecord *record = CONTAINING_RECORD(entry, OperationRecord, Links);
        NTSTATUS status;

        /* The record may leave this list while it is handled. */
        next = entry->Flink;
        if (record->Executed)
            continue;
        status = RunOperation(record);
        if (status == STATUS_FAIL_CHECK && DeferredList &&
            (ULONG)record->Kind < OPERATION_KIND_COUNT) {
            TraceOperationOutcome(entry, status, TRUE);
            if (results) {
                NoteRunResult(results, index, status, RUN_RESULT_DEFERRED);
                record->Results = results;
                record->ResultIndex = index;
            }
            RemoveEntryList(&record->Links);
            InsertTailList(DeferredList, &record->Links);
            result = STATUS_SUCCESS;
            continue;
        }
        TraceOperationOutcome(entry, status, FALSE);
        if (results)
            NoteRunResult(results, index, status, 0);
        else if (record->Results)
            NoteRunResult(record->Results, record->ResultIndex, status,
                          RUN_RESULT_DEFERRED | RUN_RESULT_DEFERRED_RAN);
        record->Executed = TRUE;
        if (NT_SUCCESS(status)) {
            result = status;
            continue;
        }
        record->Status = status;
        if (StopOnError)
            return status;
        result = STATUS_SUCCESS;
    }
    return result;
}
