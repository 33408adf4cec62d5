/*
 * key_path.cpp - creating a key together with its missing ancestors, and
 * telling where a key lies: its full name as the registry gives it, and
 * whether a path leads to a key or beneath it.
 *
 * Names are compared as the registry resolved them, not as a script spelt
 * them: a path through CurrentControlSet and one through ControlSet001
 * name the same key, and so do two spellings that differ only in case.
 */
#include "registry/registry.h"

namespace {

/* The length in characters of Name up to, not including, its last
 * backslash at or before Count; FALSE when there is none. */
BOOLEAN CutAtLastBackslash(PCUNICODE_STRING Name, ULONG Count, PULONG Cut)
{
    while (Count > 0 && Name->Buffer[Count - 1] != '\\')
        Count--;
    if (Count == 0)
        return FALSE;
    *Cut = Count - 1;
    return TRUE;
}

UNICODE_STRING View(PCWSTR Buffer, ULONG Count)
{
    UNICODE_STRING view;
    view.Buffer = (PWCH)Buffer;
    view.Length = view.MaximumLength = (USHORT)(Count * sizeof(WCHAR));
    return view;
}

/* Creates or opens the subkey Part below *Parent and puts it in the
 * parent's place; the parent's handle is closed either way. */
NTSTATUS DescendToSubkey(PHANDLE Parent, PCUNICODE_STRING Part)
{
    NTSTATUS status;
    HANDLE parent = *Parent;
    OBJECT_ATTRIBUTES attributes;

    *Parent = nullptr;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)Part, REGISTRY_KEY_ATTRIBUTES,
                               parent, nullptr);
    status = ZwCreateKey(Parent, KEY_CREATE_SUB_KEY, &attributes, 0, nullptr, 0, nullptr);
    if (!NT_SUCCESS(status))
        *Parent = nullptr;

    if (parent)
        ZwClose(parent);
    return status;
}

} // namespace

VOID InitializeKeyAttributes(POBJECT_ATTRIBUTES Attributes, PCUNICODE_STRING Name, HANDLE Root,
                             ULONG Flags)
{
    InitializeObjectAttributes(Attributes, (PUNICODE_STRING)Name, Flags, Root, nullptr);
}

NTSTATUS OpenKeyPath(PHANDLE Key, PCUNICODE_STRING Path, ACCESS_MASK Access)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeKeyAttributes(&attributes, Path, nullptr, REGISTRY_KEY_ATTRIBUTES);
    return ZwOpenKey(Key, Access, &attributes);
}

NTSTATUS CreateKeyPath(PHANDLE Handle, POBJECT_ATTRIBUTES Attributes, PULONG Disposition)
{
    NTSTATUS status;
    PCUNICODE_STRING name = Attributes->ObjectName;
    HANDLE root = Attributes->RootDirectory;
    HANDLE ancestor = nullptr;
    OBJECT_ATTRIBUTES partAttributes;
    UNICODE_STRING part;
    ULONG count = name->Length / sizeof(WCHAR);
    ULONG cut = count;
    ULONG start;

    *Handle = nullptr;
    /* A name relative to an open key lies in a hive in use already. */
    if (!root) {
        status = EnsureHiveLoaded(name, TRUE);
        if (!NT_SUCCESS(status))
            goto Exit;
    }

    status = ZwCreateKey(Handle, KEY_ALL_ACCESS, Attributes, 0, nullptr, 0, Disposition);
    if (status != STATUS_OBJECT_NAME_NOT_FOUND)
        goto Exit;

    /* Up: the nearest ancestor that exists or can be created. */
    do {
        if (!CutAtLastBackslash(name, cut, &cut)) {
            status = STATUS_UNSUCCESSFUL;
            goto Exit;
        }
        part = View(name->Buffer, cut);
        InitializeKeyAttributes(&partAttributes, &part, root, REGISTRY_KEY_ATTRIBUTES);
        status = ZwCreateKey(&ancestor, KEY_CREATE_SUB_KEY, &partAttributes, 0, nullptr, 0,
                             nullptr);
    } while (status == STATUS_OBJECT_NAME_NOT_FOUND);
    if (!NT_SUCCESS(status))
        goto Exit;

    /* Down: one component at a time below it, each relative to the one
     * before.  Ancestors created here stay when a later level fails. */
    start = cut + 1;
    for (;;) {
        ULONG end = start;
        while (end < count && name->Buffer[end] != '\\')
            end++;
        if (end == count)
            break;
        part = View(name->Buffer + start, end - start);
        status = DescendToSubkey(&ancestor, &part);
        if (!NT_SUCCESS(status))
            goto Exit;
        start = end + 1;
    }

    /* The key itself, named by its last component under the last
     * ancestor, with the caller's flags and security. */
    part = View(name->Buffer + start, count - start);
    InitializeObjectAttributes(&partAttributes, &part, Attributes->Attributes, ancestor,
                               Attributes->SecurityDescriptor);
    status = ZwCreateKey(Handle, KEY_ALL_ACCESS, &partAttributes, 0, nullptr, 0, Disposition);

Exit:
    if (ancestor)
        ZwClose(ancestor);
    return status;
}

NTSTATUS QueryKeyName(HANDLE Key, PUNICODE_STRING Name)
{
    NTSTATUS status;
    ULONG needed = 0;
    ULONG nameBytes;
    PKEY_NAME_INFORMATION info;

    Name->Buffer = nullptr;
    Name->Length = Name->MaximumLength = 0;
    status = ZwQueryKey(Key, KeyNameInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    if (needed < FIELD_OFFSET(KEY_NAME_INFORMATION, Name) ||
        needed > QELMBAR_MAX_STRING_BYTES + FIELD_OFFSET(KEY_NAME_INFORMATION, Name))
        return STATUS_NAME_TOO_LONG;

    /* The name moves to the start of the block, which then is the
     * string's buffer. */
    info = (PKEY_NAME_INFORMATION)AllocatePool(PoolPaged, needed + sizeof(WCHAR));
    if (!info)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(info, needed + sizeof(WCHAR));
    status = ZwQueryKey(Key, KeyNameInformation, info, needed, &needed);
    if (NT_SUCCESS(status) &&
        info->NameLength > needed - (ULONG)FIELD_OFFSET(KEY_NAME_INFORMATION, Name))
        status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(info, QELMBAR_TAG);
        return status;
    }
    nameBytes = info->NameLength & ~1u;
    RtlMoveMemory(info, info->Name, nameBytes);
    ((PWCH)info)[nameBytes / sizeof(WCHAR)] = 0;
    Name->Buffer = (PWCH)info;
    Name->Length = (USHORT)nameBytes;
    Name->MaximumLength = (USHORT)(nameBytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

VOID FreeKeyName(PUNICODE_STRING Name)
{
    if (Name->Buffer)
        ExFreePoolWithTag(Name->Buffer, QELMBAR_TAG);
    Name->Buffer = nullptr;
    Name->Length = Name->MaximumLength = 0;
}

NTSTATUS KeyPathWithinKey(HANDLE Source, PCUNICODE_STRING Path, PBOOLEAN Inside, PBOOLEAN Equal)
{
    NTSTATUS status;
    UNICODE_STRING sourceName = { 0, 0, nullptr };
    UNICODE_STRING baseName = { 0, 0, nullptr };
    UNICODE_STRING prefix;
    OBJECT_ATTRIBUTES attributes;
    HANDLE base = nullptr;
    ULONG count = Path->Length / sizeof(WCHAR);
    ULONG cut = count;
    ULONG restCount;
    ULONG total;
    PWCH resolved = nullptr;

    *Inside = FALSE;
    *Equal = FALSE;
    while (count > 0 && Path->Buffer[count - 1] == '\\')
        count--;

    status = QueryKeyName(Source, &sourceName);
    if (!NT_SUCCESS(status))
        goto Exit;

    /* The path resolves as its deepest key that exists, followed by the
     * components not created yet, which no link can redirect. */
    cut = count;
    for (;;) {
        UNICODE_STRING part = View(Path->Buffer, cut);
        InitializeKeyAttributes(&attributes, &part, nullptr, REGISTRY_KEY_ATTRIBUTES);
        status = ZwOpenKey(&base, KEY_READ, &attributes);
        if (NT_SUCCESS(status))
            break;
        if (status != STATUS_OBJECT_NAME_NOT_FOUND && status != STATUS_OBJECT_PATH_NOT_FOUND)
            goto Exit;
        if (!CutAtLastBackslash(Path, cut, &cut) || cut == 0) {
            /* Nothing of it exists: it cannot lie in an open key. */
            status = STATUS_SUCCESS;
            goto Exit;
        }
    }
    status = QueryKeyName(base, &baseName);
    if (!NT_SUCCESS(status))
        goto Exit;

    restCount = count - cut;
    total = baseName.Length / sizeof(WCHAR) + restCount;
    if (total * sizeof(WCHAR) > QELMBAR_MAX_STRING_BYTES) {
        status = STATUS_NAME_TOO_LONG;
        goto Exit;
    }
    if (total < sourceName.Length / sizeof(WCHAR)) {
        status = STATUS_SUCCESS;
        goto Exit;
    }
    resolved = (PWCH)AllocatePool(PoolPaged, (total + 1) * sizeof(WCHAR));
    if (!resolved) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(resolved, (total + 1) * sizeof(WCHAR));
    RtlCopyMemory(resolved, baseName.Buffer, baseName.Length);
    if (restCount)
        RtlCopyMemory(resolved + baseName.Length / sizeof(WCHAR), Path->Buffer + cut,
                      restCount * sizeof(WCHAR));

    prefix = View(resolved, sourceName.Length / sizeof(WCHAR));
    if (RtlEqualUnicodeString(&prefix, &sourceName, TRUE)) {
        ULONG s = sourceName.Length / sizeof(WCHAR);
        if (total == s)
            *Equal = TRUE;
        else if (resolved[s] == '\\' || (s > 0 && resolved[s - 1] == '\\'))
            *Inside = TRUE;
    }
    status = STATUS_SUCCESS;

Exit:
    if (resolved)
        ExFreePoolWithTag(resolved, QELMBAR_TAG);
    FreeKeyName(&baseName);
    FreeKeyName(&sourceName);
    if (base)
        ZwClose(base);
    return status;
}
