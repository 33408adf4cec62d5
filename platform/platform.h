/*
 * platform.h - the one place that knows which build the driver is in.
 *
 * Every driver source includes this header and nothing else from outside
 * its own folders.  In the kernel build it brings in the DDK (ntifs.h) with
 * the few declarations mingw-w64 lacks; in the host build it brings in our
 * own declarations of the same types and routines, which simkernel
 * implements.  Driver logic never tests the build itself.
 *
 * Text constants: WCHAR is 16 bits in both builds (wchar_t under mingw,
 * char16_t on Linux, where wchar_t is 32 bits).  Driver code writes its
 * string constants as QTEXT("...") and counted constants as
 * QSTRING("..."), which yield UTF-16 in both.
 */
#pragma once

#if defined(QELMBAR_KERNEL)
#include "platform/nt_kernel.h"
#define QTEXT(s) L##s
#else
#include "platform/nt_host.h"
#define QTEXT(s) u##s
#endif

/* A constant UNICODE_STRING over a literal, without its terminating NUL. */
#define QSTRING(s) \
    { (USHORT)(sizeof(QTEXT(s)) - sizeof(WCHAR)), (USHORT)sizeof(QTEXT(s)), (PWCH)QTEXT(s) }

/* The role of a process-creation notify routine as a function type; the
 * DDK names only its pointer type, PCREATE_PROCESS_NOTIFY_ROUTINE. */
typedef VOID(NTAPI CREATE_PROCESS_NOTIFY_ROUTINE)(HANDLE ParentId, HANDLE ProcessId,
                                                  BOOLEAN Create);

/* The driver's pool and remove-lock tag, "Zqlk" as it reads in a pool dump. */
#define QELMBAR_TAG ((ULONG)'Z' | ((ULONG)'q' << 8) | ((ULONG)'l' << 16) | ((ULONG)'k' << 24))

/*
 * The driver's pool, always with QELMBAR_TAG.  Non-paged blocks are never
 * executable where the kernel has non-executable pool.  A block comes
 * uninitialised: the caller zeroes what it relies on.  It is freed with
 * ExFreePoolWithTag(block, QELMBAR_TAG); null means no memory.
 */
enum QelmbarPool : ULONG {
    PoolPaged = 0,
    PoolNonPaged = 1,
};
PVOID AllocatePool(QelmbarPool Pool, SIZE_T Bytes);

/* Largest byte length a UNICODE_STRING can describe with room for a NUL. */
#define QELMBAR_MAX_STRING_BYTES 65532u

/*
 * Trace points of the executor: each list it starts to run, with where
 * the list comes from (struct ListOrigin, exec/exec.h), and each
 * operation's outcome, with whether the operation was left for the
 * deferred run.  The kernel build compiles them away; the host build hands
 * them to whoever listens, which is how the simulator reports what a script
 * did without the driver writing any log.
 */
struct ListOrigin; /* exec/exec.h */
#if defined(QELMBAR_KERNEL)
FORCEINLINE VOID TraceListRun(const ListOrigin *Origin, PLIST_ENTRY List)
{
    UNREFERENCED_PARAMETER(Origin);
    UNREFERENCED_PARAMETER(List);
}
FORCEINLINE VOID TraceOperationOutcome(PLIST_ENTRY Entry, NTSTATUS Status, BOOLEAN Deferred)
{
    UNREFERENCED_PARAMETER(Entry);
    UNREFERENCED_PARAMETER(Status);
    UNREFERENCED_PARAMETER(Deferred);
}
#else
VOID TraceListRun(const ListOrigin *Origin, PLIST_ENTRY List);
VOID TraceOperationOutcome(PLIST_ENTRY Entry, NTSTATUS Status, BOOLEAN Deferred);
#endif
