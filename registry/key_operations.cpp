/*
 * key_operations.cpp - the key operations of a script: CreateKey,
 * DeleteKey, CopyKey, MoveKey and RenameKey.
 *
 * Each asks first whether the hive holding its key may be used now.  Only
 * the source of a copy may lie in a hive the driver mounts for reading;
 * every key that changes must lie in one the system loaded, or the
 * operation waits (STATUS_FAIL_CHECK).  A target that exists and may not
 * be overwritten answers STATUS_OBJECT_NAME_EXISTS, a success: the
 * operation counts as done.
 */
#include "registry/registry.h"
#include "script/script.h"

NTSTATUS CreateKeyHandler(const OperationRecord *Record)
{
    NTSTATUS status;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;

    InitializeKeyAttributes(&attributes, &Record->Args.Path.Path, nullptr,
                            REGISTRY_KEY_ATTRIBUTES);
    status = CreateKeyPath(&key, &attributes, nullptr);

    if (key)
        ZwClose(key);
    return status;
}

NTSTATUS DeleteKeyHandler(const OperationRecord *Record)
{
    const DeleteKeyArgs *args = &Record->Args.DeleteKey;
    NTSTATUS status;
    HANDLE key = nullptr;
    OBJECT_ATTRIBUTES attributes;

    status = EnsureHiveLoaded(&args->Path, TRUE);
    if (!NT_SUCCESS(status))
        goto Exit;
    InitializeKeyAttributes(&attributes, &args->Path, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        status = STATUS_SUCCESS; /* gone already */
        goto Exit;
    }
    if (!NT_SUCCESS(status))
        goto Exit;
    status = DeleteKeyTree(key, args->Recursive);

Exit:
    if (key)
        ZwClose(key);
    return status;
}

NTSTATUS CopyKeyHandler(const OperationRecord *Record)
{
    const TwoPathArgs *args = &Record->Args.TwoPath;
    NTSTATUS status;
    HANDLE source = nullptr;
    HANDLE target = nullptr;
    OBJECT_ATTRIBUTES attributes;
    ULONG disposition = 0;
    BOOLEAN inside = FALSE;
    BOOLEAN equal = FALSE;

    status = EnsureHiveLoaded(&args->Source, FALSE);
    if (!NT_SUCCESS(status))
        goto Exit;
    InitializeKeyAttributes(&attributes, &args->Source, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = ZwOpenKey(&source, KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        goto Exit;

    /* A copy into its own subtree would nest without end; a copy onto
     * itself changes nothing and may go on. */
    status = KeyPathWithinKey(source, &args->Target, &inside, &equal);
    if (NT_SUCCESS(status) && inside)
        status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status))
        goto Exit;

    InitializeKeyAttributes(&attributes, &args->Target, nullptr, REGISTRY_KEY_ATTRIBUTES);
    status = CreateKeyPath(&target, &attributes, &disposition);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (disposition == REG_OPENED_EXISTING_KEY && !args->Overwrite) {
        status = STATUS_OBJECT_NAME_EXISTS;
        goto Exit;
    }
    status = CopyKeyTree(source, target, FALSE);

Exit:
    if (target)
        ZwClose(target);
    if (source)
        ZwClose(source);
    return status;
}

NTSTATUS MoveKeyHandler(const OperationRecord *Record)
{
    const TwoPathArgs *args = &Record->Args.TwoPath;
    return MoveKeyTree(args->Overwrite, &args->Source, &args->Target);
}

NTSTATUS RenameKeyHandler(const OperationRecord *Record)
{
    const TwoPathArgs *args = &Record->Args.TwoPath;
    return RenameKeyPath(args->Overwrite, &args->Source, &args->Target);
}
