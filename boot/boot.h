/*
 * boot.h - what the boot folder offers the rest of the driver: the boot and
 * shutdown passes with their counters and marker, the packages, the
 * system-root link through which the driver reaches the system's files
 * early in boot, and the deferred run once the Win32 subsystem starts.
 */
#pragma once

#include "platform/platform.h"

/* The link the driver creates to the system root during the boot pass. */
#define SYSTEM_ROOT_LINK_NAME "\\QelmbarSystemRoot"

/* The target of a symbolic link, in one pool block (the UNICODE_STRING
 * header followed by its buffer), freed by the caller with
 * ExFreePoolWithTag(block, QELMBAR_TAG).  Targets of up to 260 characters
 * fit, NUL-terminated. */
NTSTATUS QueryLinkTarget(PCUNICODE_STRING LinkName, PUNICODE_STRING *Target);

/* Where \SystemRoot leads, with \Device\BootDevice resolved, and whether
 * that is still an ARC path (the early-boot load).  Path is optional; when
 * given it receives one pool block as QueryLinkTarget's. */
NTSTATUS ResolveSystemRoot(PBOOLEAN IsArcPath, PUNICODE_STRING *Path);

/* Early in boot: creates \QelmbarSystemRoot to the system root, which is
 * the ARC path when it opens, else the SystemRoot value a running system
 * recorded, else \??\C:\Windows.  Later: records the running system's root
 * in the SystemRoot value.  Both outputs are optional. */
NTSTATUS PrepareSystemRootLink(HANDLE ParametersKey, PHANDLE LinkHandle, PBOOLEAN IsArcPath);

/* The Parameters key, created when absent; *Disposition says which. */
NTSTATUS OpenParametersKey(PHANDLE Key, PULONG Disposition);
/* Seconds since the system started. */
ULONG UptimeSeconds();
NTSTATUS BootPass();
NTSTATUS ShutdownPass();

/* One package of the boot pass: a subkey of Parameters whose default
 * value is "Package", in one pool block with its name behind it. */
struct PackageRecord {
    LIST_ENTRY Links;
    UNICODE_STRING KeyName;
    ULONG StartTickCounter;
    ULONG StartBootCounter;
    ULONG TickTimeout;
    ULONG BootTimeout;
    LIST_ENTRY SetupOperations;
    LIST_ENTRY RevertOperations;
    LIST_ENTRY CleanOperations;
};

NTSTATUS EnumeratePackages(HANDLE ParametersKey, PLIST_ENTRY PackageList);
NTSTATUS LoadPackage(HANDLE PackageKey, PackageRecord *Package);
NTSTATUS ProcessPackage(HANDLE ParametersKey, PackageRecord *Package);
/* Frees every record with its scripts; a head never linked counts as
 * empty.  The head is left empty. */
VOID FreePackageList(PLIST_ENTRY PackageList);

/* A package whose revert left operations to the deferred run: its full
 * key path, behind the record in the same pool block, and the first
 * failure of the part that ran in the boot pass. */
struct PendingRevert {
    LIST_ENTRY Links;
    UNICODE_STRING KeyPath;
    NTSTATUS Failure;
};
/* Records every pending revert as "Reverted" (with LastPackageError for a
 * failure), flushes, and empties the list.  A head never linked counts as
 * empty. */
VOID CompletePendingReverts(PLIST_ENTRY List);

/* Records of what each operation of a script did (run_results.cpp).
 * BeginRunResults prepares one for List before it runs: null when the pool
 * is short or there is no Parameters path.  Package is the package's key
 * name, null for the one-shot list.  EndRunResults writes it into Key (not
 * flushed; a null Key writes nothing) together with the LastPackageError
 * the boot pass wrote (BootFailure), or for a null record a header-only one
 * marked incomplete; it keeps the record for the deferred run when
 * operations wait for it, else frees it. */
struct RunResults;
RunResults *BeginRunResults(ULONG Script, PLIST_ENTRY List, PCUNICODE_STRING Package);
VOID EndRunResults(HANDLE Key, ULONG Script, RunResults *Results, NTSTATUS BootFailure);
/* A record without operations, with the header flags given. */
VOID WriteEmptyRunResults(HANDLE Key, ULONG Script, ULONG Flags);
/* After the deferred run: writes every kept record again, with
 * LastPackageError for a package script whose first failure came in the
 * deferred run.  Not flushed. */
VOID RecordDeferredResults(PLIST_ENTRY List);
/* Flushes what RecordDeferredResults wrote (when the list holds any) and
 * frees every record; a head never linked counts as empty. */
VOID ReleaseRunResults(PLIST_ENTRY List);

/* Deferred run. */
_IRQL_requires_max_(PASSIVE_LEVEL) CREATE_PROCESS_NOTIFY_ROUTINE ProcessCreateNotify;
_IRQL_requires_(PASSIVE_LEVEL) IO_WORKITEM_ROUTINE DeferredRunWorker;

/* Writes a REG_DWORD of 4 bytes. */
NTSTATUS SetDwordValue(HANDLE Key, PCUNICODE_STRING Name, ULONG Data);
/* The status of the first record of List that ran and failed, or
 * STATUS_SUCCESS. */
NTSTATUS FirstFailure(PLIST_ENTRY List);
