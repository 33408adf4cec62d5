/*
 * io_remove_lock.cpp - remove locks with NT's counting, and the holder
 * tracking of a checked build.
 *
 * The lock's own fields count as in NT: IoCount starts at one (the bias
 * released by IoReleaseRemoveLockAndWait), each acquisition adds one, and
 * the remove event is set when the count reaches zero.  Once
 * IoReleaseRemoveLockAndWait has begun, an acquisition answers
 * STATUS_DELETE_PENDING and does not count.  Besides, every lock keeps the
 * tags it is held with, as the checked build does: a release with a tag
 * that holds nothing, a second release-and-wait, a release-and-wait by a
 * caller that holds nothing, and use of a lock never initialized are
 * violations (Windows bug-checks on them under Driver Verifier).
 */
#include "simkernel/io_internal.h"

#include <map>

namespace sk {
namespace io {

namespace {

struct LockRecord {
    ULONG allocateTag = 0;
    std::map<PVOID, size_t> holders; /* tag -> acquisitions held */
};

/* Keyed by the lock's address; guarded by the dispatcher lock. */
std::map<PIO_REMOVE_LOCK, LockRecord> &Locks()
{
    static std::map<PIO_REMOVE_LOCK, LockRecord> *locks = new std::map<PIO_REMOVE_LOCK, LockRecord>;
    return *locks;
}

LockRecord *FindLock(const char *routine, PIO_REMOVE_LOCK lock, ULONG size)
{
    if (!lock) {
        Violation("%s: no remove lock", routine);
        return nullptr;
    }
    if (size != sizeof(IO_REMOVE_LOCK)) {
        Violation("%s: remove lock size %u, expected %zu", routine, size, sizeof(IO_REMOVE_LOCK));
        return nullptr;
    }
    auto found = Locks().find(lock);
    if (found == Locks().end()) {
        Violation("%s: remove lock %p was never initialized", routine, (void *)lock);
        return nullptr;
    }
    return &found->second;
}

/* Takes one hold of the tag away; false when the tag holds nothing. */
bool DropHolder(LockRecord &record, PVOID tag)
{
    auto holder = record.holders.find(tag);
    if (holder == record.holders.end())
        return false;
    if (--holder->second == 0)
        record.holders.erase(holder);
    return true;
}

} // namespace

void ResetRemoveLocks()
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Locks().clear();
}

} // namespace io
} // namespace sk

using namespace sk;
using namespace sk::io;

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                    ULONG MaxLockedMinutes, ULONG HighWatermark,
                                    ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(MaxLockedMinutes);
    UNREFERENCED_PARAMETER(HighWatermark);
    if (!Lock) {
        Violation("IoInitializeRemoveLockEx: no remove lock");
        return;
    }
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
        Violation("IoInitializeRemoveLockEx: remove lock size %u, expected %zu", RemlockSize,
                  sizeof(IO_REMOVE_LOCK));
        return;
    }
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Lock->Common.Removed = FALSE;
    memset(Lock->Common.Reserved, 0, sizeof(Lock->Common.Reserved));
    Lock->Common.IoCount = 1;
    LockRecord record;
    record.allocateTag = AllocateTag;
    Locks()[Lock] = record;
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                     ULONG Line, ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LockRecord *record = FindLock("IoAcquireRemoveLockEx", RemoveLock, RemlockSize);
    if (!record)
        return STATUS_INVALID_PARAMETER;
    IO_REMOVE_LOCK_COMMON_BLOCK &common = RemoveLock->Common;
    common.IoCount++;
    if (common.Removed) {
        if (--common.IoCount == 0)
            SetEventLocked(&common.RemoveEvent);
        return STATUS_DELETE_PENDING;
    }
    record->holders[Tag]++;
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LockRecord *record = FindLock("IoReleaseRemoveLockEx", RemoveLock, RemlockSize);
    if (!record)
        return;
    if (!DropHolder(*record, Tag)) {
        Violation("IoReleaseRemoveLockEx: remove lock %p is not held with tag %p",
                  (void *)RemoveLock, Tag);
        return;
    }
    IO_REMOVE_LOCK_COMMON_BLOCK &common = RemoveLock->Common;
    if (--common.IoCount == 0)
        SetEventLocked(&common.RemoveEvent);
}

/* Releases the caller's hold and the bias, then waits for the remove event
 * unless the count reached zero already. */
VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                        ULONG RemlockSize)
{
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        LockRecord *record = FindLock("IoReleaseRemoveLockAndWaitEx", RemoveLock, RemlockSize);
        if (!record)
            return;
        IO_REMOVE_LOCK_COMMON_BLOCK &common = RemoveLock->Common;
        if (common.Removed) {
            Violation("IoReleaseRemoveLockAndWaitEx: remove lock %p is already being removed",
                      (void *)RemoveLock);
            return;
        }
        if (!DropHolder(*record, Tag)) {
            Violation("IoReleaseRemoveLockAndWaitEx: the caller does not hold remove lock %p "
                      "with tag %p",
                      (void *)RemoveLock, Tag);
            return;
        }
        common.Removed = TRUE;
        common.IoCount--;
        if (--common.IoCount == 0)
            return;
    }
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
