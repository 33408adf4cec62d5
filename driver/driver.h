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

/* Makes the three list heads of a fresh context empty. */
VOID InitializeContextLists(DriverContext *Context);
