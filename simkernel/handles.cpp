/*
 * handles.cpp - the kernel handle table and ZwClose.
 *
 * Handles carry the kernel-handle bit as on Windows x64.  Using or closing
 * a handle that is not open is a violation (Windows bug-checks on a bad
 * kernel handle in kernel mode); every open handle is counted so that a test
 * can prove that none is left over.
 */
#include "simkernel/internal.h"

#include <cstdio>

namespace sk {

namespace {

constexpr uintptr_t kKernelHandleBit = (uintptr_t)0xFFFFFFFF80000000ull;

struct HandleTable {
    std::map<uintptr_t, HandleEntry> entries;
    uintptr_t next = 1;
};

HandleTable &Table()
{
    static HandleTable table;
    return table;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object, ACCESS_MASK granted, ULONG attributes)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    HandleTable &table = Table();
    uintptr_t value = kKernelHandleBit | (table.next++ << 2);
    HandleEntry entry;
    entry.object = std::move(object);
    entry.granted = granted;
    entry.attributes = attributes;
    table.entries[value] = std::move(entry);
    return (HANDLE)value;
}

NTSTATUS ReferenceHandle(HANDLE handle, ObjectKind kind, HandleEntry *entry)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = Table().entries.find((uintptr_t)handle);
    if (found == Table().entries.end()) {
        Violation("handle %p is not an open kernel handle", handle);
        return STATUS_INVALID_HANDLE;
    }
    if (found->second.object->Kind() != kind)
        return STATUS_OBJECT_TYPE_MISMATCH;
    *entry = found->second;
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceAnyHandle(HANDLE handle, HandleEntry *entry)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = Table().entries.find((uintptr_t)handle);
    if (found == Table().entries.end()) {
        Violation("handle %p is not an open kernel handle", handle);
        return STATUS_INVALID_HANDLE;
    }
    *entry = found->second;
    return STATUS_SUCCESS;
}

size_t OpenHandleCount()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Table().entries.size();
}

std::string HandleReport()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::string report;
    for (const auto &entry : Table().entries) {
        char line[96];
        snprintf(line, sizeof(line), "  handle %#llx to a %s object\n",
                 (unsigned long long)entry.first, ObjectKindName(entry.second.object->Kind()));
        report += line;
    }
    return report;
}

void ResetHandles()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    /* Dropped without the close hooks: the objects themselves are being
     * thrown away with the rest of the model. */
    Table() = HandleTable();
}

NTSTATUS CaptureName(const char *routine, PCUNICODE_STRING name, std::u16string_view *view)
{
    *view = std::u16string_view();
    if (!name)
        return STATUS_SUCCESS;
    if (name->Length & 1)
        return STATUS_OBJECT_NAME_INVALID;
    if (name->Length && !name->Buffer) {
        Violation("%s: name of %u bytes without a buffer", routine, name->Length);
        return STATUS_ACCESS_VIOLATION;
    }
    *view = std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS CaptureName(const char *routine, PCUNICODE_STRING name, std::u16string *text)
{
    std::u16string_view view;
    NTSTATUS status = CaptureName(routine, name, &view);
    text->assign(view);
    return status;
}


} // namespace sk

using namespace sk;

/* Closing a valid kernel handle does not fail on Windows, so no fault is
 * planned against it. */
NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    std::shared_ptr<Object> object;
    {
        std::lock_guard<std::recursive_mutex> guard(KernelLock());
        auto found = Table().entries.find((uintptr_t)Handle);
        if (found == Table().entries.end()) {
            Violation("ZwClose: handle %p is not an open kernel handle", Handle);
            return STATUS_INVALID_HANDLE;
        }
        object = std::move(found->second.object);
        Table().entries.erase(found);
        object->OnHandleClosed();
    }
    return STATUS_SUCCESS;
}
