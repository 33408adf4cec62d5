/*
 * nt_routines.cpp - the kernel routines the driver's script parser calls,
 * for the Windows build of qelmbar, where the parser runs in user mode
 * without simkernel: the pool (over the C heap, every block counted, fresh
 * ones poisoned as simkernel does so that code which forgets to zero a
 * block still misbehaves here) and the case-insensitive compare of counted
 * strings with NT's own case table (simkernel/upcase_table.cpp, generated
 * data shared with the host build).
 *
 * The declarations are the host build's (platform/nt_host.h): this file
 * includes no Windows header, so its types are the driver's.
 */
#include "simkernel/sim.h"
#include "simkernel/upcase.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace sk {

namespace {

constexpr unsigned char kPoisonByte = 0xCD;

/* The tool runs on one thread, so the pool takes no lock. */
struct Pool {
    std::unordered_map<void *, ULONG> live; /* block -> tag */
};

Pool &ThePool()
{
    static Pool pool;
    return pool;
}

ViolationHandler &Handler()
{
    static ViolationHandler handler;
    return handler;
}

} // namespace

void SetViolationHandler(ViolationHandler handler)
{
    Handler() = std::move(handler);
}

void Violation(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (Handler()) {
        Handler()(text);
        return;
    }
    std::fprintf(stderr, "pool violation: %s\n", text);
    std::abort();
}

size_t PoolOutstandingBlocks()
{
    return ThePool().live.size();
}

} // namespace sk

using namespace sk;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    (void)PoolType;
    if (NumberOfBytes == 0 || Tag == 0) {
        Violation("ExAllocatePoolWithTag: %s", NumberOfBytes == 0 ? "a request of 0 bytes" : "tag 0");
        return nullptr;
    }
    void *block = std::malloc(NumberOfBytes);
    if (!block)
        return nullptr;
    std::memset(block, kPoisonByte, NumberOfBytes);
    ThePool().live[block] = Tag;
    return block;
}

/* The parser's allocator: user mode has one pool. */
PVOID AllocatePool(QelmbarPool Pool, SIZE_T Bytes)
{
    (void)Pool;
    return ExAllocatePoolWithTag(PagedPool, Bytes, QELMBAR_TAG);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Pool &pool = ThePool();
    auto found = pool.live.find(P);
    if (found == pool.live.end()) {
        Violation("ExFreePoolWithTag: %p is no live pool block (a double or stray free)", P);
        return;
    }
    if (found->second != Tag) {
        Violation("ExFreePoolWithTag: block %p freed with tag 0x%08X, allocated with 0x%08X", P,
                  (unsigned)Tag, (unsigned)found->second);
        return;
    }
    pool.live.erase(found);
    std::free(P);
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return sk::Upcase(SourceCharacter);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = sk::Upcase(a);
            b = sk::Upcase(b);
        }
        if (a != b)
            return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}
