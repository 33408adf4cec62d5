/*
 * boot_pass.cpp - the Parameters key and the two passes over it.
 *
 * The boot pass counts the boot, takes up the uptime of earlier cycles,
 * runs the one-shot list, sets the ImproperShutdown marker or notes that
 * the last cycle left it behind, and hands every package on.  The shutdown
 * pass deletes the marker, adds this cycle's uptime to TickCounter and
 * records the running system's root for the next early boot.
 *
 * The one-shot list is deleted, and the deletion flushed, before its first
 * operation runs, and the marker is flushed before any package script
 * runs: a power loss in the middle of a script must not run it again, nor
 * hide that the cycle ended badly.
 */
#include "boot/boot.h"
#include "driver/driver.h"
#include "exec/exec.h"
#include "registry/registry.h"
#include "script/script.h"

namespace {

const UNICODE_STRING BootCounterName = QSTRING("BootCounter");
const UNICODE_STRING TickCounterName = QSTRING("TickCounter");
const UNICODE_STRING ImproperShutdownName = QSTRING("ImproperShutdown");
const UNICODE_STRING BootTimeOperationsListName = QSTRING("BootTimeOperationsList");

/* The stored TickCounter: FALSE when it cannot be told (a read that failed
 * other than by the value's absence). */
BOOLEAN ReadTickCounter(HANDLE Key, PULONG Total)
{
    RegistryValue *value = nullptr;
    NTSTATUS status = QueryRegistryValue(Key, (PUNICODE_STRING)&TickCounterName, &value);
    *Total = 0;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return TRUE;
    if (!NT_SUCCESS(status))
        return FALSE;
    if (value->Type == REG_DWORD)
        *Total = *(const ULONG *)value->Data;
    ExFreePoolWithTag(value, QELMBAR_TAG);
    return TRUE;
}

/* Runs the one-shot list once: whatever it holds, it is deleted, and only
 * a deletion that reached the disk lets it run. */
VOID RunOneShotList(HANDLE Key)
{
    ListOrigin origin = { ListOneShot, nullptr, nullptr };
    RegistryValue *value = nullptr;
    LIST_ENTRY list;
    BOOLEAN parsed = FALSE;
    ULONG rejected = 0;
    NTSTATUS status;

    InitializeListHead(&list);
    if (!NT_SUCCESS(QueryRegistryValue(Key, (PUNICODE_STRING)&BootTimeOperationsListName, &value)))
        return;
    if (value->Type == REG_MULTI_SZ && value->DataLength != 0) {
        status = ParseOperationList((PCWSTR)value->Data, value->DataLength, &list);
        parsed = NT_SUCCESS(status);
        if (!parsed)
            rejected = status == STATUS_NO_MEMORY ? RUN_RESULTS_INCOMPLETE : RUN_RESULTS_REJECTED;
    } else if (value->Type != REG_MULTI_SZ) {
        rejected = RUN_RESULTS_REJECTED;
    }
    ExFreePoolWithTag(value, QELMBAR_TAG);

    status = ZwDeleteValueKey(Key, (PUNICODE_STRING)&BootTimeOperationsListName);
    if (NT_SUCCESS(status))
        status = ZwFlushKey(Key);
    /* What each operation did is recorded beside the list, and reaches
     * the disk with the flush that follows in the pass. */
    if (NT_SUCCESS(status)) {
        if (parsed) {
            origin.Results = BeginRunResults(ListOneShot, &list, nullptr);
            RunOperationList(&list, FALSE, &QelmbarContext->DeferredList, &origin);
            EndRunResults(Key, ListOneShot, origin.Results, STATUS_SUCCESS);
        } else {
            WriteEmptyRunResults(Key, ListOneShot, rejected);
        }
    }
    FreeOperationList(&list);
}

/* Sets the marker, or notes that the last cycle left it.  A failure ends
 * the pass before any package runs. */
NTSTATUS MarkBootCycle(HANDLE Key)
{
    BOOLEAN present = FALSE;
    NTSTATUS status = TestValueExists(Key, &ImproperShutdownName, &present);
    if (!NT_SUCCESS(status))
        return status;
    if (present) {
        QelmbarContext->ImproperShutdownDetected = TRUE;
        return STATUS_SUCCESS;
    }
    status = SetDwordValue(Key, &ImproperShutdownName, 1);
    if (NT_SUCCESS(status))
        status = ZwFlushKey(Key);
    return status;
}

} // namespace

ULONG UptimeSeconds()
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    /* The DDK's KeQueryTickCount stores the count through a ULONG64 pointer
     * to ticks, which the analyzer does not connect with ticks.QuadPart.
     * NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult) */
    return (ULONG)((LONGLONG)ticks.QuadPart * (LONGLONG)KeQueryTimeIncrement() / 10000000LL);
}

NTSTATUS OpenParametersKey(PHANDLE Key, PULONG Disposition)
{
    OBJECT_ATTRIBUTES attributes;
    if (!QelmbarContext->ParametersPath)
        return STATUS_INVALID_PARAMETER;
    InitializeKeyAttributes(&attributes, QelmbarContext->ParametersPath, nullptr,
                            REGISTRY_KEY_ATTRIBUTES);
    return ZwCreateKey(Key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       Disposition);
}

NTSTATUS BootPass()
{
    DriverContext *context = QelmbarContext;
    HANDLE key = nullptr;
    HANDLE link = nullptr;
    RegistryValue *value = nullptr;
    ULONG disposition = 0;
    NTSTATUS status;

    AcquirePassLock(context);
    status = OpenParametersKey(&key, &disposition);
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }

    if (disposition == REG_OPENED_EXISTING_KEY &&
        NT_SUCCESS(QueryRegistryValue(key, (PUNICODE_STRING)&BootCounterName, &value)) &&
        value->Type == REG_DWORD)
        context->BootCounter = *(const ULONG *)value->Data + 1;
    if (context->BootCounter == 0)
        context->BootCounter = 1;
    status = SetDwordValue(key, &BootCounterName, context->BootCounter);
    if (value) {
        ExFreePoolWithTag(value, QELMBAR_TAG);
        value = nullptr;
    }
    if (!NT_SUCCESS(status))
        goto Exit;

    context->BootUptimeSeconds = UptimeSeconds();
    context->BootUptimeTaken = TRUE;
    context->TickCounterLoaded = ReadTickCounter(key, &context->TickCounter);

    PrepareSystemRootLink(key, &link, nullptr);
    RunOneShotList(key);

    status = MarkBootCycle(key);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = EnumeratePackages(key, &context->PackageList);
    if (!NT_SUCCESS(status))
        goto Exit;
    for (PLIST_ENTRY entry = context->PackageList.Flink; entry != &context->PackageList;
         entry = entry->Flink)
        ProcessPackage(key, CONTAINING_RECORD(entry, PackageRecord, Links));
    status = STATUS_SUCCESS;

Exit:
    FreePackageList(&context->PackageList);
    UnloadTemporaryHives(&context->TemporaryHiveList);
    if (link)
        ZwClose(link);
    if (key)
        ZwFlushKey(key);
    if (key)
        ZwClose(key);
    ReleasePassLock(context);
    return status;
}

NTSTATUS ShutdownPass()
{
    DriverContext *context = QelmbarContext;
    HANDLE key = nullptr;
    ULONG disposition = 0;
    NTSTATUS status;

    AcquirePassLock(context);
    status = OpenParametersKey(&key, &disposition);
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }
    if (disposition == REG_CREATED_NEW_KEY) {
        /* There was nothing to record into. */
        ZwDeleteKey(key);
    } else {
        ULONG now = UptimeSeconds();
        ULONG since = context->BootUptimeTaken ? context->BootUptimeSeconds : 0;
        ZwDeleteValueKey(key, (PUNICODE_STRING)&ImproperShutdownName);
        if (!context->TickCounterLoaded)
            context->TickCounterLoaded = ReadTickCounter(key, &context->TickCounter);
        /* A total that cannot be read is left as stored rather than
         * replaced by this cycle alone. */
        if (context->TickCounterLoaded) {
            context->TickCounter += now - since;
            SetDwordValue(key, &TickCounterName, context->TickCounter);
            context->BootUptimeSeconds = now;
            context->BootUptimeTaken = TRUE;
        }
        PrepareSystemRootLink(key, nullptr, nullptr);
    }

Exit:
    if (key)
        ZwFlushKey(key);
    if (key)
        ZwClose(key);
    ReleasePassLock(context);
    return status;
}
