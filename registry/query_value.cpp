/*
 * query_value.cpp - QueryRegistryValue, through which the driver reads
 * nearly every registry value: a size probe, then one read into a
 * zero-padded block of exactly the reported size.
 */
#include "registry/registry.h"

NTSTATUS QueryRegistryValue(HANDLE Key, PUNICODE_STRING ValueName, RegistryValue **Value)
{
    NTSTATUS status;
    ULONG needed = 0;
    RegistryValue *block = nullptr;

    if (!Key || !ValueName || !Value)
        return STATUS_INVALID_PARAMETER;

    status = ZwQueryValueKey(Key, ValueName, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        /* A probe without a buffer cannot succeed; should one claim to, there
         * is no block to hand out. */
        if (NT_SUCCESS(status))
            status = STATUS_UNSUCCESSFUL;
        goto Exit;
    }
    /* The padding must not wrap the block's size. */
    if (needed > 0xFFFFFFFFu - RegistryValuePadding) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    block = (RegistryValue *)AllocatePool(PoolPaged, (SIZE_T)needed + RegistryValuePadding);
    if (!block) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    RtlZeroMemory(block, (SIZE_T)needed + RegistryValuePadding);

    /* No retry: a value that grew since the probe fails with the platform's
     * answer for a short buffer. */
    status = ZwQueryValueKey(Key, ValueName, KeyValuePartialInformation, block, needed, &needed);
    if (NT_SUCCESS(status)) {
        *Value = block;
        block = nullptr;
    }

Exit:
    if (block)
        ExFreePoolWithTag(block, QELMBAR_TAG);
    return status;
}
