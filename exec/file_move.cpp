/*
 * file_move.cpp - MoveOneFile and the target of a rename.
 *
 * A move renames in place when the file system can, and otherwise copies
 * and deletes.  The copy goes through a temporary renamed onto the target
 * (copy_temporary.cpp), and the source is deleted only once that rename is
 * flushed, so a failure or a power cut at any point leaves the file at its
 * source or whole at its target; it is never lost.
 */
#include "exec/exec.h"

NTSTATUS BuildRenameTarget(PCUNICODE_STRING Source, PCUNICODE_STRING NewName,
                           PUNICODE_STRING Result)
{
    ULONG count = Source->Length / sizeof(WCHAR);
    ULONG prefix = count;
    UNICODE_STRING directory;

    Result->Buffer = nullptr;
    Result->Length = Result->MaximumLength = 0;
    if (count == 0)
        return STATUS_INVALID_PARAMETER;
    while (prefix > 0 && Source->Buffer[prefix - 1] != '\\')
        prefix--;

    if ((ULONG)prefix * sizeof(WCHAR) + NewName->Length > QELMBAR_MAX_STRING_BYTES)
        return STATUS_NAME_TOO_LONG;
    directory.Buffer = Source->Buffer;
    directory.Length = directory.MaximumLength = (USHORT)(prefix * sizeof(WCHAR));
    if (prefix == 0) {
        /* No directory part: the new name alone, not "\" + name. */
        PWCH buffer = (PWCH)AllocatePool(PoolPaged, NewName->Length + sizeof(WCHAR));
        if (!buffer)
            return STATUS_NO_MEMORY;
        RtlZeroMemory(buffer, NewName->Length + sizeof(WCHAR));
        if (NewName->Length)
            RtlCopyMemory(buffer, NewName->Buffer, NewName->Length);
        Result->Buffer = buffer;
        Result->Length = NewName->Length;
        Result->MaximumLength = (USHORT)(NewName->Length + sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    /* The directory part ends in its backslash, so none is added. */
    return ComposeChildPath(&directory, NewName->Buffer, NewName->Length / sizeof(WCHAR), Result);
}

NTSTATUS MoveOneFile(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target)
{
    NTSTATUS status;
    HANDLE source = nullptr;
    HANDLE restoreOn = nullptr;
    PFILE_RENAME_INFORMATION rename = nullptr;
    ULONG renameBytes = Target->Length + (ULONG)sizeof(FILE_RENAME_INFORMATION);
    OBJECT_ATTRIBUTES sourceAttributes;
    IO_STATUS_BLOCK io;
    FILE_BASIC_INFORMATION basic;
    ULONG savedAttributes = 0;

    RtlZeroMemory(&basic, sizeof(basic));

    InitializePathAttributes(&sourceAttributes, Source, nullptr);

    status = ClearBlockingAttributes(&sourceAttributes,
                                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                     &savedAttributes);
    if (!NT_SUCCESS(status))
        goto Exit;

    status = ZwOpenFile(&source, GENERIC_ALL | SYNCHRONIZE, &sourceAttributes, &io,
                        FILE_SHARE_READ | FILE_SHARE_DELETE,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status))
        goto Exit;

    rename = (PFILE_RENAME_INFORMATION)AllocatePool(PoolPaged, renameBytes);
    if (!rename) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(rename, renameBytes);

    /* From here the record holds the source's times as they are now. */
    ZwQueryInformationFile(source, &io, &basic, sizeof(basic), FileBasicInformation);

    rename->ReplaceIfExists = Overwrite;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = Target->Length;
    RtlCopyMemory(rename->FileName, Target->Buffer, Target->Length);
    status = ZwSetInformationFile(source, &io, rename, renameBytes, FileRenameInformation);
    if (NT_SUCCESS(status)) {
        restoreOn = source;
        goto Exit;
    }

    /* Another volume, an existing target, or anything else: copy, with
     * the source's times and attributes.  The copy must be on disk before
     * the only other copy is deleted. */
    basic.FileAttributes = savedAttributes;
    status = CopyThroughTemporary(Overwrite, source, Target,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &basic,
                                  TRUE);
    if (status != STATUS_SUCCESS)
        goto Exit;
    status = SetDeleteDisposition(source);

Exit:
    if (restoreOn) {
        /* The moved file carries the source's times and attributes. */
        basic.FileAttributes = savedAttributes;
        ZwSetInformationFile(restoreOn, &io, &basic, sizeof(basic), FileBasicInformation);
    }
    if (rename)
        ExFreePoolWithTag(rename, QELMBAR_TAG);
    if (source)
        ZwClose(source);
    return status;
}
