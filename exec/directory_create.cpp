/*
 * directory_create.cpp - CreateDirectoryPath: creates or opens a directory
 * and any missing ancestors.
 *
 * It climbs from the full path to the deepest ancestor that can be created
 * or opened, then descends again one component at a time, each created
 * relative to the directory above it.  Every create opens an existing
 * directory as it is.
 */
#include "exec/exec.h"

namespace {

NTSTATUS CreateOneDirectory(PCUNICODE_STRING Name, HANDLE Root, PHANDLE Handle,
                            PIO_STATUS_BLOCK IoStatus)
{
    OBJECT_ATTRIBUTES attributes;
    InitializePathAttributes(&attributes, Name, Root);
    return ZwCreateFile(Handle, GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes,
                        IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
                        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

/* Creates or opens the directory Name below *Parent and puts it in the
 * parent's place; the parent's handle is closed either way. */
NTSTATUS DescendToDirectory(PHANDLE Parent, PCUNICODE_STRING Name, PIO_STATUS_BLOCK IoStatus)
{
    NTSTATUS status;
    HANDLE parent = *Parent;

    *Parent = nullptr;
    status = CreateOneDirectory(Name, parent, Parent, IoStatus);
    if (!NT_SUCCESS(status))
        *Parent = nullptr;

    if (parent)
        ZwClose(parent);
    return status;
}

} // namespace

NTSTATUS CreateDirectoryPath(PCUNICODE_STRING Path, PHANDLE Handle, PIO_STATUS_BLOCK IoStatus)
{
    NTSTATUS status;
    HANDLE current = nullptr;
    IO_STATUS_BLOCK io;
    UNICODE_STRING prefix;
    UNICODE_STRING component;
    ULONG count = Path->Length / sizeof(WCHAR);
    ULONG start;

    status = CreateOneDirectory(Path, nullptr, Handle, IoStatus);
    if (status != STATUS_OBJECT_PATH_NOT_FOUND)
        goto Exit;

    /* Climb to the deepest ancestor that exists or can be made. */
    prefix = *Path;
    for (;;) {
        ULONG cut = prefix.Length / sizeof(WCHAR);
        while (cut > 0 && prefix.Buffer[cut - 1] != '\\')
            cut--;
        /* No backslash left, or only the leading one: no ancestor. */
        if (cut <= 1) {
            status = STATUS_UNSUCCESSFUL;
            goto Exit;
        }
        prefix.Length = (USHORT)((cut - 1) * sizeof(WCHAR));
        status = CreateOneDirectory(&prefix, nullptr, &current, &io);
        if (NT_SUCCESS(status)) {
            start = cut;
            break;
        }
        if (status != STATUS_OBJECT_PATH_NOT_FOUND)
            goto Exit;
    }

    /* Descend, one component at a time below the directory held. */
    for (;;) {
        ULONG end = start;
        while (end < count && Path->Buffer[end] != '\\')
            end++;
        component.Buffer = Path->Buffer + start;
        component.Length = component.MaximumLength = (USHORT)((end - start) * sizeof(WCHAR));
        if (end == count)
            break; /* the last component, possibly empty */
        if (end == start) {
            /* Two backslashes in a row before the end of the path. */
            status = STATUS_OBJECT_NAME_INVALID;
            goto Exit;
        }
        status = DescendToDirectory(&current, &component, &io);
        if (!NT_SUCCESS(status))
            goto Exit;
        start = end + 1;
    }

    /* An empty last component opens the directory held itself. */
    status = CreateOneDirectory(&component, current, Handle, IoStatus);

Exit:
    if (current)
        ZwClose(current);
    return status;
}
