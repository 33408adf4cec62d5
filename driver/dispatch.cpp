/*
 * dispatch.cpp - the requests the device serves: open and close, two
 * control codes answered with success and nothing else, and the system's
 * shutdown notification, on which the shutdown pass runs.
 *
 * Every handler holds the remove lock, tagged with the request, while it
 * serves it.  Once teardown has begun the lock is refused; the request is
 * then completed with that refusal, and no lock is released that was not
 * acquired.
 */
#include "boot/boot.h"
#include "driver/driver.h"

namespace {

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

DriverContext *ContextOf(PDEVICE_OBJECT DeviceObject)
{
    return (DriverContext *)DeviceObject->DeviceExtension;
}

} // namespace

_Use_decl_annotations_
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DriverContext *context = ContextOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);
    CompleteRequest(Irp, STATUS_SUCCESS);
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DriverContext *context = ContextOf(DeviceObject);
    PIO_STACK_LOCATION stack;
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);

    stack = IoGetCurrentIrpStackLocation(Irp);
    status = STATUS_SUCCESS;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code != QELMBAR_IOCTL_FIRST && code != QELMBAR_IOCTL_SECOND)
            status = STATUS_NOT_SUPPORTED;
    }
    CompleteRequest(Irp, status);
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return status;
}

_Use_decl_annotations_
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DriverContext *context = ContextOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);
    ShutdownPass();
    CompleteRequest(Irp, STATUS_SUCCESS);
    IoReleaseRemoveLock(&context->RemoveLock, Irp);
    return STATUS_SUCCESS;
}
