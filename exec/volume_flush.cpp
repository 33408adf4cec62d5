/*
 * volume_flush.cpp - making a script's file changes sure before the
 * registry says they happened.
 *
 * A file system journals renames, deletes and creations and writes its
 * journal out when any file of the volume is flushed.  Flushing, for each
 * path a file operation named, the nearest directory that opens makes
 * every change the script made on that volume sure.
 */
#include "exec/exec.h"
#include "script/script.h"

namespace {

/* Flushes the nearest existing directory above Path (Path itself
 * excluded).  Failures are ignored: the flush only narrows what a power
 * loss can take. */
VOID FlushNearestDirectory(PCUNICODE_STRING Path)
{
    NTSTATUS status = STATUS_OBJECT_PATH_NOT_FOUND;
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    UNICODE_STRING prefix;
    ULONG count = Path->Length / sizeof(WCHAR);

    /* A trailing backslash names the same entry. */
    while (count > 0 && Path->Buffer[count - 1] == '\\')
        count--;
    while (!NT_SUCCESS(status)) {
        /* The directory above, named with its trailing backslash, so that
         * the root of a volume is its root directory. */
        while (count > 0 && Path->Buffer[count - 1] != '\\')
            count--;
        if (count == 0)
            goto Exit;
        prefix.Buffer = Path->Buffer;
        prefix.Length = prefix.MaximumLength = (USHORT)(count * sizeof(WCHAR));
        InitializePathAttributes(&attributes, &prefix, nullptr);
        status = ZwOpenFile(&handle, FILE_ADD_FILE | SYNCHRONIZE, &attributes, &io,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE);
        count--;
    }
    ZwFlushBuffersFile(handle, &io);

Exit:
    if (handle)
        ZwClose(handle);
}

} // namespace

VOID FlushVolumesOf(PLIST_ENTRY List)
{
    for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink) {
        const OperationRecord *record = CONTAINING_RECORD(entry, OperationRecord, Links);
        const TwoPathArgs *two = &record->Args.TwoPath;
        switch (record->Kind) {
        case OperationCopyFile:
        case OperationMoveFile:
        case OperationCopyDir:
        case OperationMoveDir:
        case OperationRenameFile:
        case OperationRenameDir:
            FlushNearestDirectory(&two->Source);
            FlushNearestDirectory(&two->Target);
            break;
        case OperationDeleteFile:
        case OperationCreateDir:
            FlushNearestDirectory(&record->Args.Path.Path);
            break;
        case OperationRemoveDir:
            FlushNearestDirectory(&record->Args.RemoveDir.Path);
            break;
        default:
            break;
        }
    }
}
