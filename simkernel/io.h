/*
 * io.h - direct access to the simulated I/O manager, processes, clock and
 * system version for tests and the machine model.
 *
 * What a user-mode program or the system would do to a driver is done
 * here: load it (a driver object), open its device and send it requests,
 * shut the system down, start and end processes, let time pass.  Requests
 * are real IRPs sent through the driver's dispatch table, on the calling
 * thread and without the kernel lock, so a dispatch routine may block.
 */
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace sk {

/* Driver objects.  The object is the loader's: named (e.g.
 * u"\\Driver\\Qelmbar"), every major function leading to the I/O
 * manager's routine that completes the request with
 * STATUS_INVALID_DEVICE_REQUEST, DriverExtension->ServiceKeyName the last
 * component of the name, flagged as a legacy driver.  It lives until
 * DeleteDriverObject or the next reset; deleting it while it still has
 * devices is a violation and leaves it alone. */
PDRIVER_OBJECT CreateDriverObject(const std::u16string &name);
void DeleteDriverObject(PDRIVER_OBJECT driver);
/* The routine every major function starts with. */
PDRIVER_DISPATCH DefaultDispatchRoutine();
/* Calls the driver's entry with its registry path, as the loader does:
 * the path's buffer is pool memory freed as soon as the entry returns, and
 * when it succeeds DO_DEVICE_INITIALIZING is cleared on every device the
 * driver has.  Answers what the entry answered. */
NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver, PDRIVER_INITIALIZE entry,
                         const std::u16string &registryPath);
/* Calls DriverUnload; STATUS_INVALID_DEVICE_REQUEST when the driver has
 * none (it cannot be unloaded). */
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);

/* Devices of drivers that have not been deleted (IoDeleteDevice). */
size_t DeviceCount();
/* The security descriptor kept for the device the name resolves to, in
 * self-relative form: the default device descriptor from IoCreateDevice
 * until the driver sets another.  Nothing when the name leads to no device
 * of a driver. */
std::optional<std::vector<uint8_t>> DeviceSecurity(const std::u16string &name);

/*
 * User-mode access to a device.  OpenDevice follows the name through the
 * namespace (DOS links included) to a driver's device, refuses a device
 * still initializing (STATUS_NO_SUCH_DEVICE) and a second open of an
 * exclusive device (STATUS_ACCESS_DENIED), and sends IRP_MJ_CREATE with
 * the rest of the name as the file object's FileName; a handle is made only
 * when the driver succeeds.  Generic rights are mapped as for files.  The
 * handle counts among the open handles until CloseDevice, which sends
 * IRP_MJ_CLEANUP and IRP_MJ_CLOSE; closing it with ZwClose is a violation.
 */
NTSTATUS OpenDevice(const std::u16string &name, ACCESS_MASK access, HANDLE *handle);
/* Sends IRP_MJ_DEVICE_CONTROL from user mode.  The access the control
 * code asks for (FILE_READ_ACCESS, FILE_WRITE_ACCESS) must be granted to
 * the handle, or the answer is STATUS_ACCESS_DENIED without a request.
 * METHOD_BUFFERED copies the input to the system buffer and, unless the
 * status is an error, IoStatus.Information bytes back to out; the rest of
 * the system buffer is poisoned (kPoolPoison).  METHOD_NEITHER hands the
 * buffers over as they are.  The direct methods need MDLs, which are not
 * modelled: STATUS_NOT_IMPLEMENTED.  A request the driver pends is waited
 * for.  *information, when given, receives IoStatus.Information. */
NTSTATUS DeviceIoControl(HANDLE handle, ULONG code, const void *in, ULONG inLength, void *out,
                         ULONG outLength, ULONG_PTR *information = nullptr);
NTSTATUS CloseDevice(HANDLE handle);

/* Sends IRP_MJ_SHUTDOWN to every device registered for shutdown
 * notification, the last registered first, each request finished before
 * the next; the registrations are used up as in NT.  Answers how many
 * requests were sent. */
size_t DeliverShutdown();

/* Work items run on worker threads of their own, started in the order
 * queued.  Waits until none is queued or running; called from a work
 * routine it is a violation. */
void WaitForWorkItems();
/* Threads blocked in a kernel wait right now (KeWaitForSingleObject,
 * IoReleaseRemoveLockAndWait, a user request the driver pended), and a
 * wait until at least count of them are, so that a test knows another
 * thread has reached its wait before it releases it. */
size_t BlockedThreadCount();
void WaitForBlockedThreads(size_t count);

/*
 * Processes.  A fresh kernel has the System process (id 4).  CreateProcess
 * names the new process after the last component of imageName, kept as NT
 * keeps it: at most 14 characters and a NUL.  Every routine registered with
 * PsSetCreateProcessNotifyRoutine is called in the calling thread with
 * (parent, process, TRUE), in the creating process's context;
 * ExitProcess calls them with FALSE in the exiting process's context.  A
 * process object lives while references to it remain, and its id keeps
 * leading to it until then.
 */
inline const HANDLE kSystemProcessId = (HANDLE)(uintptr_t)4;
HANDLE CreateProcess(const std::string &imageName, HANDLE parentId = kSystemProcessId);
/* STATUS_INVALID_PARAMETER for an id that names no live process. */
NTSTATUS ExitProcess(HANDLE processId);

/* References the driver took (PsLookupProcessByProcessId,
 * ObReferenceObject) and has not dropped. */
size_t OutstandingObjectReferences();
std::string ObjectReferenceReport();

/*
 * The clock.  Uptime (interrupt time) starts at zero with every reset and
 * the tick count follows it, one tick per KeQueryTimeIncrement() (156250
 * units of 100 ns by default); the system time moves on with it.  Waits
 * with a timeout end when the uptime reaches their deadline, so a test
 * lets them time out by advancing the clock.  SetUptime may set an earlier
 * value for a new boot; the system time never goes back.
 */
void AdvanceUptime(uint64_t seconds);
void SetUptime(uint64_t seconds);
uint64_t UptimeSeconds();
void SetTimeIncrement(ULONG units);

/* The Windows version PsGetVersion, RtlGetVersion and
 * RtlIsNtDdiVersionAvailable report; 10.0.19045 without service pack after
 * a reset. */
void SetWindowsVersion(ULONG major, ULONG minor, ULONG build, USHORT servicePack = 0);
/* Whether MmPageEntireDriver was called since the reset. */
bool DriverPagedOut();

} // namespace sk
