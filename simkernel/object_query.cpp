/*
 * object_query.cpp - ZwQueryObject: the name of the object behind a handle.
 *
 * The record is an OBJECT_NAME_INFORMATION whose buffer follows it in the
 * caller's memory, NUL-terminated.  A buffer too small for the name gets
 * the length needed; files answer that with STATUS_BUFFER_OVERFLOW and the
 * part that fits, other objects with STATUS_INFO_LENGTH_MISMATCH.
 */
#include "simkernel/internal.h"

using namespace sk;

NTSTATUS NTAPI ZwQueryObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                             PVOID ObjectInformation, ULONG ObjectInformationLength,
                             PULONG ReturnLength)
{
    SK_ENTER("ZwQueryObject");
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    HandleEntry entry;
    NTSTATUS status = ReferenceAnyHandle(Handle, &entry);
    if (!NT_SUCCESS(status))
        return status;
    if (ObjectInformationClass != ObjectNameInformation)
        return STATUS_NOT_IMPLEMENTED;
    if (ObjectInformationLength && !ObjectInformation) {
        Violation("ZwQueryObject: %u bytes without a buffer", ObjectInformationLength);
        return STATUS_ACCESS_VIOLATION;
    }

    std::u16string name = entry.object->ObjectName();
    ULONG header = (ULONG)sizeof(OBJECT_NAME_INFORMATION);
    ULONG nameBytes = (ULONG)(name.size() * sizeof(WCHAR));
    ULONG needed = header + nameBytes + (ULONG)sizeof(WCHAR);
    if (ReturnLength)
        *ReturnLength = needed;
    if (ObjectInformationLength < header)
        return STATUS_INFO_LENGTH_MISMATCH;

    auto *info = (POBJECT_NAME_INFORMATION)ObjectInformation;
    PWCH buffer = (PWCH)((PUCHAR)ObjectInformation + header);
    if (ObjectInformationLength < needed) {
        if (!entry.object->NameOverflowIsWarning())
            return STATUS_INFO_LENGTH_MISMATCH;
        ULONG room = (ObjectInformationLength - header) & ~1u;
        memcpy(buffer, name.data(), room);
        info->Name.Length = (USHORT)room;
        info->Name.MaximumLength = (USHORT)room;
        info->Name.Buffer = buffer;
        return STATUS_BUFFER_OVERFLOW;
    }
    memcpy(buffer, name.data(), nameBytes);
    buffer[name.size()] = 0;
    info->Name.Length = (USHORT)nameBytes;
    info->Name.MaximumLength = (USHORT)(nameBytes + sizeof(WCHAR));
    info->Name.Buffer = buffer;
    return STATUS_SUCCESS;
}
