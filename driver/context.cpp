/*
 * context.cpp - the driver-wide variables and the set-up of a fresh
 * DriverContext's lists.
 */
#include "driver/driver.h"

DriverContext *QelmbarContext;
PDRIVER_OBJECT QelmbarDriverObject;
ZW_RENAME_KEY_ROUTINE ZwRenameKeyRoutine;
ULONG DriverStateFlags;

VOID InitializeContextLists(DriverContext *Context)
{
    InitializeListHead(&Context->PackageList);
    InitializeListHead(&Context->TemporaryHiveList);
    InitializeListHead(&Context->DeferredList);
    InitializeListHead(&Context->PendingRevertList);
    InitializeListHead(&Context->RunResultsList);
    KeInitializeEvent(&Context->PassLock, SynchronizationEvent, TRUE);
}

VOID AcquirePassLock(DriverContext *Context)
{
    KeWaitForSingleObject(&Context->PassLock, Executive, KernelMode, FALSE, nullptr);
}

VOID ReleasePassLock(DriverContext *Context)
{
    KeSetEvent(&Context->PassLock, IO_NO_INCREMENT, FALSE);
}
