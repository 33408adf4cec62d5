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

typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef NTSTATUS (NTAPI *ZW_RENAME_KEY_ROUTINE)(HANDLE KeyHandle, PUNICODE_STRING NewName);
