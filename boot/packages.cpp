/*
 * packages.cpp - the package life cycle: a subkey of Parameters whose
 * default value is "Package" is set up once, and at a later boot either
 * reverted (the boot follows an improper shutdown) or committed (enough
 * boots and uptime went by).  A package that cannot be read becomes
 * "Corrupted".  The three final states end its life: the key stays, but
 * it is no longer a package.
 *
 * What runs once is recorded before it runs, and flushed: a setup after
 * its start counters, a clean after "Commited".  A power loss in the
 * middle of either then never runs it a second time over what it already
 * changed; a setup cut short is reverted at the next boot, a clean cut
 * short leaves leftovers.  A revert is recorded after it ran and after
 * the volumes it changed are flushed, so one cut short runs again and one
 * recorded is on disk.
 */
#include "boot/boot.h"
#include "driver/driver.h"
#include "exec/exec.h"
#include "registry/registry.h"
#include "script/script.h"

namespace {

const UNICODE_STRING DefaultValueName = { 0, 0, nullptr };
const UNICODE_STRING PackageMarker = QSTRING("Package");
const UNICODE_STRING StartTickCounterName = QSTRING("StartTickCounter");
const UNICODE_STRING StartBootCounterName = QSTRING("StartBootCounter");
const UNICODE_STRING TickTimeoutName = QSTRING("TickTimeout");
const UNICODE_STRING BootTimeoutName = QSTRING("BootTimeout");
const UNICODE_STRING SetupOperationsName = QSTRING("SetupOperations");
const UNICODE_STRING RevertOperationsName = QSTRING("RevertOperations");
const UNICODE_STRING CleanOperationsName = QSTRING("CleanOperations");
const UNICODE_STRING LastPackageErrorName = QSTRING("LastPackageError");

/* The state strings are stored with their NUL. */
const WCHAR RevertedState[] = QTEXT("Reverted");
const WCHAR CommitedState[] = QTEXT("Commited");
const WCHAR CorruptedState[] = QTEXT("Corrupted");

NTSTATUS WriteState(HANDLE Key, const WCHAR *State, ULONG Bytes)
{
    return ZwSetValueKey(Key, (PUNICODE_STRING)&DefaultValueName, 0, REG_SZ, (PVOID)State, Bytes);
}

/* Reads a value; *Value stays null when it is absent.  Any other failure
 * to read is returned. */
NTSTATUS ReadOptional(HANDLE Key, PCUNICODE_STRING Name, RegistryValue **Value)
{
    *Value = nullptr;
    NTSTATUS status = QueryRegistryValue(Key, (PUNICODE_STRING)Name, Value);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    return status;
}

/* A REG_DWORD of the package, 0 when absent; STATUS_NOT_SUPPORTED for
 * another type. */
NTSTATUS LoadDword(HANDLE Key, PCUNICODE_STRING Name, PULONG Field, PBOOLEAN Corrupt)
{
    RegistryValue *value = nullptr;
    NTSTATUS status = ReadOptional(Key, Name, &value);
    *Field = 0;
    if (!NT_SUCCESS(status) || !value)
        return status;
    if (value->Type == REG_DWORD) {
        *Field = *(const ULONG *)value->Data;
    } else {
        status = STATUS_NOT_SUPPORTED;
        *Corrupt = TRUE;
    }
    ExFreePoolWithTag(value, QELMBAR_TAG);
    return status;
}

/* A script of the package, empty when absent or empty. */
NTSTATUS LoadScript(HANDLE Key, PCUNICODE_STRING Name, PLIST_ENTRY List, PBOOLEAN Corrupt)
{
    RegistryValue *value = nullptr;
    NTSTATUS status = ReadOptional(Key, Name, &value);
    if (!NT_SUCCESS(status) || !value)
        return status;
    if (value->DataLength != 0) {
        if (value->Type != REG_MULTI_SZ)
            status = STATUS_NOT_SUPPORTED;
        else
            status = ParseOperationList((PCWSTR)value->Data, value->DataLength, List);
        /* A parse that ran out of pool says nothing about the script: the
         * package waits for a boot with memory to spare. */
        if (!NT_SUCCESS(status) && status != STATUS_NO_MEMORY)
            *Corrupt = TRUE;
    }
    ExFreePoolWithTag(value, QELMBAR_TAG);
    return status;
}

VOID FreePackageScripts(PackageRecord *Package)
{
    FreeOperationList(&Package->SetupOperations);
    FreeOperationList(&Package->RevertOperations);
    FreeOperationList(&Package->CleanOperations);
}

/* Whether the default value is the string "Package", in any case, up to
 * its first NUL. */
BOOLEAN IsPackageMarker(const RegistryValue *Value)
{
    UNICODE_STRING text;
    ULONG count = 0;
    if (Value->Type != REG_SZ)
        return FALSE;
    text.Buffer = (PWCH)Value->Data;
    while (count < Value->DataLength / sizeof(WCHAR) && text.Buffer[count] != 0)
        count++;
    text.Length = text.MaximumLength = (USHORT)(count * sizeof(WCHAR));
    return count < 0x8000 && RtlEqualUnicodeString(&text, &PackageMarker, TRUE);
}

NTSTATUS OpenPackageKey(HANDLE ParametersKey, const PackageRecord *Package, PHANDLE Key)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeKeyAttributes(&attributes, &Package->KeyName, ParametersKey, REGISTRY_KEY_ATTRIBUTES);
    return ZwOpenKey(Key, KEY_ALL_ACCESS, &attributes);
}

/* Whether at least Timeout went by since Start.  A counter that went back
 * below its start has not elapsed. */
BOOLEAN Elapsed(ULONG Now, ULONG Start, ULONG Timeout)
{
    if (Timeout == 0)
        return TRUE;
    return Now >= Start && Now - Start >= Timeout;
}

/* After a revert or clean: the first failure, if any, is recorded. */
NTSTATUS RecordScriptFailure(HANDLE Key, PLIST_ENTRY Script, NTSTATUS Status)
{
    NTSTATUS failure = FirstFailure(Script);
    if (NT_SUCCESS(Status) && !NT_SUCCESS(failure))
        Status = SetDwordValue(Key, &LastPackageErrorName, (ULONG)failure);
    return Status;
}

NTSTATUS SetUpPackage(HANDLE ParametersKey, PackageRecord *Package)
{
    ListOrigin origin = { ListSetup, &Package->KeyName, nullptr };
    HANDLE key = nullptr;
    NTSTATUS result;
    NTSTATUS status;

    Package->StartBootCounter = QelmbarContext->BootCounter;
    Package->StartTickCounter = QelmbarContext->TickCounter;
    status = OpenPackageKey(ParametersKey, Package, &key);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = SetDwordValue(key, &StartBootCounterName, Package->StartBootCounter);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = SetDwordValue(key, &StartTickCounterName, Package->StartTickCounter);
    ZwFlushKey(key);

    origin.Results = BeginRunResults(ListSetup, &Package->SetupOperations, &Package->KeyName);
    result = RunOperationList(&Package->SetupOperations, TRUE, &QelmbarContext->DeferredList,
                              &origin);
    FlushVolumesOf(&Package->SetupOperations);
    if (NT_SUCCESS(status) && !NT_SUCCESS(result))
        status = SetDwordValue(key, &LastPackageErrorName, (ULONG)result);
    EndRunResults(key, ListSetup, origin.Results, result < 0 ? result : STATUS_SUCCESS);

Exit:
    if (key)
        ZwClose(key);
    return status;
}

ULONG CountRecords(PLIST_ENTRY List)
{
    ULONG count = 0;
    for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink)
        count++;
    return count;
}

/* Leaves the state of a package whose revert is not done yet to the
 * deferred run.  FALSE when there is no memory for the record: the state
 * is then written at once. */
BOOLEAN DeferRevertState(const PackageRecord *Package, NTSTATUS Failure)
{
    PCUNICODE_STRING parameters = QelmbarContext->ParametersPath;
    ULONG bytes = (parameters ? parameters->Length : 0) + sizeof(WCHAR) + Package->KeyName.Length;
    PendingRevert *pending;
    if (!parameters || bytes + sizeof(WCHAR) > QELMBAR_MAX_STRING_BYTES)
        return FALSE;
    pending =
        (PendingRevert *)AllocatePool(PoolPaged, sizeof(PendingRevert) + bytes + sizeof(WCHAR));
    if (!pending)
        return FALSE;
    RtlZeroMemory(pending, sizeof(PendingRevert) + bytes + sizeof(WCHAR));
    pending->KeyPath.Buffer = (PWCH)(pending + 1);
    pending->KeyPath.MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    RtlCopyUnicodeString(&pending->KeyPath, parameters);
    RtlAppendUnicodeToString(&pending->KeyPath, QTEXT("\\"));
    RtlAppendUnicodeStringToString(&pending->KeyPath, &Package->KeyName);
    pending->Failure = Failure;
    InsertTailList(&QelmbarContext->PendingRevertList, &pending->Links);
    return TRUE;
}

NTSTATUS RevertPackage(HANDLE ParametersKey, PackageRecord *Package)
{
    ListOrigin origin = { ListRevert, &Package->KeyName, nullptr };
    HANDLE key = nullptr;
    NTSTATUS status;
    ULONG before = CountRecords(&Package->RevertOperations);

    origin.Results = BeginRunResults(ListRevert, &Package->RevertOperations, &Package->KeyName);
    RunOperationList(&Package->RevertOperations, FALSE, &QelmbarContext->DeferredList, &origin);
    /* The files are back on disk before the package is recorded reverted. */
    FlushVolumesOf(&Package->RevertOperations);
    /* Part of the revert waits for its hive: the package is final only
     * once that part ran too.  Until then a power loss reverts it again.
     * Its record is written then, with the state. */
    if (CountRecords(&Package->RevertOperations) != before &&
        DeferRevertState(Package, FirstFailure(&Package->RevertOperations))) {
        status = STATUS_SUCCESS;
        goto Exit;
    }
    status = OpenPackageKey(ParametersKey, Package, &key);
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }
    status = WriteState(key, RevertedState, sizeof(RevertedState));
    status = RecordScriptFailure(key, &Package->RevertOperations, status);

Exit:
    EndRunResults(key, ListRevert, origin.Results, FirstFailure(&Package->RevertOperations));
    if (key)
        ZwClose(key);
    return status;
}

NTSTATUS CommitPackage(HANDLE ParametersKey, PackageRecord *Package)
{
    ListOrigin origin = { ListClean, &Package->KeyName, nullptr };
    NTSTATUS status;
    HANDLE key = nullptr;

    status = OpenPackageKey(ParametersKey, Package, &key);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = WriteState(key, CommitedState, sizeof(CommitedState));
    if (!NT_SUCCESS(status))
        goto Exit;
    ZwFlushKey(key);
    origin.Results = BeginRunResults(ListClean, &Package->CleanOperations, &Package->KeyName);
    RunOperationList(&Package->CleanOperations, FALSE, &QelmbarContext->DeferredList, &origin);
    FlushVolumesOf(&Package->CleanOperations);
    status = RecordScriptFailure(key, &Package->CleanOperations, status);
    EndRunResults(key, ListClean, origin.Results, FirstFailure(&Package->CleanOperations));

Exit:
    if (key)
        ZwClose(key);
    return status;
}

/* Reads the package that the subkey Name of the Parameters key holds and
 * appends it to the list when it loads.  A key that is no package, or a
 * package that does not load, is passed over; only a record that cannot
 * be allocated fails (STATUS_NO_MEMORY), which ends the enumeration. */
NTSTATUS AddPackageOfKey(HANDLE ParametersKey, PCUNICODE_STRING Name, PLIST_ENTRY PackageList)
{
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE subkey = nullptr;
    RegistryValue *marker = nullptr;
    PackageRecord *record = nullptr;
    OBJECT_ATTRIBUTES attributes;
    SIZE_T size;

    InitializeKeyAttributes(&attributes, Name, ParametersKey, REGISTRY_KEY_ATTRIBUTES);
    if (!NT_SUCCESS(ZwOpenKey(&subkey, KEY_ALL_ACCESS, &attributes))) {
        subkey = nullptr;
        goto Exit;
    }
    if (!NT_SUCCESS(QueryRegistryValue(subkey, (PUNICODE_STRING)&DefaultValueName, &marker)) ||
        !IsPackageMarker(marker))
        goto Exit;

    size = sizeof(PackageRecord) + Name->Length + sizeof(WCHAR);
    record = (PackageRecord *)AllocatePool(PoolPaged, size);
    if (!record) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(record, size);
    record->KeyName.Buffer = (PWCH)(record + 1);
    record->KeyName.MaximumLength = (USHORT)(Name->Length + sizeof(WCHAR));
    RtlCopyUnicodeString(&record->KeyName, Name);
    if (NT_SUCCESS(LoadPackage(subkey, record))) {
        InsertTailList(PackageList, &record->Links);
        record = nullptr;
    }

Exit:
    if (record)
        ExFreePoolWithTag(record, QELMBAR_TAG);
    if (marker)
        ExFreePoolWithTag(marker, QELMBAR_TAG);
    if (subkey)
        ZwClose(subkey);
    return status;
}

/* Records a revert that the deferred run finished: "Reverted", and the
 * first failure of its script if any. */
VOID RecordRevertDone(const PendingRevert *Pending)
{
    NTSTATUS status;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;

    InitializeKeyAttributes(&attributes, &Pending->KeyPath, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }
    status = WriteState(key, RevertedState, sizeof(RevertedState));
    if (NT_SUCCESS(status) && !NT_SUCCESS(Pending->Failure))
        SetDwordValue(key, &LastPackageErrorName, (ULONG)Pending->Failure);
    ZwFlushKey(key);

Exit:
    if (key)
        ZwClose(key);
}

} // namespace

NTSTATUS SetDwordValue(HANDLE Key, PCUNICODE_STRING Name, ULONG Data)
{
    return ZwSetValueKey(Key, (PUNICODE_STRING)Name, 0, REG_DWORD, &Data, sizeof(Data));
}

NTSTATUS FirstFailure(PLIST_ENTRY List)
{
    if (!List->Flink)
        return STATUS_SUCCESS;
    for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink) {
        const OperationRecord *record = CONTAINING_RECORD(entry, OperationRecord, Links);
        if (record->Executed && !NT_SUCCESS(record->Status))
            return record->Status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS LoadPackage(HANDLE PackageKey, PackageRecord *Package)
{
    NTSTATUS status;
    BOOLEAN corrupt = FALSE;

    if (!Package)
        return STATUS_INVALID_PARAMETER;
    InitializeListHead(&Package->SetupOperations);
    InitializeListHead(&Package->RevertOperations);
    InitializeListHead(&Package->CleanOperations);
    if (!PackageKey)
        return STATUS_INVALID_PARAMETER;

    status = LoadDword(PackageKey, &StartTickCounterName, &Package->StartTickCounter, &corrupt);
    if (NT_SUCCESS(status))
        status = LoadDword(PackageKey, &StartBootCounterName, &Package->StartBootCounter, &corrupt);
    if (NT_SUCCESS(status))
        status = LoadDword(PackageKey, &TickTimeoutName, &Package->TickTimeout, &corrupt);
    if (NT_SUCCESS(status))
        status = LoadDword(PackageKey, &BootTimeoutName, &Package->BootTimeout, &corrupt);
    if (NT_SUCCESS(status))
        status = LoadScript(PackageKey, &SetupOperationsName, &Package->SetupOperations, &corrupt);
    if (NT_SUCCESS(status))
        status = LoadScript(PackageKey, &RevertOperationsName, &Package->RevertOperations, &corrupt);
    if (NT_SUCCESS(status))
        status = LoadScript(PackageKey, &CleanOperationsName, &Package->CleanOperations, &corrupt);
    if (NT_SUCCESS(status))
        return status;

    FreePackageScripts(Package);
    /* A value that would not read says nothing about the package: it is
     * left for another boot.  One of the wrong kind condemns it. */
    if (corrupt) {
        SetDwordValue(PackageKey, &LastPackageErrorName, (ULONG)status);
        WriteState(PackageKey, CorruptedState, sizeof(CorruptedState));
    }
    return status;
}

NTSTATUS EnumeratePackages(HANDLE ParametersKey, PLIST_ENTRY PackageList)
{
    NTSTATUS status;
    PKEY_BASIC_INFORMATION entry = nullptr;
    ULONG returned = 0;

    InitializeListHead(PackageList);
    if (!ParametersKey) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    entry = (PKEY_BASIC_INFORMATION)AllocatePool(PoolPaged, 536);
    if (!entry) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }

    for (ULONG index = 0;; index++) {
        UNICODE_STRING name;

        RtlZeroMemory(entry, 536);
        status = ZwEnumerateKey(ParametersKey, index, KeyBasicInformation, entry, 534, &returned);
        /* An entry that does not fit is passed over, not taken for the end. */
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
            continue;
        if (status < 0) {
            if (status == STATUS_NO_MORE_ENTRIES)
                status = STATUS_SUCCESS;
            else
                FreePackageList(PackageList);
            break;
        }
        if (entry->NameLength > 534 - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name))
            continue;
        name.Buffer = entry->Name;
        name.Length = name.MaximumLength = (USHORT)entry->NameLength;
        status = AddPackageOfKey(ParametersKey, &name, PackageList);
        if (!NT_SUCCESS(status)) {
            FreePackageList(PackageList);
            break;
        }
    }

Exit:
    if (entry)
        ExFreePoolWithTag(entry, QELMBAR_TAG);
    return status;
}

NTSTATUS ProcessPackage(HANDLE ParametersKey, PackageRecord *Package)
{
    const DriverContext *context = QelmbarContext;
    if (Package->StartBootCounter == 0)
        return SetUpPackage(ParametersKey, Package);
    if (context->ImproperShutdownDetected)
        return RevertPackage(ParametersKey, Package);
    if (Elapsed(context->BootCounter, Package->StartBootCounter, Package->BootTimeout) &&
        Elapsed(context->TickCounter, Package->StartTickCounter, Package->TickTimeout))
        return CommitPackage(ParametersKey, Package);
    return STATUS_SUCCESS;
}

VOID CompletePendingReverts(PLIST_ENTRY List)
{
    if (!List->Flink) {
        InitializeListHead(List);
        return;
    }
    while (!IsListEmpty(List)) {
        PendingRevert *pending = CONTAINING_RECORD(RemoveHeadList(List), PendingRevert, Links);
        RecordRevertDone(pending);
        ExFreePoolWithTag(pending, QELMBAR_TAG);
    }
}

VOID FreePackageList(PLIST_ENTRY PackageList)
{
    if (PackageList->Flink) {
        while (!IsListEmpty(PackageList)) {
            PLIST_ENTRY entry = RemoveHeadList(PackageList);
            PackageRecord *record = CONTAINING_RECORD(entry, PackageRecord, Links);
            FreePackageScripts(record);
            ExFreePoolWithTag(record, QELMBAR_TAG);
        }
    }
    InitializeListHead(PackageList);
}
