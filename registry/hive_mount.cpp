/*
 * hive_mount.cpp - whether the hive holding a key may be used now, and the
 * hives the driver mounts itself.
 *
 * Early in boot SOFTWARE, SECURITY, SAM and the default user's hive are not
 * loaded yet.  A key that is only read may be reached by mounting its hive
 * file through the system-root link; a key that is changed must lie in a
 * hive the system loaded, or the operation is deferred (STATUS_FAIL_CHECK).
 * A mounted hive that will not unload keeps its record, so that writes
 * under it keep being deferred, and the unload is tried again later.
 */
#include "driver/driver.h"
#include "registry/registry.h"

namespace {

struct HiveTableRow {
    UNICODE_STRING MountPath;
    UNICODE_STRING HiveFile;
};

const HiveTableRow HiveTable[] = {
    { QSTRING("\\REGISTRY\\MACHINE\\SAM"), QSTRING("\\QelmbarSystemRoot\\System32\\config\\SAM") },
    { QSTRING("\\REGISTRY\\MACHINE\\SECURITY"),
      QSTRING("\\QelmbarSystemRoot\\System32\\config\\SECURITY") },
    { QSTRING("\\REGISTRY\\MACHINE\\SOFTWARE"),
      QSTRING("\\QelmbarSystemRoot\\System32\\config\\SOFTWARE") },
    { QSTRING("\\REGISTRY\\USER\\.DEFAULT"),
      QSTRING("\\QelmbarSystemRoot\\System32\\config\\DEFAULT") },
};

/* Succeeds only when a hive (or key) is present at the prefix. */
NTSTATUS ProbeHive(PCUNICODE_STRING Prefix)
{
    NTSTATUS status;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;

    InitializeKeyAttributes(&attributes, Prefix, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_ENUMERATE_SUB_KEYS, &attributes);

    if (key)
        ZwClose(key);
    return status;
}

BOOLEAN IsTemporaryHive(PCUNICODE_STRING Prefix)
{
    PLIST_ENTRY head = &QelmbarContext->TemporaryHiveList;
    if (!head->Flink)
        return FALSE;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
        TemporaryHive *hive = CONTAINING_RECORD(entry, TemporaryHive, Links);
        if (RtlCompareUnicodeString(&hive->MountPath, Prefix, TRUE) == 0)
            return TRUE;
    }
    return FALSE;
}

/* Once its unloading began, a hive's record holds no handle. */
VOID CloseHiveRoot(TemporaryHive *Hive)
{
    HANDLE root = Hive->RootKey;

    Hive->RootKey = nullptr;
    if (root)
        ZwClose(root);
}

} // namespace

UNICODE_STRING HivePrefix(PCUNICODE_STRING Path)
{
    UNICODE_STRING prefix = *Path;
    ULONG count = Path->Length / sizeof(WCHAR);
    ULONG backslashes = 0;
    for (ULONG i = 0; i < count; i++) {
        if (Path->Buffer[i] == '\\' && ++backslashes == 4) {
            prefix.Length = (USHORT)(i * sizeof(WCHAR));
            break;
        }
    }
    prefix.MaximumLength = prefix.Length;
    return prefix;
}

NTSTATUS MountHive(PCUNICODE_STRING Path)
{
    NTSTATUS status;
    UNICODE_STRING prefix = HivePrefix(Path);
    const HiveTableRow *row = nullptr;
    HANDLE root = nullptr;
    BOOLEAN loaded = FALSE;
    TemporaryHive *hive = nullptr;
    OBJECT_ATTRIBUTES target;
    OBJECT_ATTRIBUTES source;
    SIZE_T size;

    status = ProbeHive(&prefix);
    if (NT_SUCCESS(status))
        goto Exit; /* it appeared meanwhile */

    for (ULONG i = 0; i < sizeof(HiveTable) / sizeof(HiveTable[0]); i++) {
        if (RtlCompareUnicodeString(&prefix, &HiveTable[i].MountPath, TRUE) == 0) {
            row = &HiveTable[i];
            break;
        }
    }
    if (!row) {
        status = STATUS_NOT_FOUND;
        goto Exit;
    }

    InitializeKeyAttributes(&target, &prefix, nullptr, REGISTRY_KEY_ATTRIBUTES);
    InitializeKeyAttributes(&source, &row->HiveFile, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwLoadKey(&target, &source);
    if (!NT_SUCCESS(status))
        goto Exit;
    loaded = TRUE;

    status = ZwOpenKey(&root, KEY_READ, &target);
    if (!NT_SUCCESS(status))
        goto Exit;

    size = sizeof(TemporaryHive) + prefix.Length + sizeof(WCHAR);
    hive = (TemporaryHive *)AllocatePool(PoolPaged, size);
    if (!hive) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(hive, size);
    hive->RootKey = root;
    hive->MountPath.Buffer = (PWCH)(hive + 1);
    hive->MountPath.MaximumLength = (USHORT)(prefix.Length + sizeof(WCHAR));
    RtlCopyUnicodeString(&hive->MountPath, &prefix);
    InsertTailList(&QelmbarContext->TemporaryHiveList, &hive->Links);
    root = nullptr;
    loaded = FALSE;
    status = STATUS_SUCCESS;

Exit:
    /* No half state: a hive without its record goes again. */
    if (root)
        ZwClose(root);
    if (loaded)
        ZwUnloadKey(&target);
    return status;
}

NTSTATUS EnsureHiveLoaded(PCUNICODE_STRING Path, BOOLEAN RequireSystemHive)
{
    UNICODE_STRING prefix = HivePrefix(Path);
    NTSTATUS status = ProbeHive(&prefix);

    if (!NT_SUCCESS(status)) {
        if (RequireSystemHive)
            return STATUS_FAIL_CHECK;
        return NT_SUCCESS(MountHive(Path)) ? STATUS_SUCCESS : STATUS_FAIL_CHECK;
    }
    /* A change must not go into the driver's own temporary mount. */
    if (RequireSystemHive && IsTemporaryHive(&prefix))
        return STATUS_FAIL_CHECK;
    return status;
}

VOID UnloadTemporaryHives(PLIST_ENTRY List)
{
    if (!List->Flink) {
        InitializeListHead(List);
        return;
    }
    PLIST_ENTRY entry = List->Flink;
    while (entry != List) {
        PLIST_ENTRY next = entry->Flink;
        TemporaryHive *hive = CONTAINING_RECORD(entry, TemporaryHive, Links);
        OBJECT_ATTRIBUTES attributes;
        CloseHiveRoot(hive);
        InitializeKeyAttributes(&attributes, &hive->MountPath, nullptr, REGISTRY_KEY_ATTRIBUTES);
        if (NT_SUCCESS(ZwUnloadKey(&attributes))) {
            RemoveEntryList(&hive->Links);
            ExFreePoolWithTag(hive, QELMBAR_TAG);
        }
        entry = next;
    }
}
