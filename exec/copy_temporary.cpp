/*
 * copy_temporary.cpp - copies that are never partial.
 *
 * A copy writes its data into a temporary file in the target's directory,
 * flushes it, gives it its attributes and times, and only then renames it
 * onto the target.  At any power cut the target holds its old content,
 * nothing, or the whole new content.
 *
 * The temporaries are named COPY_TEMPORARY_PREFIX followed by a digit and
 * ".tmp" ("~qelmbar-copy0.tmp" to "~qelmbar-copy9.tmp") and carry
 * FILE_ATTRIBUTE_TEMPORARY until their final attributes are set.  A file
 * of that name with that attribute is taken for one a power cut left, and
 * is deleted before its name is used again; any other file of that name is
 * left alone and the next name is tried.
 */
#include "exec/exec.h"

namespace {

#define COPY_TEMPORARY_NAMES 10u

/* The name of temporary Index: "~qelmbar-copyN.tmp". */
VOID TemporaryName(ULONG Index, PUNICODE_STRING Name, PWCH Buffer)
{
    static const WCHAR prefix[] = QTEXT("~qelmbar-copy");
    static const WCHAR suffix[] = QTEXT(".tmp");
    ULONG count = 0;

    for (ULONG i = 0; prefix[i]; i++)
        Buffer[count++] = prefix[i];
    Buffer[count++] = (WCHAR)('0' + Index);
    for (ULONG i = 0; suffix[i]; i++)
        Buffer[count++] = suffix[i];
    Name->Buffer = Buffer;
    Name->Length = Name->MaximumLength = (USHORT)(count * sizeof(WCHAR));
}

/* Checks that Target may be written as the copy would write it in place,
 * with the statuses such an open gives, and reads what an overwritten
 * target passes on (its attributes and creation time).  *Exists tells
 * whether there is a target. */
NTSTATUS ProbeCopyTarget(BOOLEAN Overwrite, PCUNICODE_STRING Target, ULONG ShareAccess,
                         PBOOLEAN Exists, PFILE_BASIC_INFORMATION Existing)
{
    NTSTATUS status;
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    const ULONG blocking = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

    *Exists = FALSE;
    RtlZeroMemory(Existing, sizeof(*Existing));
    InitializePathAttributes(&attributes, Target, nullptr);
    if (!Overwrite) {
        status = ZwCreateFile(&handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io,
                              nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                              nullptr, 0);
        if (NT_SUCCESS(status)) {
            /* An existing target that may not be replaced is left alone,
             * and the operation counts as done. */
            *Exists = TRUE;
            status = STATUS_OBJECT_NAME_EXISTS;
        }
        goto Exit;
    }
    status = ZwCreateFile(&handle, GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes,
                          &io, nullptr, 0, ShareAccess, FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!NT_SUCCESS(status))
        goto Exit;
    *Exists = TRUE;
    status = ZwQueryInformationFile(handle, &io, Existing, sizeof(*Existing), FileBasicInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    /* Overwriting a hidden or system file with plain attributes is refused. */
    if (Existing->FileAttributes & blocking)
        status = STATUS_ACCESS_DENIED;

Exit:
    if (handle)
        ZwClose(handle);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        status = STATUS_SUCCESS;
    return status;
}

/* Deletes a temporary a power cut left at Path, if it is one: *Removed
 * says whether the name is free now. */
NTSTATUS RemoveLeftTemporary(PCUNICODE_STRING Path, PBOOLEAN Removed)
{
    NTSTATUS status;
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    FILE_BASIC_INFORMATION basic;

    *Removed = FALSE;
    InitializePathAttributes(&attributes, Path, nullptr);
    status = ZwOpenFile(&handle, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, 0,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE |
                            FILE_OPEN_REPARSE_POINT);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = ZwQueryInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    if ((basic.FileAttributes & (FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_REPARSE_POINT |
                                 FILE_ATTRIBUTE_READONLY)) != FILE_ATTRIBUTE_TEMPORARY)
        goto Exit;
    status = SetDeleteDisposition(handle);
    if (NT_SUCCESS(status))
        *Removed = TRUE;

Exit:
    if (handle)
        ZwClose(handle);
    return status;
}

/* Creates a temporary of a new name in Target's directory, open for
 * writing and deletion. */
NTSTATUS CreateTemporary(PCUNICODE_STRING Target, PHANDLE Handle)
{
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    UNICODE_STRING name;
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    WCHAR buffer[32];
    BOOLEAN removed = FALSE;

    *Handle = nullptr;
    path.Buffer = nullptr;
    path.Length = path.MaximumLength = 0;
    for (ULONG index = 0; index < COPY_TEMPORARY_NAMES; index++) {
        TemporaryName(index, &name, buffer);
        status = BuildRenameTarget(Target, &name, &path);
        if (!NT_SUCCESS(status))
            goto Exit;
        InitializePathAttributes(&attributes, &path, nullptr);
        for (ULONG attempt = 0; attempt < 2; attempt++) {
            status = ZwCreateFile(Handle, GENERIC_WRITE | DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                  &attributes, &io, nullptr, FILE_ATTRIBUTE_TEMPORARY, 0,
                                  FILE_CREATE,
                                  FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
            if (status != STATUS_OBJECT_NAME_COLLISION || attempt > 0)
                break;
            status = RemoveLeftTemporary(&path, &removed);
            if (!removed) {
                status = STATUS_OBJECT_NAME_COLLISION;
                break;
            }
        }
        FreeComposedPath(&path);
        if (status != STATUS_OBJECT_NAME_COLLISION)
            goto Exit;
    }

Exit:
    if (path.Buffer)
        FreeComposedPath(&path);
    if (!NT_SUCCESS(status))
        *Handle = nullptr;
    return status;
}

} // namespace

NTSTATUS CopyThroughTemporary(BOOLEAN Overwrite, HANDLE Source, PCUNICODE_STRING Target,
                              ULONG ShareAccess, PFILE_BASIC_INFORMATION Given, BOOLEAN FlushTarget)
{
    NTSTATUS status;
    HANDLE temporary = nullptr;
    PFILE_RENAME_INFORMATION rename = nullptr;
    ULONG renameBytes = Target->Length + (ULONG)sizeof(FILE_RENAME_INFORMATION);
    IO_STATUS_BLOCK io;
    FILE_BASIC_INFORMATION existing;
    FILE_BASIC_INFORMATION basic;
    BOOLEAN exists = FALSE;
    BOOLEAN renamed = FALSE;
    BOOLEAN attributesSet = FALSE;

    status = ProbeCopyTarget(Overwrite, Target, ShareAccess, &exists, &existing);
    if (status != STATUS_SUCCESS)
        goto Exit;
    rename = (PFILE_RENAME_INFORMATION)AllocatePool(PoolPaged, renameBytes);
    if (!rename) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(rename, renameBytes);
    status = CreateTemporary(Target, &temporary);
    if (!NT_SUCCESS(status))
        goto Exit;

    status = CopyFileData(Source, temporary);
    if (status == STATUS_END_OF_FILE)
        status = STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        goto Exit;
    status = ZwFlushBuffersFile(temporary, &io);
    if (!NT_SUCCESS(status))
        goto Exit;

    /* The attributes and times the target ends with: the source's for a
     * move; for a copy, those writing the target in place would leave. */
    status = ZwQueryInformationFile(temporary, &io, &basic, sizeof(basic), FileBasicInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (Given) {
        basic = *Given;
    } else {
        basic.FileAttributes &= ~(ULONG)FILE_ATTRIBUTE_TEMPORARY;
        if (exists) {
            basic.FileAttributes |= existing.FileAttributes & ~(ULONG)FILE_ATTRIBUTE_NORMAL;
            basic.CreationTime = existing.CreationTime;
        }
    }
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    status = ZwSetInformationFile(temporary, &io, &basic, sizeof(basic), FileBasicInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    attributesSet = TRUE;

    rename->ReplaceIfExists = Overwrite;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = Target->Length;
    RtlCopyMemory(rename->FileName, Target->Buffer, Target->Length);
    status = ZwSetInformationFile(temporary, &io, rename, renameBytes, FileRenameInformation);
    if (status == STATUS_OBJECT_NAME_COLLISION)
        status = STATUS_OBJECT_NAME_EXISTS;
    if (status != STATUS_SUCCESS)
        goto Exit;
    renamed = TRUE;
    /* The rename is on disk before anything relies on it. */
    if (FlushTarget)
        status = ZwFlushBuffersFile(temporary, &io);

Exit:
    if (temporary && !renamed && attributesSet) {
        /* Final attributes may forbid the delete. */
        RtlZeroMemory(&basic, sizeof(basic));
        basic.FileAttributes = FILE_ATTRIBUTE_TEMPORARY;
        ZwSetInformationFile(temporary, &io, &basic, sizeof(basic), FileBasicInformation);
    }
    if (temporary && !renamed)
        SetDeleteDisposition(temporary);
    if (temporary)
        ZwClose(temporary);
    if (rename)
        ExFreePoolWithTag(rename, QELMBAR_TAG);
    return status;
}
