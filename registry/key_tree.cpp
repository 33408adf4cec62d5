/*
 * key_tree.cpp - deleting, copying and moving whole key trees, and renaming
 * a key.
 *
 * The trees are walked depth first with their levels in pool: one small
 * record per level holding its handles and its place in the subkey list,
 * and one entry buffer for the whole walk (a level is done with its entry
 * as soon as the subkey it names is open).  A tree deeper than
 * KEY_TREE_MAX_DEPTH below the key given fails the whole operation with
 * STATUS_IMPLEMENTATION_LIMIT, as does a level record that cannot be
 * allocated with STATUS_NO_MEMORY; nothing is deleted after either.
 *
 * Subkeys are opened with OBJ_OPENLINK: a link key is handled as itself.
 * A delete removes the link, never what it points to; a copy leaves it out,
 * and a move refuses it.  A key is a link when the registry says so: the
 * same name opened without OBJ_OPENLINK leads to another key (whose name
 * the registry then gives) or, when the target is missing, to none.  A
 * value named "SymbolicLinkValue" in an ordinary key makes it no link.
 *
 * A move is a strict copy followed by one delete of the source tree, made
 * only when every value and subkey was copied; any failure ends the move
 * with the source whole and the target holding what was copied so far.
 */
#include "driver/driver.h"
#include "exec/exec.h"
#include "registry/registry.h"

namespace {

struct DeleteLevel {
    DeleteLevel *Parent;
    ULONG Depth;
    HANDLE Key;
    ULONG Index;
    BOOLEAN Recursive;
};

struct CopyLevel {
    CopyLevel *Parent;
    ULONG Depth;
    HANDLE Source;
    HANDLE Target;
    ULONG Index;
    BOOLEAN Finished;
    NTSTATUS Status;
};

PVOID AllocateZeroed(SIZE_T Bytes)
{
    PVOID block = AllocatePool(PoolPaged, Bytes);
    if (block)
        RtlZeroMemory(block, Bytes);
    return block;
}

/* The name an entry record holds: NameLength at NameLengthOffset, the
 * characters at Header; FALSE when the record does not fit the bytes it
 * came in. */
BOOLEAN EntryName(const UCHAR *Entries, ULONG Returned, ULONG Capacity, ULONG NameLengthOffset,
                  ULONG Header, PUNICODE_STRING Name)
{
    ULONG nameLength;
    if (Returned < Header || Returned > Capacity)
        return FALSE;
    RtlCopyMemory(&nameLength, Entries + NameLengthOffset, sizeof(nameLength));
    if (nameLength > Returned - Header || (nameLength & 1))
        return FALSE;
    Name->Buffer = (PWCH)(Entries + Header);
    Name->Length = Name->MaximumLength = (USHORT)nameLength;
    return TRUE;
}

BOOLEAN SubkeyEntryName(const UCHAR *Entries, ULONG Returned, PUNICODE_STRING Name)
{
    return EntryName(Entries, Returned, KEY_ENTRY_BUFFER_BYTES,
                     FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength),
                     FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), Name);
}

BOOLEAN ValueEntryName(const UCHAR *Entries, ULONG Returned, PUNICODE_STRING Name)
{
    return EntryName(Entries, Returned, VALUE_ENTRY_BUFFER_BYTES,
                     FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength),
                     FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name), Name);
}

/* Whether the subkey Name of Parent, open as itself in Opened (with
 * OBJ_OPENLINK), is a registry link.  Opened the ordinary way a link leads
 * on to its target, whose full name differs from the link's own, or to
 * nothing when the target is missing; any other key is the same key both
 * ways. */
NTSTATUS IsLinkKey(HANDLE Parent, PCUNICODE_STRING Name, HANDLE Opened, PBOOLEAN IsLink)
{
    NTSTATUS status;
    HANDLE followed = nullptr;
    UNICODE_STRING openedName = { 0, 0, nullptr };
    UNICODE_STRING followedName = { 0, 0, nullptr };
    OBJECT_ATTRIBUTES attributes;

    *IsLink = FALSE;
    InitializeKeyAttributes(&attributes, Name, Parent, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&followed, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        followed = nullptr;
        if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
            *IsLink = TRUE;
            status = STATUS_SUCCESS;
        }
        goto Exit;
    }
    status = QueryKeyName(Opened, &openedName);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = QueryKeyName(followed, &followedName);
    if (!NT_SUCCESS(status))
        goto Exit;
    *IsLink = !RtlEqualUnicodeString(&openedName, &followedName, FALSE);

Exit:
    FreeKeyName(&followedName);
    FreeKeyName(&openedName);
    if (followed)
        ZwClose(followed);
    return status;
}

/* Deletes a key whose subkeys are gone; one that cannot be deleted loses
 * its values instead, and the refusal is returned. */
NTSTATUS DeleteOrEmptyKey(HANDLE Key)
{
    NTSTATUS status = ZwDeleteKey(Key);
    PUCHAR entries;
    ULONG index = 0;
    ULONG returned = 0;
    UNICODE_STRING name;

    if (NT_SUCCESS(status))
        return status;
    entries = (PUCHAR)AllocateZeroed(VALUE_ENTRY_BUFFER_BYTES);
    if (!entries)
        return STATUS_NO_MEMORY;
    while (NT_SUCCESS(ZwEnumerateValueKey(Key, index, KeyValueBasicInformation, entries,
                                          VALUE_ENTRY_BUFFER_BYTES, &returned))) {
        if (!ValueEntryName(entries, returned, &name) || !NT_SUCCESS(ZwDeleteValueKey(Key, &name)))
            index++;
    }
    ExFreePoolWithTag(entries, QELMBAR_TAG);
    return status;
}

/* Copies the values of one key.  A value that vanished before it could be
 * read is left out, unless Strict; a failed write ends the copy. */
NTSTATUS CopyValues(HANDLE Source, HANDLE Target, BOOLEAN Strict, PUCHAR Entries)
{
    NTSTATUS status;
    ULONG returned = 0;
    UNICODE_STRING name;

    for (ULONG index = 0;; index++) {
        RegistryValue *value = nullptr;
        status = ZwEnumerateValueKey(Source, index, KeyValueBasicInformation, Entries,
                                     VALUE_ENTRY_BUFFER_BYTES, &returned);
        if (!NT_SUCCESS(status))
            break;
        if (!ValueEntryName(Entries, returned, &name))
            return STATUS_UNSUCCESSFUL;
        status = QueryRegistryValue(Source, &name, &value);
        if (!NT_SUCCESS(status)) {
            if (Strict)
                return status;
            continue;
        }
        status = ZwSetValueKey(Target, &name, 0, value->Type, value->Data, value->DataLength);
        ExFreePoolWithTag(value, QELMBAR_TAG);
        if (!NT_SUCCESS(status))
            return status;
    }
    return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
}

/* Opens the subkey that Entries names below the level's source, and
 * creates or opens the one of the same name below its target.  A link key
 * answers STATUS_NOT_SUPPORTED: it is not copied. */
NTSTATUS OpenCopyChild(const CopyLevel *Level, const UCHAR *Entries, ULONG Returned,
                       BOOLEAN Strict, PHANDLE Source, PHANDLE Target)
{
    NTSTATUS status;
    HANDLE source = nullptr;
    HANDLE target = nullptr;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    BOOLEAN isLink = FALSE;

    if (!SubkeyEntryName(Entries, Returned, &name)) {
        status = STATUS_UNSUCCESSFUL;
        goto Exit;
    }
    InitializeKeyAttributes(&attributes, &name, Level->Source,
                            REGISTRY_KEY_ATTRIBUTES | OBJ_OPENLINK);
    status = ZwOpenKey(&source, Strict ? KEY_ALL_ACCESS : KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = IsLinkKey(Level->Source, &name, source, &isLink);
    if (NT_SUCCESS(status) && isLink)
        status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status))
        goto Exit;
    InitializeKeyAttributes(&attributes, &name, Level->Target,
                            REGISTRY_KEY_ATTRIBUTES | OBJ_OPENLINK);
    status = CreateKeyPath(&target, &attributes, nullptr);
    if (!NT_SUCCESS(status))
        goto Exit;
    *Source = source;
    *Target = target;
    source = target = nullptr;

Exit:
    if (target)
        ZwClose(target);
    if (source)
        ZwClose(source);
    return status;
}

/* A level record's release: its handles, then the record. */
VOID ReleaseCopyLevel(CopyLevel *Level)
{
    if (Level->Target)
        ZwClose(Level->Target);
    if (Level->Source)
        ZwClose(Level->Source);
    ExFreePoolWithTag(Level, QELMBAR_TAG);
}

VOID ReleaseDeleteLevel(DeleteLevel *Level)
{
    if (Level->Key)
        ZwClose(Level->Key);
    ExFreePoolWithTag(Level, QELMBAR_TAG);
}

/* Creates the target of a copy or move; STATUS_OBJECT_NAME_EXISTS and no
 * handle when it exists and may not be overwritten. */
NTSTATUS CreateTreeTarget(BOOLEAN Overwrite, PCUNICODE_STRING Path, PHANDLE Target)
{
    NTSTATUS status;
    HANDLE target = nullptr;
    OBJECT_ATTRIBUTES attributes;
    ULONG disposition = 0;

    InitializeKeyAttributes(&attributes, Path, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = CreateKeyPath(&target, &attributes, &disposition);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (disposition == REG_OPENED_EXISTING_KEY && !Overwrite) {
        status = STATUS_OBJECT_NAME_EXISTS;
        goto Exit;
    }
    *Target = target;
    target = nullptr;

Exit:
    if (target)
        ZwClose(target);
    return status;
}

/* The last component of a key name. */
UNICODE_STRING LastComponent(PCUNICODE_STRING Name)
{
    ULONG count = Name->Length / sizeof(WCHAR);
    ULONG start = count;
    UNICODE_STRING last;
    while (start > 0 && Name->Buffer[start - 1] != '\\')
        start--;
    last.Buffer = Name->Buffer + start;
    last.Length = last.MaximumLength = (USHORT)((count - start) * sizeof(WCHAR));
    return last;
}

} // namespace

NTSTATUS DeleteKeyTree(HANDLE Key, BOOLEAN Recursive)
{
    NTSTATUS status;
    NTSTATUS abort = STATUS_SUCCESS;
    NTSTATUS result = STATUS_SUCCESS;
    ULONG returned = 0;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    DeleteLevel top = { nullptr, 0, Key, 0, Recursive };
    DeleteLevel *level = &top;
    DeleteLevel *child = nullptr;
    HANDLE subkey = nullptr;
    PUCHAR entries = (PUCHAR)AllocateZeroed(KEY_ENTRY_BUFFER_BYTES);

    if (!entries) {
        abort = STATUS_NO_MEMORY;
        goto Exit;
    }

    for (;;) {
        status = ZwEnumerateKey(level->Key, level->Index, KeyBasicInformation, entries,
                                KEY_ENTRY_BUFFER_BYTES, &returned);
        if (NT_SUCCESS(status) && level->Recursive) {
            if (!SubkeyEntryName(entries, returned, &name)) {
                level->Index++;
                continue;
            }
            InitializeKeyAttributes(&attributes, &name, level->Key,
                                    REGISTRY_KEY_ATTRIBUTES | OBJ_OPENLINK);
            if (!NT_SUCCESS(ZwOpenKey(&subkey, KEY_ALL_ACCESS, &attributes))) {
                subkey = nullptr;
                level->Index++;
                continue;
            }
            if (level->Depth >= KEY_TREE_MAX_DEPTH) {
                abort = STATUS_IMPLEMENTATION_LIMIT;
                break;
            }
            child = (DeleteLevel *)AllocateZeroed(sizeof(DeleteLevel));
            if (!child) {
                abort = STATUS_NO_MEMORY;
                break;
            }
            child->Parent = level;
            child->Depth = level->Depth + 1;
            child->Key = subkey;
            child->Recursive = TRUE;
            subkey = nullptr;
            level = child;
            continue;
        }

        /* The subkeys are done: the end of the list counts as success, as
         * does the one look a flat delete takes. */
        if (NT_SUCCESS(status) || status == STATUS_NO_MORE_ENTRIES)
            status = DeleteOrEmptyKey(level->Key);
        if (!level->Parent) {
            result = status;
            break;
        }
        child = level;
        level = level->Parent;
        ReleaseDeleteLevel(child);
        /* A deleted subkey moved the ones behind it down by one. */
        if (!NT_SUCCESS(status))
            level->Index++;
    }

Exit:
    if (subkey)
        ZwClose(subkey);
    while (level->Parent) {
        child = level;
        level = level->Parent;
        ReleaseDeleteLevel(child);
    }
    if (entries)
        ExFreePoolWithTag(entries, QELMBAR_TAG);
    return NT_SUCCESS(abort) ? result : abort;
}

NTSTATUS CopyKeyTree(HANDLE Source, HANDLE Target, BOOLEAN DeleteSource)
{
    NTSTATUS status;
    NTSTATUS abort = STATUS_SUCCESS;
    const BOOLEAN strict = DeleteSource;
    ULONG returned = 0;
    CopyLevel top;
    CopyLevel *level = &top;
    CopyLevel *child = nullptr;
    HANDLE subsource = nullptr;
    HANDLE subtarget = nullptr;
    PUCHAR values = nullptr;
    PUCHAR entries = nullptr;

    RtlZeroMemory(&top, sizeof(top));
    values = (PUCHAR)AllocateZeroed(VALUE_ENTRY_BUFFER_BYTES);
    if (values)
        entries = (PUCHAR)AllocateZeroed(KEY_ENTRY_BUFFER_BYTES);
    if (!entries) {
        abort = STATUS_NO_MEMORY;
        goto Exit;
    }

    top.Source = Source;
    top.Target = Target;
    top.Status = CopyValues(Source, Target, strict, values);
    top.Finished = !NT_SUCCESS(top.Status);

    for (;;) {
        if (!level->Finished) {
            status = ZwEnumerateKey(level->Source, level->Index, KeyBasicInformation, entries,
                                    KEY_ENTRY_BUFFER_BYTES, &returned);
            if (!NT_SUCCESS(status)) {
                if (status != STATUS_NO_MORE_ENTRIES)
                    level->Status = status;
                level->Finished = TRUE;
                continue;
            }
            level->Index++;
            status = OpenCopyChild(level, entries, returned, strict, &subsource, &subtarget);
            if (!NT_SUCCESS(status)) {
                /* A copy goes on without the subkey; a move may not. */
                if (strict) {
                    abort = status;
                    break;
                }
                continue;
            }
            if (level->Depth >= KEY_TREE_MAX_DEPTH) {
                abort = STATUS_IMPLEMENTATION_LIMIT;
                break;
            }
            child = (CopyLevel *)AllocateZeroed(sizeof(CopyLevel));
            if (!child) {
                abort = STATUS_NO_MEMORY;
                break;
            }
            child->Parent = level;
            child->Depth = level->Depth + 1;
            child->Source = subsource;
            child->Target = subtarget;
            subsource = subtarget = nullptr;
            child->Status = CopyValues(child->Source, child->Target, strict, values);
            child->Finished = !NT_SUCCESS(child->Status);
            level = child;
            continue;
        }

        if (!level->Parent)
            break;
        child = level;
        level = level->Parent;
        status = child->Status;
        ReleaseCopyLevel(child);
        if (strict && !NT_SUCCESS(status)) {
            abort = status;
            break;
        }
    }

Exit:
    if (subtarget)
        ZwClose(subtarget);
    if (subsource)
        ZwClose(subsource);
    while (level->Parent) {
        child = level;
        level = level->Parent;
        ReleaseCopyLevel(child);
    }
    if (entries)
        ExFreePoolWithTag(entries, QELMBAR_TAG);
    if (values)
        ExFreePoolWithTag(values, QELMBAR_TAG);

    status = NT_SUCCESS(abort) ? top.Status : abort;
    if (NT_SUCCESS(status) && DeleteSource)
        status = DeleteKeyTree(Source, TRUE);
    return status;
}

NTSTATUS MoveKeyTree(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target)
{
    NTSTATUS status;
    HANDLE source = nullptr;
    HANDLE target = nullptr;
    BOOLEAN inside = FALSE;
    BOOLEAN equal = FALSE;

    status = EnsureHiveLoaded(Source, TRUE);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = OpenKeyPath(&source, Source, KEY_ALL_ACCESS);
    if (!NT_SUCCESS(status))
        goto Exit;

    /* A key moved into itself would be copied without end and then
     * deleted; moved onto itself it is already where it should be. */
    status = KeyPathWithinKey(source, Target, &inside, &equal);
    if (NT_SUCCESS(status) && inside)
        status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status) || equal)
        goto Exit;

    status = CreateTreeTarget(Overwrite, Target, &target);
    if (status == STATUS_OBJECT_NAME_EXISTS || !NT_SUCCESS(status))
        goto Exit;
    status = CopyKeyTree(source, target, TRUE);

Exit:
    if (target)
        ZwClose(target);
    if (source)
        ZwClose(source);
    return status;
}

namespace {

/* Renames with the kernel's own routine: the open's status is returned,
 * the rename's in *Renamed (STATUS_NOT_SUPPORTED when the open failed). */
NTSTATUS KernelRenameKey(PCUNICODE_STRING Path, PCUNICODE_STRING NewName, NTSTATUS *Renamed)
{
    NTSTATUS status;
    HANDLE key = nullptr;

    *Renamed = STATUS_NOT_SUPPORTED;
    status = OpenKeyPath(&key, Path, KEY_ALL_ACCESS);
    if (!NT_SUCCESS(status))
        goto Exit;
    *Renamed = ZwRenameKeyRoutine(key, (PUNICODE_STRING)NewName);

Exit:
    if (key)
        ZwClose(key);
    return status;
}

/* Whether the key at Path already bears NewName, or a name that differs
 * from it only in case (*Equal); with *Equal, a success status only when
 * the case is the same as well, else CaseStatus. */
NTSTATUS RenameIsNoMove(PCUNICODE_STRING Path, PCUNICODE_STRING NewName,
                        PCUNICODE_STRING NewPath, NTSTATUS CaseStatus, PBOOLEAN Equal)
{
    NTSTATUS status;
    HANDLE key = nullptr;
    UNICODE_STRING currentName = { 0, 0, nullptr };
    UNICODE_STRING last;
    BOOLEAN inside = FALSE;

    status = OpenKeyPath(&key, Path, KEY_READ);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = KeyPathWithinKey(key, NewPath, &inside, Equal);
    if (!NT_SUCCESS(status) || !*Equal)
        goto Exit;
    status = QueryKeyName(key, &currentName);
    if (!NT_SUCCESS(status))
        goto Exit;
    last = LastComponent(&currentName);
    status = RtlEqualUnicodeString(&last, NewName, FALSE) ? STATUS_SUCCESS : CaseStatus;

Exit:
    FreeKeyName(&currentName);
    if (key)
        ZwClose(key);
    return status;
}

} // namespace

NTSTATUS RenameKeyPath(BOOLEAN Overwrite, PCUNICODE_STRING Path, PCUNICODE_STRING NewName)
{
    NTSTATUS status;
    NTSTATUS kernelStatus = STATUS_NOT_SUPPORTED;
    UNICODE_STRING newPath = { 0, 0, nullptr };
    BOOLEAN equal = FALSE;

    status = EnsureHiveLoaded(Path, TRUE);
    if (!NT_SUCCESS(status))
        goto Exit;

    if (ZwRenameKeyRoutine) {
        status = KernelRenameKey(Path, NewName, &kernelStatus);
        if (!NT_SUCCESS(status))
            goto Exit;
        if (NT_SUCCESS(kernelStatus)) {
            status = kernelStatus;
            goto Exit;
        }
    }

    status = BuildRenameTarget(Path, NewName, &newPath);
    if (!NT_SUCCESS(status))
        goto Exit;

    /* The same key under its own name, or a name that differs only in
     * case, is no move: copying it onto itself and deleting the source
     * would delete it.  A change of case is the kernel's rename or
     * nothing. */
    status = RenameIsNoMove(Path, NewName, &newPath, kernelStatus, &equal);
    if (NT_SUCCESS(status) && !equal)
        status = MoveKeyTree(Overwrite, Path, &newPath);

Exit:
    FreeComposedPath(&newPath);
    return status;
}
