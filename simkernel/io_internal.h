/*
 * io_internal.h - what the I/O manager, dispatcher, process and clock
 * parts of simkernel share: the dispatcher lock and its waits, the
 * reference counts of kernel objects, the device security slot, and the
 * resets.  Internal to simkernel.
 *
 * Lock order: the kernel lock may be held when the dispatcher lock is
 * taken, never the other way round.  No lock is held while driver code
 * (dispatch, work, notify routines) runs.
 */
#pragma once

#include "simkernel/internal.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sk {
namespace io {

/* The dispatcher: events, remove locks, IRP completion, the work queue
 * and the interrupt time are guarded by one lock with one condition that
 * every change signals. */
std::mutex &DispatcherLock();
/* Signals a change to every thread waiting in the dispatcher; the caller
 * holds the dispatcher lock. */
void SignalDispatcher();
/* Blocks until ready() holds or the interrupt time reaches the deadline;
 * the caller holds the dispatcher lock in lock.  The thread counts as
 * blocked while it waits.  True when ready() held. */
bool BlockUntil(std::unique_lock<std::mutex> &lock, const std::function<bool()> &ready,
                std::optional<LONGLONG> deadline = std::nullopt);
/* Waits on the dispatcher condition without counting as a kernel wait
 * (the test's own waits). */
void WaitUnblocked(std::unique_lock<std::mutex> &lock, const std::function<bool()> &ready);
/* Interrupt time in 100 ns units; the caller holds the dispatcher lock. */
LONGLONG InterruptTimeLocked();
void SetInterruptTimeLocked(LONGLONG time);

/* Events, for the parts that set one while holding the dispatcher lock. */
LONG SetEventLocked(PRKEVENT event);

/*
 * Reference counts of kernel objects, kept by the object's address (its
 * body, as the driver sees it).  The system's references (a live process,
 * a device not yet deleted, an open, a queued work item) are counted apart
 * from the driver's, so that a driver dropping more than it took is caught
 * even while the system still holds the object.  The object is destroyed
 * when both counts reach zero.  Callers hold the kernel lock.
 */
void RegisterObject(void *body, const char *typeName, std::function<std::string()> describe,
                    std::function<void()> destroy);
bool IsObject(void *body);
void AddSystemReference(void *body);
void DropSystemReference(void *body);
/* A reference the driver takes through a lookup. */
void AddDriverReference(void *body);

/* The device's security descriptor, as the object manager keeps it: the
 * routines that set security store self-relative bytes here, and
 * DEVICE_OBJECT.SecurityDescriptor points at them.  False for an address
 * that is no device of a driver. */
bool SetDeviceSecurity(PDEVICE_OBJECT device, std::vector<uint8_t> descriptor);
std::optional<std::vector<uint8_t>> DeviceSecurityOf(PDEVICE_OBJECT device);

/* The object a kernel handle to the device itself refers to, as
 * ObOpenObjectByPointer opens one: of kind Device, holding a reference to
 * the device until the handle is closed.  DeviceOfObject gives the device
 * back, or null for any other object.  Kernel lock held. */
std::shared_ptr<Object> DeviceHandleTarget(PDEVICE_OBJECT device);
PDEVICE_OBJECT DeviceOfObject(const Object &object);

/* Decides the access an open of a device is granted from what it asks
 * for (generic rights already mapped) and the device's descriptor.  The
 * default grants what is asked; the security model installs its check. */
using DeviceAccessCheck = std::function<NTSTATUS(
    PDEVICE_OBJECT device, const std::vector<uint8_t> &descriptor, ACCESS_MASK desired,
    ACCESS_MASK *granted)>;
void SetDeviceAccessCheck(DeviceAccessCheck check);

/* Work items: a reset throws queued items away and reports items still
 * running. */
void ResetWorkQueue();
void ResetRemoveLocks();
void ResetDispatcher();

/* The resets ResetKernel calls, one per part. */
void ResetIoManager();
void ResetProcesses();
void ResetSystemInfo();

/* For io_shutdown.cpp: whether device is a live device of a driver (a
 * violation of routine when not); one request of the major function sent
 * to it from kernel mode; the registrations of a device taken out (kernel
 * lock held); and the list emptied by a reset. */
bool CheckLiveDevice(const char *routine, PDEVICE_OBJECT device);
NTSTATUS SendMajorFunction(PDEVICE_OBJECT device, UCHAR major);
void RemoveShutdownRegistrations(PDEVICE_OBJECT device);
void ResetShutdownList();

} // namespace io
} // namespace sk
