/*
 * driver.h - the driver-wide state: the one DriverContext, which is the
 * extension of the driver's only device object, and the variables that
 * stand beside it.
 *
 * No lock guards the fields.  The boot pass writes the counters and fills
 * the deferred list; the deferred run and the shutdown pass come after it.
 * The remove lock guards the record's lifetime, not its fields.
 */
#pragma once

#include "platform/platform.h"

struct DriverContext {
    PDEVICE_OBJECT DeviceObject;
    IO_REMOVE_LOCK RemoveLock;
    BOOLEAN IsWin7OrLater;
    BOOLEAN ImproperShutdownDetected;
    PUNICODE_STRING ParametersPath; /* header and characters in one block */
    ULONG BootCounter;              /* boot passes so far, this one included */
    ULONG TickCounter;              /* seconds of uptime of earlier boot cycles */
    ULONG BootUptimeSeconds;        /* uptime at this boot pass */
    LIST_ENTRY PackageList;
    LIST_ENTRY TemporaryHiveList;
    LIST_ENTRY DeferredList; /* operations waiting for the deferred run */
    /* Whether TickCounter holds the stored total (the boot pass read it,
     * or a shutdown pass wrote it), and whether BootUptimeSeconds was
     * taken: a shutdown pass without them reads the total itself and
     * counts the cycle from system start, so no uptime is lost or counted
     * twice. */
    BOOLEAN TickCounterLoaded;
    BOOLEAN BootUptimeTaken;
    /* Set by the first creation of csrss.exe that starts the deferred run. */
    LONG DeferredRunStarted;
    /* Packages whose revert left operations to the deferred run: they are
     * recorded "Reverted" once it ran (or at teardown). */
    LIST_ENTRY PendingRevertList;
    /* Records of script runs with operations left to the deferred run,
     * written again once it ran. */
    LIST_ENTRY RunResultsList;
    /* Held by a boot or shutdown pass while it runs, so that a shutdown
     * request and an unload never run two passes at once. */
    KEVENT PassLock;
};

/* Start-up steps that driver entry has completed, undone by teardown. */
#define DRIVER_STATE_REMOVE_LOCK 0x01u     /* remove lock initialised and held */
#define DRIVER_STATE_SHUTDOWN_NOTIFY 0x04u /* shutdown notification registered */
#define DRIVER_STATE_DOS_LINK 0x08u        /* DOS link created */
#define DRIVER_STATE_PROCESS_NOTIFY 0x10u  /* process-creation routine registered */

extern DriverContext *QelmbarContext;
extern PDRIVER_OBJECT QelmbarDriverObject;
extern ZW_RENAME_KEY_ROUTINE ZwRenameKeyRoutine; /* null where the kernel lacks it */
extern ULONG DriverStateFlags;

/* The pool (pool.cpp): entry chooses the allocator and the non-paged pool
 * type before it allocates anything, teardown forgets the choice last. */
VOID ChooseDriverPool();
VOID ForgetDriverPool();
/* Whether the kernel is at least the NTDDI version given (major and minor
 * from PsGetVersion where RtlIsNtDdiVersionAvailable is not exported). */
BOOLEAN WindowsVersionAvailable(ULONG Version);

/* Makes the three list heads of a fresh context empty and the pass lock
 * free. */
VOID InitializeContextLists(DriverContext *Context);
VOID AcquirePassLock(DriverContext *Context);
VOID ReleasePassLock(DriverContext *Context);

/* The device, its DOS link, and the two control codes it answers. */
#define QELMBAR_DEVICE_NAME "\\Device\\Qelmbar"
#define QELMBAR_DOS_LINK_NAME "\\DosDevices\\Qelmbar"
#define QELMBAR_IOCTL_FIRST 0x50005404u
#define QELMBAR_IOCTL_SECOND 0x5000D408u
#define QELMBAR_DEVICE_SDDL "D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)(A;;GR;;;RC)"

/* The driver's roles as the DDK declares them, for its static analysis.
 * All of them run at PASSIVE_LEVEL: they wait, and reach the registry and
 * files. */
extern "C" _IRQL_requires_(PASSIVE_LEVEL) DRIVER_INITIALIZE DriverEntry;
/* The unload routine, and with a null argument the failure path of entry
 * (no shutdown pass). */
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_UNLOAD DriverTeardown;
_Dispatch_type_(IRP_MJ_CREATE) _Dispatch_type_(IRP_MJ_CLOSE)
    _IRQL_requires_max_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchCreateClose;
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL)
    _IRQL_requires_max_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchDeviceControl;
_Dispatch_type_(IRP_MJ_SHUTDOWN)
    _IRQL_requires_max_(PASSIVE_LEVEL) DRIVER_DISPATCH DispatchShutdown;
