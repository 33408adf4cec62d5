/*
 * nt_kernel.h - the kernel build's view of the platform: the mingw-w64 DDK
 * plus what it lacks.  Included only through platform.h.
 *
 * mingw-w64 10 facts this header works around:
 *  - wdm.h and intrin-impl.h both define InterlockedBitTestAndSet/Reset
 *    inline in C++; the intrinsic header is told they exist already.
 *  - RtlIsNtDdiVersionAvailable is redefined to a wdmlib name that is not
 *    shipped; the macro is dropped and the kernel export declared.
 *  - PsGetProcessImageFileName has no prototype.
 *  - ZwRenameKey has a prototype but no import: it is reached through
 *    MmGetSystemRoutineAddress only.
 *  - IoCreateDeviceSecure is not exported by the kernel; the driver brings
 *    its own.
 *  - KEY_NAME_INFORMATION, the record of KeyNameInformation, is missing.
 *  - The annotation _Dispatch_type_ is missing (driverspecs.h defines the
 *    IRQL ones as nothing); it is defined as nothing too.
 */
#pragma once

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntifs.h>

#ifdef RtlIsNtDdiVersionAvailable
#undef RtlIsNtDdiVersionAvailable
#endif

extern "C" {

NTKERNELAPI BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);

NTKERNELAPI PCHAR NTAPI PsGetProcessImageFileName(PEPROCESS Process);

}

#ifndef _Dispatch_type_
#define _Dispatch_type_(kind)
#endif

typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef NTSTATUS (NTAPI *ZW_RENAME_KEY_ROUTINE)(HANDLE KeyHandle, PUNICODE_STRING NewName);

/* ExAllocatePool2 and its flags are newer than mingw-w64's DDK.  The
 * routine is reached through MmGetSystemRoutineAddress only, so that the
 * image loads on kernels that lack it. */
#ifndef POOL_FLAG_UNINITIALIZED
typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ull
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ull
#define POOL_FLAG_SESSION 0x0000000000000004ull
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ull
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ull
#define POOL_FLAG_NON_PAGED 0x0000000000000040ull
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ull
#define POOL_FLAG_PAGED 0x0000000000000100ull
#define POOL_FLAG_REQUIRED_END 0x0000000080000000ull
#endif
typedef PVOID (NTAPI *EX_ALLOCATE_POOL2_ROUTINE)(POOL_FLAGS Flags, SIZE_T NumberOfBytes,
                                                 ULONG Tag);
