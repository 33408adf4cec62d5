/*
 * sim.h - what tests and tools see of simkernel, the user-mode model of the
 * NT services the driver calls.
 *
 * simkernel is stricter than Windows, never kinder: a misuse that Windows
 * would punish with a bug check (a bad free, an invalid kernel handle, a
 * pool request of zero bytes) is reported as a violation at once, and
 * whatever is not modelled answers STATUS_NOT_IMPLEMENTED.  Tests install a
 * violation handler that fails the running test; the default one prints the
 * message and aborts.
 */
#pragma once

#include "platform/platform.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sk {

/* Violations. */
using ViolationHandler = std::function<void(const std::string &message)>;
void SetViolationHandler(ViolationHandler handler);
[[gnu::format(printf, 1, 2)]] void Violation(const char *format, ...);

/* Returns the whole simulated kernel to its state at start: no handles, no
 * pool blocks, an empty registry, no faults planned, counters at zero. */
void ResetKernel();

/* Pool accounting.  Poison byte of fresh blocks, and of freed ones. */
constexpr unsigned char kPoolPoison = 0xCD;
constexpr unsigned char kPoolFreedPoison = 0xDD;
size_t PoolOutstandingBlocks();
/* Most bytes the pool held at once since the last reset of the mark. */
size_t PoolHighWaterBytes();
void ResetPoolHighWater();
std::map<ULONG, size_t> PoolOutstandingByTag();
std::string PoolReport();
std::string TagName(ULONG tag);

/* Handle accounting. */
size_t OpenHandleCount();
std::string HandleReport();

/* Fault injection.  Calls and allocations are counted from the last
 * ClearFaults() (or ResetKernel()), starting at 1.  A planned fault hits the
 * nth counted event; Once fails that one event, FromThenOn every event from
 * it on. */
enum class FaultMode { Once, FromThenOn };
void FailAllocation(uint64_t nth, FaultMode mode = FaultMode::Once);
/* routine: a platform routine's name such as "ZwOpenKey", or "" for any
 * platform routine (pool allocations included). */
void FailCall(const std::string &routine, uint64_t nth, NTSTATUS status,
              FaultMode mode = FaultMode::Once);
void ClearFaults();
uint64_t AllocationCount();
uint64_t CallCount(const std::string &routine = "");
/* Number of faults that have been injected since the last ClearFaults(). */
uint64_t InjectedFaultCount();

/* Kernel exports, as MmGetSystemRoutineAddress finds them by their exact
 * name.  After a reset ZwRenameKey and RtlIsNtDdiVersionAvailable are
 * found, and ExAllocatePool2 while the Windows modelled has it; IoCreateDeviceSecure, which Windows keeps in a static library
 * rather than the kernel, and every other name answer NULL until exported
 * here.  SetRoutineExported
 * takes the name of a routine simkernel implements (another name is a
 * violation) and exports it at that routine; ExportRoutine exports any
 * name at the given address, such as a test's stand-in, and a null
 * address takes the name out again. */
void SetRoutineExported(const std::string &name, bool exported);
void ExportRoutine(const std::string &name, void *address);
/* Back to the exports of a fresh kernel. */
void ResetRoutineExports();

/* The pool type a live block came from (ExAllocatePool2's non-paged pool
 * is NonPagedPoolNx); -1 for an address that is no live block. */
int PoolBlockType(const void *block);

/* Observer called at the entry of every platform routine, after the call is
 * counted; the machine model uses it to cut the power at a chosen point. */
using CallObserver = std::function<void(const char *routine, uint64_t callNumber)>;
void SetCallObserver(CallObserver observer);

/* Listener of the executor's trace points (see platform.h): the list it
 * starts to run, and each operation's outcome.  Called on the driver's
 * thread; an empty member ignores its point.  A fresh kernel keeps the
 * sink, so a listener set before a boot sees all of it. */
struct TraceSink {
    std::function<void(const ListOrigin *origin, PLIST_ENTRY list)> listRun;
    std::function<void(PLIST_ENTRY entry, NTSTATUS status, bool deferred)> operationOutcome;
};
void SetTraceSink(TraceSink sink);

} // namespace sk
