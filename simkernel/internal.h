/*
 * internal.h - what the parts of simkernel share among themselves: the
 * routine entry hook with fault injection, the handle table and the kernel
 * objects it refers to.  Not for tests or the driver.
 */
#pragma once

#include "simkernel/sim.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace sk {

/* Every platform routine starts with this.  It counts the call, tells the
 * observer, and answers the status of a planned fault, if one hits. */
std::optional<NTSTATUS> EnterRoutine(const char *routine);
/* Pool allocations are counted separately as well; true means fail it. */
bool AllocationFaultHits();
/* Whether the Windows modelled has non-executable non-paged pool (8 and
 * later), and the non-paged pool type the kernel's own objects come from. */
bool WindowsHasNxPool();
bool WindowsHasPool2();
POOL_TYPE SystemNonPagedPool();
/* Whether MmGetSystemRoutineAddress finds the routine. */
bool KernelExportsRoutine(const std::string &name);

#define SK_ENTER(name)                                                   \
    do {                                                                 \
        if (std::optional<NTSTATUS> skInjected = ::sk::EnterRoutine(name)) \
            return *skInjected;                                          \
    } while (0)

/* Kernel objects. */
enum class ObjectKind { Key, File, ObjectDirectory, SymbolicLink, Device, Event, Process, DeviceFile, Other };
const char *ObjectKindName(ObjectKind kind);

struct Object {
    virtual ~Object() = default;
    virtual ObjectKind Kind() const = 0;
    /* Called when a handle to this object is closed, before the reference
     * the handle held is dropped. */
    virtual void OnHandleClosed() {}
    /* The full name the object manager reports for the object, e.g.
     * \Device\HarddiskVolume1\dir\file; empty for an unnamed object. */
    virtual std::u16string ObjectName() const { return std::u16string(); }
    /* Files report a name that does not fit with STATUS_BUFFER_OVERFLOW,
     * every other object with STATUS_INFO_LENGTH_MISMATCH. */
    virtual bool NameOverflowIsWarning() const { return false; }
};

struct HandleEntry {
    std::shared_ptr<Object> object;
    ACCESS_MASK granted = 0;
    ULONG attributes = 0;
};

/* Inserts a kernel handle for the object. */
HANDLE InsertHandle(std::shared_ptr<Object> object, ACCESS_MASK granted, ULONG attributes);
/* Looks a handle up.  An invalid handle is a violation and answers
 * STATUS_INVALID_HANDLE; an object of another kind answers
 * STATUS_OBJECT_TYPE_MISMATCH.  The entry is copied out. */
NTSTATUS ReferenceHandle(HANDLE handle, ObjectKind kind, HandleEntry *entry);
/* Looks a handle up whatever the kind of its object. */
NTSTATUS ReferenceAnyHandle(HANDLE handle, HandleEntry *entry);
/* Checks that every bit of desired is granted on the handle. */
inline bool Granted(const HandleEntry &entry, ACCESS_MASK desired)
{
    return (entry.granted & desired) == desired;
}
void ResetHandles();
void ResetPool();
void ResetFaults();
void ResetRegistry();
void ResetHiveLoads();

/* A counted name as the object manager and the I/O manager capture it: a
 * missing string is an empty name, an odd length is
 * STATUS_OBJECT_NAME_INVALID, bytes without a buffer a violation. */
NTSTATUS CaptureName(const char *routine, PCUNICODE_STRING name, std::u16string_view *view);
NTSTATUS CaptureName(const char *routine, PCUNICODE_STRING name, std::u16string *text);

/* One lock guards the whole simulated kernel's bookkeeping; routines that
 * block (waits, worker threads) release it before they block. */
std::recursive_mutex &KernelLock();

} // namespace sk
