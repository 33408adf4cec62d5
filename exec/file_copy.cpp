/*
 * file_copy.cpp - CopyOneFile and the data copy shared with moves.
 *
 * The target of a copy is checked as an exclusive open for writing would
 * check it, and the source shares only reading and deletion: that is what
 * makes a copy of a file onto itself fail with a sharing violation.  The
 * data goes through a temporary (copy_temporary.cpp).
 */
#include "exec/exec.h"

NTSTATUS CopyFileData(HANDLE Source, HANDLE Target)
{
    NTSTATUS status;
    IO_STATUS_BLOCK io;
    PVOID buffer = AllocatePool(PoolPaged, COPY_BUFFER_BYTES);

    if (!buffer)
        return STATUS_NO_MEMORY;
    for (;;) {
        io.Information = 0;
        status = ZwReadFile(Source, nullptr, nullptr, nullptr, &io, buffer, COPY_BUFFER_BYTES,
                            nullptr, nullptr);
        if (!NT_SUCCESS(status))
            break;
        /* A read that succeeds with nothing read is the end as well. */
        if (io.Information == 0) {
            status = STATUS_END_OF_FILE;
            break;
        }
        status = ZwWriteFile(Target, nullptr, nullptr, nullptr, &io, buffer, (ULONG)io.Information,
                             nullptr, nullptr);
        if (!NT_SUCCESS(status))
            break;
    }
    ExFreePoolWithTag(buffer, QELMBAR_TAG);
    return status;
}

NTSTATUS CreateCopyTarget(BOOLEAN Overwrite, PCUNICODE_STRING Target, ULONG ShareAccess,
                          PHANDLE Handle)
{
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    InitializePathAttributes(&attributes, Target, nullptr);
    NTSTATUS status = ZwCreateFile(Handle, GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                   &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, ShareAccess,
                                   Overwrite ? FILE_OVERWRITE_IF : FILE_CREATE,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    /* An existing target that may not be replaced is left alone, and the
     * operation counts as done. */
    return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_OBJECT_NAME_EXISTS : status;
}

NTSTATUS CopyOneFile(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target)
{
    NTSTATUS status;
    HANDLE source = nullptr;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;

    InitializePathAttributes(&attributes, Source, nullptr);
    status = ZwOpenFile(&source, GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                        FILE_SHARE_READ | FILE_SHARE_DELETE,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = CopyThroughTemporary(Overwrite, source, Target, 0, nullptr, FALSE);

Exit:
    if (source)
        ZwClose(source);
    return status;
}
