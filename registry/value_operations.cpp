/*
 * value_operations.cpp - the value operations of a script: SetKeyValue
 * (a copy or move of an existing value), DeleteKeyValue and RenameValue.
 *
 * A value is always written before its old copy is deleted, so a failure
 * leaves it in one place or both, never in none.  A move or rename of a
 * value onto itself (the same key, names equal ignoring case) is done
 * without change: writing it and deleting the source would delete it.
 */
#include "registry/registry.h"
#include "script/script.h"

namespace {

/* Whether two open keys are the same key, however they were named. */
NTSTATUS SameKey(HANDLE First, HANDLE Second, PBOOLEAN Same)
{
    UNICODE_STRING first = { 0, 0, nullptr };
    UNICODE_STRING second = { 0, 0, nullptr };
    NTSTATUS status = QueryKeyName(First, &first);
    if (NT_SUCCESS(status))
        status = QueryKeyName(Second, &second);
    *Same = NT_SUCCESS(status) && RtlEqualUnicodeString(&first, &second, TRUE);
    FreeKeyName(&second);
    FreeKeyName(&first);
    return status;
}

} // namespace

NTSTATUS TestValueExists(HANDLE Key, PCUNICODE_STRING Name, PBOOLEAN Exists)
{
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(Key, (PUNICODE_STRING)Name, KeyValuePartialInformation,
                                      nullptr, 0, &needed);
    *Exists = FALSE;
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW ||
        NT_SUCCESS(status)) {
        *Exists = TRUE;
        return STATUS_SUCCESS;
    }
    return status;
}

NTSTATUS TransferValue(BOOLEAN Overwrite, PCUNICODE_STRING TargetKey, PCUNICODE_STRING TargetValue,
                       PCUNICODE_STRING SourceKey, PCUNICODE_STRING SourceValue,
                       BOOLEAN DeleteSource)
{
    NTSTATUS status;
    HANDLE source = nullptr;
    HANDLE target = nullptr;
    RegistryValue *value = nullptr;
    OBJECT_ATTRIBUTES attributes;
    BOOLEAN exists = FALSE;
    BOOLEAN same = FALSE;

    /* A source that is only read may lie in a hive mounted for reading. */
    status = EnsureHiveLoaded(SourceKey, DeleteSource);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = OpenKeyPath(&source, SourceKey, DeleteSource ? KEY_ALL_ACCESS : KEY_READ);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = QueryRegistryValue(source, (PUNICODE_STRING)SourceValue, &value);
    if (!NT_SUCCESS(status))
        goto Exit;

    InitializeKeyAttributes(&attributes, TargetKey, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = CreateKeyPath(&target, &attributes, nullptr);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = TestValueExists(target, TargetValue, &exists);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (exists && !Overwrite) {
        status = STATUS_OBJECT_NAME_EXISTS;
        goto Exit;
    }
    if (DeleteSource && RtlEqualUnicodeString(TargetValue, SourceValue, TRUE)) {
        status = SameKey(source, target, &same);
        if (!NT_SUCCESS(status) || same)
            goto Exit;
    }

    status = ZwSetValueKey(target, (PUNICODE_STRING)TargetValue, 0, value->Type, value->Data,
                           value->DataLength);
    if (NT_SUCCESS(status) && DeleteSource)
        status = ZwDeleteValueKey(source, (PUNICODE_STRING)SourceValue);

Exit:
    if (value)
        ExFreePoolWithTag(value, QELMBAR_TAG);
    if (target)
        ZwClose(target);
    if (source)
        ZwClose(source);
    return status;
}

NTSTATUS SetKeyValueHandler(const OperationRecord *Record)
{
    const SetKeyValueArgs *args = &Record->Args.SetKeyValue;
    return TransferValue(args->Overwrite, &args->TargetKey, &args->TargetValue, &args->SourceKey,
                         &args->SourceValue, args->DeleteSource);
}

NTSTATUS DeleteKeyValueHandler(const OperationRecord *Record)
{
    const DeleteKeyValueArgs *args = &Record->Args.DeleteKeyValue;
    NTSTATUS status;
    HANDLE key = nullptr;

    status = EnsureHiveLoaded(&args->KeyPath, TRUE);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = OpenKeyPath(&key, &args->KeyPath, KEY_ALL_ACCESS);
    if (NT_SUCCESS(status))
        status = ZwDeleteValueKey(key, (PUNICODE_STRING)&args->ValueName);
    /* The value, or its key, is gone already. */
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        status = STATUS_SUCCESS;

Exit:
    if (key)
        ZwClose(key);
    return status;
}

NTSTATUS RenameValueHandler(const OperationRecord *Record)
{
    const RenameValueArgs *args = &Record->Args.RenameValue;
    NTSTATUS status;
    HANDLE key = nullptr;
    RegistryValue *value = nullptr;
    BOOLEAN exists = FALSE;

    status = EnsureHiveLoaded(&args->KeyPath, TRUE);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = OpenKeyPath(&key, &args->KeyPath, KEY_ALL_ACCESS);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = QueryRegistryValue(key, (PUNICODE_STRING)&args->OldName, &value);
    if (!NT_SUCCESS(status))
        goto Exit;
    status = TestValueExists(key, &args->NewName, &exists);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (exists && !args->Overwrite) {
        status = STATUS_OBJECT_NAME_EXISTS;
        goto Exit;
    }
    /* A value renamed to its own name, whatever the case, stays. */
    if (RtlEqualUnicodeString(&args->NewName, &args->OldName, TRUE))
        goto Exit;

    status = ZwSetValueKey(key, (PUNICODE_STRING)&args->NewName, 0, value->Type, value->Data,
                           value->DataLength);
    /* The value is at its new name; an old name that will not go is left. */
    if (NT_SUCCESS(status))
        ZwDeleteValueKey(key, (PUNICODE_STRING)&args->OldName);

Exit:
    if (value)
        ExFreePoolWithTag(value, QELMBAR_TAG);
    if (key)
        ZwClose(key);
    return status;
}
