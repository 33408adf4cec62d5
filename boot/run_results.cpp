/*
 * run_results.cpp - what each operation of a script did, kept beside the
 * script: LastBootTimeOperationsResults in Parameters for the one-shot
 * list, LastRunResults in the package key for its setup, revert or clean.
 *
 * A record is prepared before its script runs (one pool block sized for
 * the script), the executor notes each outcome into it, and the caller
 * writes it with the script's other values, under the flush that already
 * carries them.  A record with operations left for the deferred run stays
 * in DriverContext.RunResultsList; the deferred run notes what they
 * returned, writes every such record again, sets LastPackageError for a
 * package script whose boot-pass part recorded none, and flushes once.
 */
#include "boot/boot.h"
#include "driver/driver.h"
#include "exec/exec.h"
#include "registry/registry.h"
#include "script/script.h"

namespace {

const UNICODE_STRING OneShotResultsName = QSTRING("LastBootTimeOperationsResults");
const UNICODE_STRING PackageResultsName = QSTRING("LastRunResults");
const UNICODE_STRING LastPackageErrorName = QSTRING("LastPackageError");

PCUNICODE_STRING ResultsValueName(ULONG Script)
{
    return Script == ListOneShot ? &OneShotResultsName : &PackageResultsName;
}

ULONG ResultsBytes(const RunResultsHeader *Header)
{
    return sizeof(RunResultsHeader) + Header->Count * sizeof(RunResultEntry);
}

NTSTATUS WriteResults(HANDLE Key, const RunResultsHeader *Header)
{
    return ZwSetValueKey(Key, (PUNICODE_STRING)ResultsValueName(Header->Script), 0, REG_BINARY,
                         (PVOID)Header, ResultsBytes(Header));
}

/* The first deferred operation that the deferred run ran and that failed,
 * in script order. */
NTSTATUS FirstDeferredFailure(const RunResults *Results)
{
    for (ULONG i = 0; i < Results->Header->Count; i++) {
        const RunResultEntry *entry = &Results->Entries[i];
        if ((entry->Flags & RUN_RESULT_DEFERRED_RAN) && !NT_SUCCESS(entry->Status))
            return entry->Status;
    }
    return STATUS_SUCCESS;
}

/* Writes one kept record again, with LastPackageError for a deferred
 * failure of a package script that had none.  Not flushed. */
VOID RewriteResults(const RunResults *Results)
{
    NTSTATUS status;
    NTSTATUS failure;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;

    if (Results->KeyPath.Length == 0)
        goto Exit;
    InitializeKeyAttributes(&attributes, &Results->KeyPath, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }
    WriteResults(key, Results->Header);
    failure = FirstDeferredFailure(Results);
    if (Results->Header->Script != ListOneShot && NT_SUCCESS(Results->BootFailure) &&
        !NT_SUCCESS(failure))
        SetDwordValue(key, &LastPackageErrorName, (ULONG)failure);

Exit:
    if (key)
        ZwClose(key);
}

VOID FlushParametersKey()
{
    NTSTATUS status;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;

    if (!QelmbarContext->ParametersPath)
        return;
    InitializeKeyAttributes(&attributes, QelmbarContext->ParametersPath, nullptr,
                            REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (NT_SUCCESS(status))
        ZwFlushKey(key);
    else
        key = nullptr;

    if (key)
        ZwClose(key);
}

} // namespace

RunResults *BeginRunResults(ULONG Script, PLIST_ENTRY List, PCUNICODE_STRING Package)
{
    PCUNICODE_STRING parameters = QelmbarContext->ParametersPath;
    RunResults *results = nullptr;
    ULONG count = 0;
    ULONG flags = 0;
    ULONG pathBytes;
    SIZE_T dataOffset;
    SIZE_T size;

    if (!List->Flink)
        return nullptr;
    for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink)
        count++;
    if (count > RUN_RESULTS_MAX_OPERATIONS) {
        count = RUN_RESULTS_MAX_OPERATIONS;
        flags |= RUN_RESULTS_TRUNCATED;
    }
    /* Without the Parameters path the record is written by the boot pass
     * only: the deferred run could not find its key. */
    pathBytes = parameters ? parameters->Length + (Package ? sizeof(WCHAR) + Package->Length : 0)
                           : 0;
    if (pathBytes + sizeof(WCHAR) > QELMBAR_MAX_STRING_BYTES)
        return nullptr;
    /* The value's data starts on an 8-byte boundary behind the record,
     * and the key path follows it. */
    dataOffset = (sizeof(RunResults) + 7) & ~(SIZE_T)7;
    size = dataOffset + sizeof(RunResultsHeader) + count * sizeof(RunResultEntry) + pathBytes +
           sizeof(WCHAR);
    results = (RunResults *)AllocatePool(PoolPaged, size);
    if (!results)
        return nullptr;
    RtlZeroMemory(results, size);
    InitializeListHead(&results->Links);
    results->Header = (RunResultsHeader *)((PUCHAR)results + dataOffset);
    results->Entries = (RunResultEntry *)(results->Header + 1);
    results->Header->Version = RUN_RESULTS_VERSION;
    results->Header->Script = Script;
    results->Header->BootCounter = QelmbarContext->BootCounter;
    results->Header->Count = count;
    results->Header->Flags = flags;
    for (ULONG i = 0; i < count; i++)
        results->Entries[i].Flags = RUN_RESULT_SKIPPED;
    results->KeyPath.Buffer = (PWCH)(results->Entries + count);
    results->KeyPath.MaximumLength = (USHORT)(pathBytes + sizeof(WCHAR));
    if (parameters)
        RtlCopyUnicodeString(&results->KeyPath, parameters);
    if (parameters && Package) {
        RtlAppendUnicodeToString(&results->KeyPath, QTEXT("\\"));
        RtlAppendUnicodeStringToString(&results->KeyPath, Package);
    }
    return results;
}

VOID EndRunResults(HANDLE Key, ULONG Script, RunResults *Results, NTSTATUS BootFailure)
{
    if (!Results) {
        WriteEmptyRunResults(Key, Script, RUN_RESULTS_INCOMPLETE);
        return;
    }
    Results->BootFailure = BootFailure;
    if (Key)
        WriteResults(Key, Results->Header);
    if (Results->AnyDeferred)
        InsertTailList(&QelmbarContext->RunResultsList, &Results->Links);
    else
        ExFreePoolWithTag(Results, QELMBAR_TAG);
}

VOID WriteEmptyRunResults(HANDLE Key, ULONG Script, ULONG Flags)
{
    RunResultsHeader header;
    if (!Key)
        return;
    header.Version = RUN_RESULTS_VERSION;
    header.Script = Script;
    header.BootCounter = QelmbarContext->BootCounter;
    header.Count = 0;
    header.Flags = Flags;
    WriteResults(Key, &header);
}

VOID RecordDeferredResults(PLIST_ENTRY List)
{
    if (!List->Flink)
        return;
    for (PLIST_ENTRY entry = List->Flink; entry != List; entry = entry->Flink)
        RewriteResults(CONTAINING_RECORD(entry, RunResults, Links));
}

VOID ReleaseRunResults(PLIST_ENTRY List)
{
    if (!List->Flink) {
        InitializeListHead(List);
        return;
    }
    if (!IsListEmpty(List))
        FlushParametersKey();
    while (!IsListEmpty(List)) {
        RunResults *results = CONTAINING_RECORD(RemoveHeadList(List), RunResults, Links);
        ExFreePoolWithTag(results, QELMBAR_TAG);
    }
}
