/*
 * directory_walk.cpp - WalkDirectory: copies, moves and removes directory
 * trees.
 *
 * The walk is depth first: a subdirectory is walked whole before the entry
 * after it in its parent's listing.  It keeps its levels in pool rather than
 * on the kernel stack, each holding its source handle, its target handle and
 * one listing buffer, so that a deep tree cannot exhaust the stack; past
 * WALK_MAX_DEPTH levels the whole operation fails.  Entries that are
 * reparse points (junctions, symbolic links) are never entered: a copy
 * skips them, a move leaves them behind, a removal deletes the link itself.
 *
 * A child's own failure does not end the walk: the child is left as it is
 * and the walk goes on.  A move or removal then fails at the end, when the
 * platform refuses to delete the directory that is not empty.
 */
#include "exec/exec.h"

namespace {

struct WalkLevel {
    WalkLevel *Parent;
    ULONG Depth;
    BOOLEAN Overwrite;
    BOOLEAN DeleteFiles;
    BOOLEAN Recursive;
    BOOLEAN OwnsPaths;   /* the paths were composed for this level */
    BOOLEAN Finished;    /* nothing more to list */
    BOOLEAN SkipDispose; /* the level ended early: no copy result, no delete */
    BOOLEAN Restart;     /* the next listing call is the first */
    UNICODE_STRING Source;
    UNICODE_STRING Target;
    HANDLE SourceHandle;
    HANDLE TargetHandle;
    PUCHAR Listing;
    ULONG ListingBytes; /* bytes the last listing call returned */
    ULONG EntryOffset;  /* next entry of the batch; ListingBytes when used up */
    NTSTATUS Status;
};

struct Walk {
    WalkMode Mode;
    NTSTATUS Abort; /* set when the whole operation must end */
};

const ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const ULONG DirectoryOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;

/* Ends a level at once with Status: it neither reports a copy nor deletes
 * its source. */
VOID EndLevel(WalkLevel *Level, NTSTATUS Status)
{
    Level->Status = Status;
    Level->Finished = TRUE;
    Level->SkipDispose = TRUE;
}

BOOLEAN IsNotThere(NTSTATUS Status)
{
    return Status == STATUS_OBJECT_NAME_NOT_FOUND || Status == STATUS_OBJECT_PATH_NOT_FOUND;
}

/* Opens the source of a move or removal for its attributes, which lose
 * read-only, hidden and system for good.  A removal's own directory that
 * turns out to be a link sets *IsLink. */
NTSTATUS ClearSourceAttributes(const Walk *Walk, const WalkLevel *Level,
                               POBJECT_ATTRIBUTES Attributes, PBOOLEAN IsLink)
{
    NTSTATUS status;
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io;
    FILE_BASIC_INFORMATION basic;
    BOOLEAN removal = Walk->Mode == WalkRemove;
    /* The directory named by a removal may itself be a link: look at it,
     * not through it. */
    ULONG options = DirectoryOptions;
    if (removal && Level->Depth == 0)
        options |= FILE_OPEN_REPARSE_POINT;

    status = ZwOpenFile(&handle, SYNCHRONIZE | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                        Attributes, &io, ShareAll, options);
    if (!NT_SUCCESS(status)) {
        handle = nullptr;
        if (removal && IsNotThere(status))
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }

    status = ZwQueryInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (removal && (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *IsLink = TRUE;
        goto Exit;
    }
    basic.FileAttributes &= ~(ULONG)CLEARED_ATTRIBUTES;
    /* Attributes of 0 would mean "leave them as they are". */
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ZwSetInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation);

Exit:
    if (handle)
        ZwClose(handle);
    return status;
}

/* Opens the source of a move or removal: first for its attributes, then
 * for everything.  A removal's own directory that turns out to be a link
 * sets *IsLink and is left unopened. */
NTSTATUS OpenSourceForChange(const Walk *Walk, WalkLevel *Level, PBOOLEAN IsLink)
{
    NTSTATUS status;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    BOOLEAN removal = Walk->Mode == WalkRemove;

    InitializePathAttributes(&attributes, &Level->Source, nullptr);
    status = ClearSourceAttributes(Walk, Level, &attributes, IsLink);
    if (!NT_SUCCESS(status) || *IsLink)
        return status;

    status = ZwOpenFile(&Level->SourceHandle, GENERIC_ALL | SYNCHRONIZE, &attributes, &io,
                        ShareAll, DirectoryOptions);
    /* A directory that vanished in between counts as removed as well. */
    if (removal && IsNotThere(status))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return status;
}

/* Tries to move the whole directory by one rename, never replacing an
 * existing target. */
NTSTATUS RenameWholeDirectory(WalkLevel *Level)
{
    NTSTATUS status;
    IO_STATUS_BLOCK io;
    ULONG bytes = Level->Target.Length + (ULONG)sizeof(FILE_RENAME_INFORMATION);
    PFILE_RENAME_INFORMATION rename =
        (PFILE_RENAME_INFORMATION)AllocatePool(PoolPaged, bytes);

    if (!rename)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(rename, bytes);
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = Level->Target.Length;
    RtlCopyMemory(rename->FileName, Level->Target.Buffer, Level->Target.Length);
    status = ZwSetInformationFile(Level->SourceHandle, &io, rename, bytes, FileRenameInformation);
    ExFreePoolWithTag(rename, QELMBAR_TAG);
    return status;
}

/* Opens a level: its source, for a move the rename attempt, for a copy or
 * move its target directory, and its listing buffer.  A level that ends
 * here is marked finished with its status. */
VOID OpenLevel(const Walk *Walk, WalkLevel *Level)
{
    NTSTATUS status;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    BOOLEAN isLink = FALSE;

    if (Walk->Mode == WalkCopy) {
        InitializePathAttributes(&attributes, &Level->Source, nullptr);
        status = ZwOpenFile(&Level->SourceHandle, GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                            &attributes, &io, ShareAll, DirectoryOptions);
    } else {
        status = OpenSourceForChange(Walk, Level, &isLink);
    }
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && Walk->Mode == WalkRemove) {
        /* A directory that is not there counts as removed. */
        EndLevel(Level, STATUS_SUCCESS);
        return;
    }
    if (NT_SUCCESS(status) && isLink) {
        /* The removal names a link: only the link goes. */
        EndLevel(Level, DeleteOneEntry(&Level->Source,
                                       FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT));
        return;
    }
    if (!NT_SUCCESS(status)) {
        EndLevel(Level, status);
        return;
    }

    if (Walk->Mode == WalkMove) {
        status = RenameWholeDirectory(Level);
        if (NT_SUCCESS(status) || status == STATUS_NO_MEMORY) {
            EndLevel(Level, status);
            return;
        }
        /* Another volume, an existing target, or anything else: move entry
         * by entry, merging into an existing target. */
    }

    if (Walk->Mode != WalkRemove) {
        status = CreateDirectoryPath(&Level->Target, &Level->TargetHandle, &io);
        if (!NT_SUCCESS(status)) {
            EndLevel(Level, status);
            return;
        }
    }

    Level->Listing = (PUCHAR)AllocatePool(PoolPaged, LISTING_BUFFER_BYTES);
    if (!Level->Listing) {
        EndLevel(Level, STATUS_NO_MEMORY);
        return;
    }
    Level->Restart = TRUE;
    Level->ListingBytes = Level->EntryOffset = 0;
    Level->Status = STATUS_SUCCESS;
}

/* Releases what a level holds; the source handle goes last, which is when
 * a directory marked for deletion leaves. */
VOID CloseLevel(WalkLevel *Level)
{
    if (Level->Listing)
        ExFreePoolWithTag(Level->Listing, QELMBAR_TAG);
    if (Level->TargetHandle)
        ZwClose(Level->TargetHandle);
    if (Level->SourceHandle)
        ZwClose(Level->SourceHandle);
    if (Level->OwnsPaths) {
        FreeComposedPath(&Level->Source);
        FreeComposedPath(&Level->Target);
    }
}

/* The level's result once its listing is done. */
NTSTATUS FinishLevel(const Walk *Walk, WalkLevel *Level)
{
    if (!Level->SkipDispose && Walk->Abort == STATUS_SUCCESS) {
        if (Walk->Mode == WalkCopy)
            Level->Status = STATUS_SUCCESS;
        else
            Level->Status = SetDeleteDisposition(Level->SourceHandle);
    }
    return Level->Status;
}

BOOLEAN IsDotName(PCWSTR Name, ULONG Count)
{
    return (Count == 1 && Name[0] == '.') || (Count == 2 && Name[0] == '.' && Name[1] == '.');
}

BOOLEAN IsPlainName(PCWSTR Name, ULONG Count)
{
    if (Count == 0)
        return FALSE;
    for (ULONG i = 0; i < Count; i++) {
        if (Name[i] == '\\' || Name[i] == 0)
            return FALSE;
    }
    return TRUE;
}

/* The next entry of the level's listing worth handling, or null when the
 * listing has ended (Finished is then set). */
PFILE_DIRECTORY_INFORMATION NextEntry(WalkLevel *Level)
{
    const ULONG header = (ULONG)FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);

    for (;;) {
        if (Level->EntryOffset >= Level->ListingBytes) {
            IO_STATUS_BLOCK io;
            io.Information = 0;
            NTSTATUS status = ZwQueryDirectoryFile(Level->SourceHandle, nullptr, nullptr, nullptr,
                                                   &io, Level->Listing, LISTING_BUFFER_BYTES,
                                                   FileDirectoryInformation, FALSE, nullptr,
                                                   Level->Restart);
            Level->Restart = FALSE;
            if (status == STATUS_NO_MORE_FILES) {
                Level->Finished = TRUE;
                return nullptr;
            }
            if (!NT_SUCCESS(status)) {
                /* The listing failed: the source is not deleted. */
                EndLevel(Level, status);
                return nullptr;
            }
            Level->ListingBytes =
                io.Information < LISTING_BUFFER_BYTES ? (ULONG)io.Information : LISTING_BUFFER_BYTES;
            Level->EntryOffset = 0;
            if (Level->ListingBytes == 0) {
                Level->Finished = TRUE;
                return nullptr;
            }
        }

        ULONG offset = Level->EntryOffset;
        /* Every entry must lie whole inside what the call returned; a batch
         * that breaks this is not read further. */
        if (Level->ListingBytes - offset < header) {
            Level->EntryOffset = Level->ListingBytes;
            continue;
        }
        PFILE_DIRECTORY_INFORMATION entry = (PFILE_DIRECTORY_INFORMATION)(Level->Listing + offset);
        ULONG nameBytes = entry->FileNameLength;
        if ((nameBytes & 1) || nameBytes > Level->ListingBytes - offset - header) {
            Level->EntryOffset = Level->ListingBytes;
            continue;
        }
        if (entry->NextEntryOffset == 0 || entry->NextEntryOffset > Level->ListingBytes - offset)
            Level->EntryOffset = Level->ListingBytes;
        else
            Level->EntryOffset = offset + entry->NextEntryOffset;

        ULONG count = nameBytes / sizeof(WCHAR);
        if (IsDotName(entry->FileName, count) || !IsPlainName(entry->FileName, count))
            continue;
        return entry;
    }
}

/* Handles one entry of the level's listing; a subdirectory to walk is
 * handed back through *Child. */
VOID HandleEntry(Walk *Walk, WalkLevel *Level, PFILE_DIRECTORY_INFORMATION Entry, WalkLevel **Child)
{
    NTSTATUS status;
    UNICODE_STRING childSource = { 0, 0, nullptr };
    UNICODE_STRING childTarget = { 0, 0, nullptr };
    ULONG count = Entry->FileNameLength / sizeof(WCHAR);
    BOOLEAN directory = (Entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    BOOLEAN removal = Walk->Mode == WalkRemove;

    *Child = nullptr;
    /* A directory and a file are kept for different reasons, each in a branch
     * of its own. NOLINTBEGIN(bugprone-branch-clone) */
    if (Entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        /* Never entered, and what it points to is never opened: a copy skips
         * it, a move leaves it behind, a removal deletes the link itself
         * where it would have deleted such an entry. */
        if (!removal || !(directory ? Level->Recursive : Level->DeleteFiles))
            return;
    } else if (directory && removal && !Level->Recursive) {
        return;
    } else if (!directory && removal && !Level->DeleteFiles) {
        return;
    }
    /* NOLINTEND(bugprone-branch-clone) */

    status = ComposeChildPath(&Level->Source, Entry->FileName, count, &childSource);
    if (NT_SUCCESS(status) && !removal)
        status = ComposeChildPath(&Level->Target, Entry->FileName, count, &childTarget);
    if (status == STATUS_NAME_TOO_LONG) {
        Walk->Abort = status;
        goto Exit;
    }
    if (!NT_SUCCESS(status)) {
        /* No memory for a child path: this level ends, its source stays. */
        EndLevel(Level, status);
        goto Exit;
    }

    if (Entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        DeleteOneEntry(&childSource, FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT);
        goto Exit;
    }

    if (directory) {
        if (Level->Depth + 1 > WALK_MAX_DEPTH) {
            Walk->Abort = STATUS_IMPLEMENTATION_LIMIT;
            goto Exit;
        }
        WalkLevel *child = (WalkLevel *)AllocatePool(PoolPaged, sizeof(WalkLevel));
        if (!child) {
            /* The subdirectory stays as it is, like any child that fails. */
            goto Exit;
        }
        RtlZeroMemory(child, sizeof(WalkLevel));
        child->Parent = Level;
        child->Depth = Level->Depth + 1;
        child->Overwrite = Level->Overwrite;
        /* A subdirectory is always removed whole, files and all. */
        child->DeleteFiles = removal ? TRUE : FALSE;
        child->Recursive = removal ? TRUE : FALSE;
        child->OwnsPaths = TRUE;
        child->Source = childSource;
        child->Target = childTarget;
        childSource.Buffer = childTarget.Buffer = nullptr;
        *Child = child;
        goto Exit;
    }

    /* A file; its own outcome does not end the walk. */
    if (Walk->Mode == WalkCopy)
        CopyOneFile(Level->Overwrite, &childSource, &childTarget);
    else if (Walk->Mode == WalkMove)
        MoveOneFile(Level->Overwrite, &childSource, &childTarget);
    else
        DeleteOneFile(&childSource);

Exit:
    FreeComposedPath(&childTarget);
    FreeComposedPath(&childSource);
}

NTSTATUS RunWalk(Walk *Walk, WalkLevel *Top)
{
    WalkLevel *level = Top;
    NTSTATUS result = STATUS_SUCCESS;

    OpenLevel(Walk, level);
    for (;;) {
        if (!level->Finished && Walk->Abort == STATUS_SUCCESS) {
            PFILE_DIRECTORY_INFORMATION entry = NextEntry(level);
            if (entry) {
                WalkLevel *child = nullptr;
                HandleEntry(Walk, level, entry, &child);
                if (child) {
                    level = child;
                    OpenLevel(Walk, level);
                }
                continue;
            }
            if (!level->Finished)
                continue;
        }

        /* The level is done: report it to its parent, which does not look
         * at a child's result, or to the caller. */
        result = FinishLevel(Walk, level);
        WalkLevel *parent = level->Parent;
        CloseLevel(level);
        if (!parent)
            break;
        ExFreePoolWithTag(level, QELMBAR_TAG);
        level = parent;
    }
    return Walk->Abort != STATUS_SUCCESS ? Walk->Abort : result;
}

} // namespace

NTSTATUS WalkDirectory(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target,
                       WalkMode Mode, BOOLEAN DeleteFiles, BOOLEAN Recursive)
{
    Walk walk;
    WalkLevel top;

    if (!Source || (Mode != WalkRemove && !Target) || Mode > WalkRemove)
        return STATUS_INVALID_PARAMETER;

    if (Mode != WalkRemove) {
        /* A target inside its source would be walked into while it is
         * being written: refuse it before anything is touched. */
        BOOLEAN inside = FALSE;
        BOOLEAN equal = FALSE;
        NTSTATUS status = TargetLiesInsideSource(Source, Target, &inside, &equal);
        if (!NT_SUCCESS(status))
            return status;
        if (inside && !equal)
            return STATUS_INVALID_PARAMETER;
    }

    walk.Mode = Mode;
    walk.Abort = STATUS_SUCCESS;
    RtlZeroMemory(&top, sizeof(top));
    top.Overwrite = Overwrite;
    top.DeleteFiles = DeleteFiles;
    top.Recursive = Recursive;
    top.Source = *Source;
    if (Target)
        top.Target = *Target;
    return RunWalk(&walk, &top);
}
