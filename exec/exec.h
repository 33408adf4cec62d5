/*
 * exec.h - what the exec folder offers the rest of the driver: the file and
 * directory operations of the script language and the helpers they share.
 *
 * Every routine works on full object-manager paths as the script gives
 * them, opens with OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE and no root
 * directory (except the per-component creates of CreateDirectoryPath), and
 * closes every handle it opened before it returns.  Composed paths are pool
 * buffers of their byte length plus a NUL.
 */
#pragma once

#include "platform/platform.h"

/* Files are copied through one buffer of this size. */
#define COPY_BUFFER_BYTES 0x40000u
/* Directories are listed this many bytes at a time. */
#define LISTING_BUFFER_BYTES 0x2000u
/* The deepest directory level a walk enters below the one it was given;
 * past it the whole operation fails with STATUS_IMPLEMENTATION_LIMIT. */
#define WALK_MAX_DEPTH 256u

/* The attributes a move or delete clears first. */
#define CLEARED_ATTRIBUTES (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
/* Opens a file (sharing read and delete, with Options) for its attributes
 * only and clears CLEARED_ATTRIBUTES on it for good, since NT refuses to
 * delete a read-only file; *Saved receives what it had.  The file is
 * closed again before this returns. */
NTSTATUS ClearBlockingAttributes(POBJECT_ATTRIBUTES Attributes, ULONG Options, PULONG Saved);

enum WalkMode : ULONG {
    WalkCopy = 0,
    WalkMove = 1,
    WalkRemove = 2,
};

/* Where a list the executor runs comes from: the one-shot list, one of a
 * package's three scripts, or the deferred run.  Only the trace points
 * read it. */
enum ListSource : ULONG {
    ListOneShot = 0,
    ListSetup = 1,
    ListRevert = 2,
    ListClean = 3,
    ListDeferredRun = 4,
};
struct RunResults;
struct ListOrigin {
    ListSource Source;
    /* The package's key name; null for the one-shot list and the deferred
     * run. */
    PCUNICODE_STRING Package;
    /* Where the executor notes each operation's outcome; null when nothing
     * is recorded (the deferred run notes into the record each deferred
     * operation carries). */
    RunResults *Results;
};

/* Notes the outcome of operation Index (not past the recorded count). */
VOID NoteRunResult(RunResults *Results, ULONG Index, NTSTATUS Status, ULONG Flags);

/* Runs the records of List in order.  StopOnError ends the run at the
 * first failure and returns it; otherwise the result is the success status
 * of the last record handled (STATUS_SUCCESS after a failure or deferral).
 * STATUS_FAIL_CHECK moves a record to the tail of DeferredList; with
 * DeferredList null (the deferred run itself) it is an ordinary failure. */
NTSTATUS RunOperationList(PLIST_ENTRY List, BOOLEAN StopOnError, PLIST_ENTRY DeferredList,
                          const ListOrigin *Origin);
struct OperationRecord;
NTSTATUS RunOperation(const OperationRecord *Record);

/* Flushes, for every file operation of List, the volume its paths lie
 * on (volume_flush.cpp), so that what the list changed survives a power
 * loss before anything records that it ran. */
VOID FlushVolumesOf(PLIST_ENTRY List);

/* Single files. */
NTSTATUS CopyOneFile(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target);
NTSTATUS MoveOneFile(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target);
NTSTATUS DeleteOneFile(PCUNICODE_STRING Path);
NTSTATUS CopyFileData(HANDLE Source, HANDLE Target);
/* Creates the target of a copy for writing: replacing an existing file
 * when Overwrite, else STATUS_OBJECT_NAME_EXISTS with no handle. */
NTSTATUS CreateCopyTarget(BOOLEAN Overwrite, PCUNICODE_STRING Target, ULONG ShareAccess,
                          PHANDLE Handle);
NTSTATUS SetDeleteDisposition(HANDLE Handle);
/* Copies Source's data to Target through a temporary in Target's
 * directory (copy_temporary.cpp), replacing an existing target only when
 * Overwrite (else STATUS_OBJECT_NAME_EXISTS, nothing created).  ShareAccess
 * is what the target may be open with meanwhile.  Given, when not null,
 * holds the attributes and times the target gets; otherwise it gets those
 * writing it in place would leave.  FlushTarget makes the rename sure
 * before returning. */
NTSTATUS CopyThroughTemporary(BOOLEAN Overwrite, HANDLE Source, PCUNICODE_STRING Target,
                              ULONG ShareAccess, PFILE_BASIC_INFORMATION Given, BOOLEAN FlushTarget);

/* The target of a rename: the source's directory part, up to and including
 * its last backslash, followed by NewName.  Result receives a composed
 * path, released with FreeComposedPath. */
NTSTATUS BuildRenameTarget(PCUNICODE_STRING Source, PCUNICODE_STRING NewName,
                           PUNICODE_STRING Result);

/* Directories. */
NTSTATUS WalkDirectory(BOOLEAN Overwrite, PCUNICODE_STRING Source, PCUNICODE_STRING Target,
                       WalkMode Mode, BOOLEAN DeleteFiles, BOOLEAN Recursive);
NTSTATUS CreateDirectoryPath(PCUNICODE_STRING Path, PHANDLE Handle, PIO_STATUS_BLOCK IoStatus);

/* Paths (paths.cpp). */
/* Parent + "\" + the Count characters at Name; no second backslash when the
 * parent already ends in one.  STATUS_NAME_TOO_LONG when the result would
 * not fit a counted string, before anything is allocated. */
NTSTATUS ComposeChildPath(PCUNICODE_STRING Parent, PCWSTR Name, ULONG Count,
                          PUNICODE_STRING Result);
VOID FreeComposedPath(PUNICODE_STRING Path);
/* TRUE when Target names Source or lies below it, compared as the two are
 * named once opened (volume, case, trailing backslashes), on component
 * boundaries.  *Equal tells the two apart. */
NTSTATUS TargetLiesInsideSource(PCUNICODE_STRING Source, PCUNICODE_STRING Target,
                                PBOOLEAN Inside, PBOOLEAN Equal);
/* Object attributes for a full path, or for a name relative to Root. */
VOID InitializePathAttributes(POBJECT_ATTRIBUTES Attributes, PCUNICODE_STRING Path, HANDLE Root);

/* Deletes one file or link with extra open options (FILE_OPEN_REPARSE_POINT
 * to remove a link itself). */
NTSTATUS DeleteOneEntry(PCUNICODE_STRING Path, ULONG Options);
