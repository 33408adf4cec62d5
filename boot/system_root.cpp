/*
 * system_root.cpp - the system-root link.
 *
 * Early in boot \SystemRoot still leads to an ARC path (\ArcName\...,
 * possibly through \Device\BootDevice), which cannot always be opened yet.
 * The driver therefore records the running system's root in its SystemRoot
 * value at every shutdown, and at the next early boot links
 * \QelmbarSystemRoot to the ARC path when it opens, or else to what was
 * recorded.
 */
#include "boot/boot.h"
#include "registry/registry.h"

namespace {

/* Room for a target of 260 characters, and a NUL after it. */
const USHORT LinkTargetBytes = 520;
/* "\Device\BootDevice" is 36 bytes long. */
const UNICODE_STRING BootDevicePrefix = QSTRING("\\Device\\BootDevice");
const UNICODE_STRING ArcNamePrefix = QSTRING("\\ArcName\\");
const UNICODE_STRING SystemRootName = QSTRING("\\SystemRoot");
const UNICODE_STRING SystemRootLink = QSTRING(SYSTEM_ROOT_LINK_NAME);
const UNICODE_STRING SystemRootValue = QSTRING("SystemRoot");
const UNICODE_STRING FallbackSystemRoot = QSTRING("\\??\\C:\\Windows");

/* One zeroed block holding a counted string header and its buffer. */
PUNICODE_STRING AllocateStringBlock(USHORT MaximumLength, ULONG Spare)
{
    SIZE_T size = sizeof(UNICODE_STRING) + MaximumLength + Spare;
    PUNICODE_STRING block = (PUNICODE_STRING)AllocatePool(PoolPaged, size);
    if (!block)
        return nullptr;
    RtlZeroMemory(block, size);
    block->Length = 0;
    block->MaximumLength = MaximumLength;
    block->Buffer = (PWCH)(block + 1);
    return block;
}

/* The prefix counts only on a component boundary: \Device\BootDevice2 is
 * another device. */
BOOLEAN HasBootDevicePrefix(PCUNICODE_STRING Path)
{
    if (!RtlPrefixUnicodeString(&BootDevicePrefix, Path, TRUE))
        return FALSE;
    USHORT next = BootDevicePrefix.Length / sizeof(WCHAR);
    return Path->Length == BootDevicePrefix.Length || Path->Buffer[next] == '\\';
}

/* The REG_SZ data of the SystemRoot value as a counted string, up to its
 * first NUL.  FALSE for anything that cannot be such a path: another type,
 * no characters, an odd length, or more than a counted string holds. */
BOOLEAN RecordedSystemRoot(const RegistryValue *Value, PUNICODE_STRING Path)
{
    if (Value->Type != REG_SZ || Value->DataLength == 0 || (Value->DataLength & 1) ||
        Value->DataLength > 65534)
        return FALSE;
    PCWSTR text = (PCWSTR)Value->Data;
    ULONG count = 0;
    while (count < Value->DataLength / sizeof(WCHAR) && text[count] != 0)
        count++;
    if (count == 0)
        return FALSE;
    Path->Buffer = (PWCH)text;
    Path->Length = Path->MaximumLength = (USHORT)(count * sizeof(WCHAR));
    return TRUE;
}

} // namespace

NTSTATUS QueryLinkTarget(PCUNICODE_STRING LinkName, PUNICODE_STRING *Target)
{
    NTSTATUS status;
    HANDLE link = nullptr;
    OBJECT_ATTRIBUTES attributes;
    PUNICODE_STRING block = nullptr;

    if (!LinkName || !Target)
        return STATUS_INVALID_PARAMETER;

    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)LinkName,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    status = ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes);
    if (!NT_SUCCESS(status))
        goto Exit;

    block = AllocateStringBlock(LinkTargetBytes, sizeof(WCHAR));
    if (!block) {
        status = STATUS_NO_MEMORY;
        goto Exit;
    }
    status = ZwQuerySymbolicLinkObject(link, block, nullptr);
    if (NT_SUCCESS(status)) {
        *Target = block;
        block = nullptr;
    }

Exit:
    if (block)
        ExFreePoolWithTag(block, QELMBAR_TAG);
    if (link)
        ZwClose(link);
    return status;
}

NTSTATUS ResolveSystemRoot(PBOOLEAN IsArcPath, PUNICODE_STRING *Path)
{
    NTSTATUS status;
    PUNICODE_STRING systemRoot = nullptr;
    PUNICODE_STRING bootDevice = nullptr;
    PUNICODE_STRING path = nullptr;

    if (!IsArcPath)
        return STATUS_INVALID_PARAMETER;

    status = QueryLinkTarget(&SystemRootName, &systemRoot);
    if (!NT_SUCCESS(status))
        goto Exit;

    if (HasBootDevicePrefix(systemRoot)) {
        status = QueryLinkTarget(&BootDevicePrefix, &bootDevice);
        if (!NT_SUCCESS(status))
            goto Exit;
        ULONG length = (ULONG)bootDevice->Length + systemRoot->Length - BootDevicePrefix.Length;
        if (length > QELMBAR_MAX_STRING_BYTES) {
            status = STATUS_NAME_TOO_LONG;
            goto Exit;
        }
        path = AllocateStringBlock((USHORT)(length + sizeof(WCHAR)), 0);
        if (!path) {
            status = STATUS_NO_MEMORY;
            goto Exit;
        }
        RtlCopyMemory(path->Buffer, bootDevice->Buffer, bootDevice->Length);
        RtlCopyMemory((PUCHAR)path->Buffer + bootDevice->Length,
                      (PUCHAR)systemRoot->Buffer + BootDevicePrefix.Length,
                      systemRoot->Length - BootDevicePrefix.Length);
        path->Length = (USHORT)length;
    } else {
        path = systemRoot;
        systemRoot = nullptr;
    }

    *IsArcPath = RtlPrefixUnicodeString(&ArcNamePrefix, path, TRUE);
    if (Path) {
        *Path = path;
        path = nullptr;
    }

Exit:
    if (path)
        ExFreePoolWithTag(path, QELMBAR_TAG);
    if (bootDevice)
        ExFreePoolWithTag(bootDevice, QELMBAR_TAG);
    if (systemRoot)
        ExFreePoolWithTag(systemRoot, QELMBAR_TAG);
    return status;
}

NTSTATUS PrepareSystemRootLink(HANDLE ParametersKey, PHANDLE LinkHandle, PBOOLEAN IsArcPath)
{
    NTSTATUS status;
    BOOLEAN isArcPath = FALSE;
    PUNICODE_STRING path = nullptr;
    RegistryValue *value = nullptr;
    HANDLE directory = nullptr;
    HANDLE link = nullptr;
    UNICODE_STRING target;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;

    if (!ParametersKey)
        return STATUS_INVALID_PARAMETER;

    status = ResolveSystemRoot(&isArcPath, &path);
    if (!NT_SUCCESS(status))
        goto Exit;
    if (IsArcPath)
        *IsArcPath = isArcPath;

    if (isArcPath) {
        InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        status = ZwOpenFile(&directory, SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
        if (NT_SUCCESS(status)) {
            target = *path;
        } else {
            /* What a running system recorded at its last shutdown. */
            status = QueryRegistryValue(ParametersKey, (PUNICODE_STRING)&SystemRootValue, &value);
            if (!NT_SUCCESS(status)) {
                target = FallbackSystemRoot;
                status = STATUS_SUCCESS;
            } else if (!RecordedSystemRoot(value, &target)) {
                status = STATUS_NOT_SUPPORTED;
                goto Exit;
            }
        }
    } else {
        status = ZwSetValueKey(ParametersKey, (PUNICODE_STRING)&SystemRootValue, 0, REG_SZ,
                               path->Buffer, path->Length);
        if (!NT_SUCCESS(status))
            goto Exit;
        target = *path;
    }

    if (LinkHandle) {
        InitializeObjectAttributes(&attributes, (PUNICODE_STRING)&SystemRootLink,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        status = ZwCreateSymbolicLinkObject(&link, SYMBOLIC_LINK_ALL_ACCESS, &attributes, &target);
        if (NT_SUCCESS(status)) {
            *LinkHandle = link;
            link = nullptr;
        }
    }

Exit:
    if (link)
        ZwClose(link);
    if (directory)
        ZwClose(directory);
    if (value)
        ExFreePoolWithTag(value, QELMBAR_TAG);
    if (path)
        ExFreePoolWithTag(path, QELMBAR_TAG);
    return status;
}
