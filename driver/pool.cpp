/*
 * pool.cpp - the driver's allocator and the choice it makes at entry.
 *
 * Where the kernel exports ExAllocatePool2 the driver allocates through
 * it; the routine is looked up, never imported, so that the image still
 * loads on kernels without it, where ExAllocatePoolWithTag serves.
 * Non-paged blocks come from NonPagedPoolNx on Windows 8 and later, where
 * executable pool is what memory integrity refuses, and from NonPagedPool
 * before, which has no other; the version is asked once, at entry, as the
 * DDK's own opt-in for non-executable pool does.  Both routines are asked
 * for uninitialised blocks, so callers zero what they rely on either way.
 */
#include "driver/driver.h"

namespace {

typedef BOOLEAN(NTAPI *RTL_IS_NTDDI_VERSION_AVAILABLE)(ULONG Version);

const UNICODE_STRING Pool2RoutineName = QSTRING("ExAllocatePool2");
const UNICODE_STRING NtddiRoutineName = QSTRING("RtlIsNtDdiVersionAvailable");
#define NTDDI_WINDOWS8 0x06020000u

/* Until entry chose, as after teardown: the older routine, and pool that
 * is not executable. */
EX_ALLOCATE_POOL2_ROUTINE Pool2Routine;
POOL_TYPE NonPagedType = NonPagedPoolNx;

} // namespace

BOOLEAN WindowsVersionAvailable(ULONG Version)
{
    RTL_IS_NTDDI_VERSION_AVAILABLE available =
        (RTL_IS_NTDDI_VERSION_AVAILABLE)MmGetSystemRoutineAddress((PUNICODE_STRING)&NtddiRoutineName);
    ULONG major = 0;
    ULONG minor = 0;

    if (available)
        return available(Version);
    PsGetVersion(&major, &minor, nullptr, nullptr);
    return (major << 24 | minor << 16) >= (Version & 0xFFFF0000u);
}

VOID ChooseDriverPool()
{
    Pool2Routine =
        (EX_ALLOCATE_POOL2_ROUTINE)MmGetSystemRoutineAddress((PUNICODE_STRING)&Pool2RoutineName);
    NonPagedType = WindowsVersionAvailable(NTDDI_WINDOWS8) ? NonPagedPoolNx : NonPagedPool;
}

VOID ForgetDriverPool()
{
    Pool2Routine = nullptr;
    NonPagedType = NonPagedPoolNx;
}

PVOID AllocatePool(QelmbarPool Pool, SIZE_T Bytes)
{
    if (Pool2Routine)
        return Pool2Routine(POOL_FLAG_UNINITIALIZED |
                                (Pool == PoolNonPaged ? POOL_FLAG_NON_PAGED : POOL_FLAG_PAGED),
                            Bytes, QELMBAR_TAG);
    return ExAllocatePoolWithTag(Pool == PoolNonPaged ? NonPagedType : PagedPool, Bytes,
                                 QELMBAR_TAG);
}
