/*
 * paths.cpp - composing child paths, and telling whether a target lies
 * inside its source.
 *
 * A composed path never wraps its 16-bit length: one that would not fit is
 * refused before anything is allocated.  Containment is judged on the names
 * the object manager gives the opened objects, so that \??\C:\a and
 * \Device\HarddiskVolume1\A are seen to be one directory.
 */
#include "exec/exec.h"

namespace {

/* A name that an open object reports, in one pool block. */
struct OpenedName {
    POBJECT_NAME_INFORMATION Block;
};

VOID ReleaseOpenedName(OpenedName *Name)
{
    if (Name->Block)
        ExFreePoolWithTag(Name->Block, QELMBAR_TAG);
    Name->Block = nullptr;
}

/* The full object name of an open handle, e.g. \Device\HarddiskVolume1\a. */
NTSTATUS QueryOpenedName(HANDLE Handle, OpenedName *Name)
{
    NTSTATUS status;
    ULONG size = sizeof(OBJECT_NAME_INFORMATION) + 512;
    ULONG needed = 0;

    for (int attempt = 0; attempt < 2; attempt++) {
        Name->Block = (POBJECT_NAME_INFORMATION)AllocatePool(PoolPaged, size);
        if (!Name->Block)
            return STATUS_NO_MEMORY;
        RtlZeroMemory(Name->Block, size);
        status = ZwQueryObject(Handle, ObjectNameInformation, Name->Block, size, &needed);
        /* Some kernels answer success with a cut name: only a name that fit
         * is taken. */
        if (NT_SUCCESS(status) && needed <= size &&
            Name->Block->Name.Length <= size - sizeof(OBJECT_NAME_INFORMATION))
            return status;
        if (NT_SUCCESS(status))
            status = STATUS_BUFFER_OVERFLOW;
        ReleaseOpenedName(Name);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL &&
            status != STATUS_INFO_LENGTH_MISMATCH)
            return status;
        if (needed <= size)
            return status;
        size = needed;
    }
    return STATUS_BUFFER_OVERFLOW;
}

/* Opens a path just to learn its name; never changes anything. */
NTSTATUS OpenForName(PCUNICODE_STRING Path, PHANDLE Handle)
{
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    InitializePathAttributes(&attributes, Path, nullptr);
    return ZwOpenFile(Handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      FILE_SYNCHRONOUS_IO_NONALERT);
}

/* A name in two pieces (an opened name and a tail of components that do
 * not exist yet), without trailing backslashes. */
struct SplitName {
    PCWSTR Head;
    ULONG HeadCount;
    PCWSTR Tail;
    ULONG TailCount;
};

ULONG SplitLength(const SplitName *Name)
{
    return Name->HeadCount + Name->TailCount;
}

WCHAR SplitCharAt(const SplitName *Name, ULONG Index)
{
    return Index < Name->HeadCount ? Name->Head[Index] : Name->Tail[Index - Name->HeadCount];
}

VOID TrimTrailingBackslashes(SplitName *Name)
{
    while (Name->TailCount > 0 && Name->Tail[Name->TailCount - 1] == '\\')
        Name->TailCount--;
    if (Name->TailCount == 0) {
        while (Name->HeadCount > 0 && Name->Head[Name->HeadCount - 1] == '\\')
            Name->HeadCount--;
    }
}

} // namespace

VOID InitializePathAttributes(POBJECT_ATTRIBUTES Attributes, PCUNICODE_STRING Path, HANDLE Root)
{
    InitializeObjectAttributes(Attributes, (PUNICODE_STRING)Path,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, nullptr);
}

NTSTATUS ComposeChildPath(PCUNICODE_STRING Parent, PCWSTR Name, ULONG Count,
                          PUNICODE_STRING Result)
{
    ULONG parentBytes = Parent->Length;
    BOOLEAN separator =
        !(parentBytes >= sizeof(WCHAR) && Parent->Buffer[parentBytes / sizeof(WCHAR) - 1] == '\\');
    ULONG total = parentBytes + (separator ? sizeof(WCHAR) : 0) + Count * sizeof(WCHAR);
    PWCH buffer;

    Result->Buffer = nullptr;
    Result->Length = Result->MaximumLength = 0;
    if (Count > QELMBAR_MAX_STRING_BYTES || total > QELMBAR_MAX_STRING_BYTES)
        return STATUS_NAME_TOO_LONG;

    buffer = (PWCH)AllocatePool(PoolPaged, total + sizeof(WCHAR));
    if (!buffer)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(buffer, total + sizeof(WCHAR));
    if (parentBytes)
        RtlCopyMemory(buffer, Parent->Buffer, parentBytes);
    if (separator)
        buffer[parentBytes / sizeof(WCHAR)] = '\\';
    if (Count)
        RtlCopyMemory((PUCHAR)buffer + total - Count * sizeof(WCHAR), Name, Count * sizeof(WCHAR));
    Result->Buffer = buffer;
    Result->Length = (USHORT)total;
    Result->MaximumLength = (USHORT)(total + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

VOID FreeComposedPath(PUNICODE_STRING Path)
{
    if (Path->Buffer)
        ExFreePoolWithTag(Path->Buffer, QELMBAR_TAG);
    Path->Buffer = nullptr;
    Path->Length = Path->MaximumLength = 0;
}

NTSTATUS TargetLiesInsideSource(PCUNICODE_STRING Source, PCUNICODE_STRING Target,
                                PBOOLEAN Inside, PBOOLEAN Equal)
{
    NTSTATUS status;
    HANDLE sourceHandle = nullptr;
    HANDLE targetHandle = nullptr;
    OpenedName sourceName = { nullptr };
    OpenedName targetName = { nullptr };
    UNICODE_STRING prefix = *Target;
    SplitName s;
    SplitName t;

    *Inside = FALSE;
    *Equal = FALSE;

    status = OpenForName(Source, &sourceHandle);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = QueryOpenedName(sourceHandle, &sourceName);
    if (!NT_SUCCESS(status))
        goto Exit;

    /* The target need not exist: name its deepest existing ancestor and
     * keep the rest as it is written. */
    for (;;) {
        status = OpenForName(&prefix, &targetHandle);
        if (NT_SUCCESS(status))
            break;
        /* A tail that is not even a valid name is compared as written. */
        if (status != STATUS_OBJECT_NAME_NOT_FOUND && status != STATUS_OBJECT_PATH_NOT_FOUND &&
            status != STATUS_OBJECT_NAME_INVALID)
            goto Exit;
        USHORT cut = prefix.Length / sizeof(WCHAR);
        while (cut > 0 && prefix.Buffer[cut - 1] != '\\')
            cut--;
        if (cut <= 1) {
            /* Nothing of it exists: it lies on no volume the source is on. */
            status = STATUS_SUCCESS;
            goto Exit;
        }
        prefix.Length = (USHORT)((cut - 1) * sizeof(WCHAR));
    }
    status = QueryOpenedName(targetHandle, &targetName);
    if (!NT_SUCCESS(status))
        goto Exit;

    s.Head = sourceName.Block->Name.Buffer;
    s.HeadCount = sourceName.Block->Name.Length / sizeof(WCHAR);
    s.Tail = nullptr;
    s.TailCount = 0;
    t.Head = targetName.Block->Name.Buffer;
    t.HeadCount = targetName.Block->Name.Length / sizeof(WCHAR);
    t.Tail = Target->Buffer + prefix.Length / sizeof(WCHAR);
    t.TailCount = (Target->Length - prefix.Length) / sizeof(WCHAR);
    TrimTrailingBackslashes(&s);
    TrimTrailingBackslashes(&t);

    if (SplitLength(&t) >= SplitLength(&s)) {
        ULONG n = SplitLength(&s);
        BOOLEAN same = TRUE;
        for (ULONG i = 0; i < n && same; i++)
            same = RtlUpcaseUnicodeChar(SplitCharAt(&s, i)) == RtlUpcaseUnicodeChar(SplitCharAt(&t, i));
        if (same && SplitLength(&t) == n)
            *Equal = *Inside = TRUE;
        else if (same && SplitCharAt(&t, n) == '\\')
            *Inside = TRUE;
    }

Exit:
    ReleaseOpenedName(&targetName);
    ReleaseOpenedName(&sourceName);
    if (targetHandle)
        ZwClose(targetHandle);
    if (sourceHandle)
        ZwClose(sourceHandle);
    return status;
}
