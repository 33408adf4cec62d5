/*
 * file_delete.cpp - DeleteOneFile and the delete disposition.
 *
 * A file that is not there counts as deleted.  Read-only, hidden and system
 * are cleared first, since NT refuses to delete a read-only file; they are
 * not put back if the delete then fails.
 */
#include "exec/exec.h"

NTSTATUS SetDeleteDisposition(HANDLE Handle)
{
    FILE_DISPOSITION_INFORMATION disposition;
    IO_STATUS_BLOCK io;

    if (!Handle)
        return STATUS_INVALID_PARAMETER;
    disposition.DeleteFile = TRUE;
    return ZwSetInformationFile(Handle, &io, &disposition, sizeof(disposition),
                                FileDispositionInformation);
}

NTSTATUS ClearBlockingAttributes(POBJECT_ATTRIBUTES Attributes, ULONG Options, PULONG Saved)
{
    NTSTATUS status;
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io;
    FILE_BASIC_INFORMATION basic;

    status = ZwOpenFile(&handle, SYNCHRONIZE | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                        Attributes, &io, FILE_SHARE_READ | FILE_SHARE_DELETE, Options);
    if (!NT_SUCCESS(status)) {
        handle = nullptr;
        goto Exit;
    }
    status = ZwQueryInformationFile(handle, &io, &basic, sizeof(basic), FileBasicInformation);
    if (!NT_SUCCESS(status))
        goto Exit;
    *Saved = basic.FileAttributes;
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

NTSTATUS DeleteOneEntry(PCUNICODE_STRING Path, ULONG Options)
{
    NTSTATUS status;
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    ULONG saved = 0;

    InitializePathAttributes(&attributes, Path, nullptr);
    status = ClearBlockingAttributes(&attributes, Options, &saved);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
        status = STATUS_SUCCESS;
        goto Exit;
    }
    if (!NT_SUCCESS(status))
        goto Exit;

    status = ZwOpenFile(&handle, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, Options);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
        status = STATUS_SUCCESS;
        goto Exit;
    }
    if (!NT_SUCCESS(status))
        goto Exit;
    status = SetDeleteDisposition(handle);

Exit:
    if (handle)
        ZwClose(handle);
    return status;
}

NTSTATUS DeleteOneFile(PCUNICODE_STRING Path)
{
    return DeleteOneEntry(Path, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
}
