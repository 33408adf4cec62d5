/*
 * pool.cpp - ExAllocatePoolWithTag, ExAllocatePool2 and ExFreePoolWithTag.
 *
 * Fresh blocks of ExAllocatePoolWithTag, and of ExAllocatePool2 with
 * POOL_FLAG_UNINITIALIZED, are filled with a poison byte, so the driver
 * must zero what it relies on; ExAllocatePool2 zeroes the others.  Each block is followed by guard bytes checked at free.
 * Freed blocks are poisoned and kept in quarantine for a while, so that a
 * double free is told from a free of an unknown address.  Every misuse is a
 * violation: a request of zero bytes (as Driver Verifier treats it), a tag
 * of zero, a free with the wrong tag, of an unknown block, or twice.
 */
#include "simkernel/internal.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <unordered_map>

namespace sk {

namespace {

constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardByte = 0xFD;
constexpr size_t kQuarantineBytes = 64u << 20;

struct Block {
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    uint64_t serial = 0;
};

struct PoolState {
    std::unordered_map<void *, Block> live;
    std::unordered_map<void *, Block> quarantined;
    std::deque<void *> quarantineOrder;
    size_t quarantineBytes = 0;
    uint64_t serial = 0;
    size_t liveBytes = 0;
    size_t highWaterBytes = 0;
};

/* Never destroyed, so that quarantined blocks stay reachable to a leak
 * checker running at exit. */
PoolState &State()
{
    static PoolState *state = new PoolState;
    return *state;
}

void Quarantine(PoolState &state, void *p, const Block &block)
{
    memset(p, kPoolFreedPoison, block.size);
    state.quarantined[p] = block;
    state.quarantineOrder.push_back(p);
    state.quarantineBytes += block.size;
    while (state.quarantineBytes > kQuarantineBytes && !state.quarantineOrder.empty()) {
        void *oldest = state.quarantineOrder.front();
        state.quarantineOrder.pop_front();
        auto found = state.quarantined.find(oldest);
        if (found != state.quarantined.end()) {
            state.quarantineBytes -= found->second.size;
            state.quarantined.erase(found);
            free(oldest);
        }
    }
}

} // namespace

std::string TagName(ULONG tag)
{
    std::string name;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

size_t PoolHighWaterBytes()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return State().highWaterBytes;
}

void ResetPoolHighWater()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State().highWaterBytes = State().liveBytes;
}

int PoolBlockType(const void *block)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    auto found = State().live.find(const_cast<void *>(block));
    return found == State().live.end() ? -1 : (int)found->second.type;
}

size_t PoolOutstandingBlocks()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return State().live.size();
}

std::map<ULONG, size_t> PoolOutstandingByTag()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::map<ULONG, size_t> counts;
    for (const auto &entry : State().live)
        counts[entry.second.tag]++;
    return counts;
}

std::string PoolReport()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    std::map<uint64_t, Block> ordered;
    for (const auto &entry : State().live)
        ordered[entry.second.serial] = entry.second;
    std::string report;
    for (const auto &entry : ordered) {
        char line[128];
        snprintf(line, sizeof(line), "  block #%llu tag '%s' %zu bytes\n",
                 (unsigned long long)entry.first, TagName(entry.second.tag).c_str(),
                 entry.second.size);
        report += line;
    }
    return report;
}

void ResetPool()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    PoolState &state = State();
    for (auto &entry : state.live)
        free(entry.first);
    for (auto &entry : state.quarantined)
        free(entry.first);
    state = PoolState();
}

} // namespace sk

using namespace sk;

namespace {

/* The common part of both allocators, once the request is known to be
 * well formed. */
PVOID NewBlock(const char *routine, POOL_TYPE type, SIZE_T bytes, ULONG tag, bool zeroed)
{
    if (EnterRoutine(routine))
        return nullptr;
    if (AllocationFaultHits())
        return nullptr;
    if (bytes > (SIZE_T)1 << 32)
        return nullptr;
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    unsigned char *p = (unsigned char *)malloc(bytes + kGuardBytes);
    if (!p)
        return nullptr;
    memset(p, zeroed ? 0 : kPoolPoison, bytes);
    memset(p + bytes, kGuardByte, kGuardBytes);
    PoolState &state = State();
    Block block;
    block.size = bytes;
    block.tag = tag;
    block.type = type;
    block.serial = ++state.serial;
    /* An address handed out again leaves quarantine for good. */
    auto stale = state.quarantined.find(p);
    if (stale != state.quarantined.end()) {
        state.quarantineBytes -= stale->second.size;
        state.quarantined.erase(stale);
    }
    state.live[p] = block;
    state.liveBytes += bytes;
    if (state.liveBytes > state.highWaterBytes)
        state.highWaterBytes = state.liveBytes;
    return p;
}

} // namespace

/* Misuse is reported before any planned fault is applied, so that a sweep
 * that fails the call still sees it.  Non-executable non-paged pool exists
 * from Windows 8 on; from then on executable non-paged pool is what
 * memory integrity refuses, and a driver that asks for it is at fault. */
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    if (NumberOfBytes == 0) {
        Violation("ExAllocatePoolWithTag: request of 0 bytes (tag '%s')", TagName(Tag).c_str());
        return nullptr;
    }
    if (Tag == 0) {
        Violation("ExAllocatePoolWithTag: tag 0");
        return nullptr;
    }
    if (PoolType != PagedPool && PoolType != NonPagedPool && PoolType != NonPagedPoolNx) {
        Violation("ExAllocatePoolWithTag: pool type %d is not used by this system", (int)PoolType);
        return nullptr;
    }
    if (PoolType == NonPagedPoolNx && !WindowsHasNxPool()) {
        Violation("ExAllocatePoolWithTag: NonPagedPoolNx on a Windows before 8 (tag '%s')",
                  TagName(Tag).c_str());
        return nullptr;
    }
    if (PoolType == NonPagedPool && WindowsHasNxPool()) {
        Violation("ExAllocatePoolWithTag: executable NonPagedPool where NonPagedPoolNx exists "
                  "(tag '%s')",
                  TagName(Tag).c_str());
        return nullptr;
    }
    return NewBlock("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag, false);
}

PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    const POOL_FLAGS kinds = POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;
    const POOL_FLAGS required = Flags & 0xFFFFFFFFull;
    POOL_TYPE type = PagedPool;

    if (!KernelExportsRoutine("ExAllocatePool2")) {
        Violation("ExAllocatePool2: the kernel modelled does not export it");
        return nullptr;
    }
    if (NumberOfBytes == 0) {
        Violation("ExAllocatePool2: request of 0 bytes (tag '%s')", TagName(Tag).c_str());
        return nullptr;
    }
    if (Tag == 0) {
        Violation("ExAllocatePool2: tag 0");
        return nullptr;
    }
    /* One pool, and no other required flag than leaving the block as it
     * is: what else NT offers (quota, session pool, alignment, raising) is
     * not modelled. */
    if ((required & kinds) != POOL_FLAG_NON_PAGED && (required & kinds) != POOL_FLAG_PAGED &&
        (required & kinds) != POOL_FLAG_NON_PAGED_EXECUTE) {
        Violation("ExAllocatePool2: flags 0x%llx name no single pool", (unsigned long long)Flags);
        return nullptr;
    }
    if (required & ~(kinds | POOL_FLAG_UNINITIALIZED)) {
        Violation("ExAllocatePool2: flags 0x%llx are not modelled", (unsigned long long)Flags);
        return nullptr;
    }
    if (required & POOL_FLAG_NON_PAGED_EXECUTE) {
        Violation("ExAllocatePool2: executable non-paged pool (tag '%s')", TagName(Tag).c_str());
        return nullptr;
    }
    if (required & POOL_FLAG_NON_PAGED)
        type = NonPagedPoolNx;
    return NewBlock("ExAllocatePool2", type, NumberOfBytes, Tag,
                    !(required & POOL_FLAG_UNINITIALIZED));
}

/* A free cannot fail, so it is not counted among the calls that faults
 * are planned against. */
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    PoolState &state = State();
    auto found = state.live.find(P);
    if (found == state.live.end()) {
        if (state.quarantined.count(P))
            Violation("ExFreePoolWithTag: block %p freed twice", P);
        else
            Violation("ExFreePoolWithTag: %p is no pool block", P);
        return;
    }
    Block block = found->second;
    if (block.tag != Tag) {
        Violation("ExFreePoolWithTag: block #%llu has tag '%s', freed with '%s'",
                  (unsigned long long)block.serial, TagName(block.tag).c_str(),
                  TagName(Tag).c_str());
        return;
    }
    const unsigned char *guardBytes = (const unsigned char *)P + block.size;
    for (size_t i = 0; i < kGuardBytes; i++) {
        if (guardBytes[i] != kGuardByte) {
            Violation("ExFreePoolWithTag: block #%llu ('%s', %zu bytes) was written past its end",
                      (unsigned long long)block.serial, TagName(block.tag).c_str(), block.size);
            break;
        }
    }
    state.live.erase(found);
    state.liveBytes -= block.size;
    Quarantine(state, P, block);
}
