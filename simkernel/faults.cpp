/*
 * faults.cpp - counting of platform calls and pool allocations, and the
 * faults that tests plan against them.
 *
 * A sweep runs a scenario once to count its calls, then once per call with
 * that call failing, so that every cleanup path of the driver is walked.
 */
#include "simkernel/internal.h"

#include <unordered_map>

namespace sk {

namespace {

struct PlannedFault {
    bool allocation = false;     /* counts allocations rather than calls */
    std::string routine;         /* "" = any routine */
    uint64_t nth = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    FaultMode mode = FaultMode::Once;
    bool spent = false;
};

struct FaultState {
    uint64_t calls = 0;
    uint64_t allocations = 0;
    uint64_t injected = 0;
    std::unordered_map<std::string, uint64_t> callsByRoutine;
    std::vector<PlannedFault> plans;
    CallObserver observer;
};

FaultState &State()
{
    static FaultState state;
    return state;
}

bool Hits(PlannedFault &plan, uint64_t count)
{
    if (plan.spent)
        return false;
    if (plan.mode == FaultMode::Once) {
        if (count != plan.nth)
            return false;
        plan.spent = true;
        return true;
    }
    return count >= plan.nth;
}

} // namespace

std::optional<NTSTATUS> EnterRoutine(const char *routine)
{
    CallObserver observer;
    std::optional<NTSTATUS> result;
    uint64_t callNumber = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(KernelLock());
        FaultState &state = State();
        uint64_t total = ++state.calls;
        uint64_t mine = ++state.callsByRoutine[routine];
        for (PlannedFault &plan : state.plans) {
            if (plan.allocation)
                continue;
            uint64_t count = plan.routine.empty() ? total : (plan.routine == routine ? mine : 0);
            if (count != 0 && Hits(plan, count)) {
                result = plan.status;
                break;
            }
        }
        if (result)
            state.injected++;
        observer = state.observer;
        callNumber = total;
    }
    /* Outside the lock: an observer may wait for another thread that needs
     * the kernel. */
    if (observer)
        observer(routine, callNumber);
    return result;
}

bool AllocationFaultHits()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    FaultState &state = State();
    uint64_t count = ++state.allocations;
    for (PlannedFault &plan : state.plans) {
        if (plan.allocation && Hits(plan, count)) {
            state.injected++;
            return true;
        }
    }
    return false;
}

void FailAllocation(uint64_t nth, FaultMode mode)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    PlannedFault plan;
    plan.allocation = true;
    plan.nth = nth;
    plan.mode = mode;
    State().plans.push_back(plan);
}

void FailCall(const std::string &routine, uint64_t nth, NTSTATUS status, FaultMode mode)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    PlannedFault plan;
    plan.routine = routine;
    plan.nth = nth;
    plan.status = status;
    plan.mode = mode;
    State().plans.push_back(plan);
}

void ClearFaults()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    FaultState &state = State();
    CallObserver observer = std::move(state.observer);
    state = FaultState();
    state.observer = std::move(observer);
}

void ResetFaults()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State() = FaultState();
}

uint64_t AllocationCount()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return State().allocations;
}

uint64_t CallCount(const std::string &routine)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    FaultState &state = State();
    if (routine.empty())
        return state.calls;
    auto found = state.callsByRoutine.find(routine);
    return found == state.callsByRoutine.end() ? 0 : found->second;
}

uint64_t InjectedFaultCount()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return State().injected;
}

void SetCallObserver(CallObserver observer)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    State().observer = std::move(observer);
}

} // namespace sk
