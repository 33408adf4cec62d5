/*
 * io_sync.cpp - the dispatcher: kernel events, KeWaitForSingleObject and
 * the count of threads blocked in the kernel.
 *
 * An event's state is its own DISPATCHER_HEADER, in the driver's memory.
 * Waiters really block, on one condition variable that every change of
 * any event, of the clock or of an IRP signals; each re-checks its own
 * object.  A synchronization event lets one waiter through and resets.
 * Timeouts are measured on the simulated interrupt time, so a wait times
 * out when the clock is moved past its deadline.
 *
 * The machine model forks a child per boot from a process whose threads
 * may wait in the dispatcher.  Around a fork the dispatcher lock is held,
 * so that the child sees no change half made, and the child starts with a
 * condition variable of its own: the waiters of the parent's do not exist
 * there.
 */
#include "simkernel/clock.h"
#include "simkernel/io.h"
#include "simkernel/io_internal.h"

#include <condition_variable>
#include <new>

#include <pthread.h>

namespace sk {
namespace io {

namespace {

struct Dispatcher {
    std::mutex lock;
    std::condition_variable changed;
    size_t blocked = 0;
    LONGLONG interruptTime = 0;
};

/* Never destroyed: worker threads may still wait on it at exit. */
Dispatcher &State()
{
    static Dispatcher *state = new Dispatcher;
    return *state;
}

void LockForFork()
{
    State().lock.lock();
}

void UnlockInParent()
{
    State().lock.unlock();
}

void RenewInChild()
{
    Dispatcher &state = State();
    new (&state.changed) std::condition_variable();
    state.blocked = 0;
    state.lock.unlock();
}

const int forkHandlers = pthread_atfork(LockForFork, UnlockInParent, RenewInChild);

constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);

/* Whether the header is one KeInitializeEvent set up. */
bool IsEvent(const DISPATCHER_HEADER &header)
{
    return (header.Type == NotificationEvent || header.Type == SynchronizationEvent) &&
           header.Size == kEventSize;
}

bool CheckEvent(const char *routine, PRKEVENT event)
{
    if (!event) {
        Violation("%s: no event", routine);
        return false;
    }
    if (!IsEvent(event->Header)) {
        Violation("%s: %p is no initialized event (type %u, size %u)", routine, (void *)event,
                  event->Header.Type, event->Header.Size);
        return false;
    }
    return true;
}

} // namespace

std::mutex &DispatcherLock()
{
    return State().lock;
}

void SignalDispatcher()
{
    State().changed.notify_all();
}

bool BlockUntil(std::unique_lock<std::mutex> &lock, const std::function<bool()> &ready,
                std::optional<LONGLONG> deadline)
{
    Dispatcher &state = State();
    auto expired = [&] { return deadline && state.interruptTime >= *deadline; };
    if (ready())
        return true;
    if (expired())
        return false;
    state.blocked++;
    state.changed.notify_all();
    bool satisfied = false;
    for (;;) {
        state.changed.wait(lock);
        if (ready()) {
            satisfied = true;
            break;
        }
        if (expired())
            break;
    }
    state.blocked--;
    state.changed.notify_all();
    return satisfied;
}

void WaitUnblocked(std::unique_lock<std::mutex> &lock, const std::function<bool()> &ready)
{
    State().changed.wait(lock, ready);
}

LONGLONG InterruptTimeLocked()
{
    return State().interruptTime;
}

void SetInterruptTimeLocked(LONGLONG time)
{
    State().interruptTime = time;
    State().changed.notify_all();
}

LONG SetEventLocked(PRKEVENT event)
{
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    State().changed.notify_all();
    return previous;
}

void ResetDispatcher()
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Dispatcher &state = State();
    if (state.blocked)
        Violation("reset with %zu threads still blocked in kernel waits", state.blocked);
    state.interruptTime = 0;
    state.changed.notify_all();
}

} // namespace io

size_t BlockedThreadCount()
{
    std::lock_guard<std::mutex> guard(io::DispatcherLock());
    return io::State().blocked;
}

void WaitForBlockedThreads(size_t count)
{
    std::unique_lock<std::mutex> lock(io::DispatcherLock());
    io::WaitUnblocked(lock, [count] { return io::State().blocked >= count; });
}

} // namespace sk

using namespace sk;
using namespace sk::io;

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    if (!Event) {
        Violation("KeInitializeEvent: no event");
        return;
    }
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        Violation("KeInitializeEvent: event type %d", (int)Type);
        return;
    }
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Event->Header.Lock = 0;
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Size = kEventSize;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!CheckEvent("KeSetEvent", Event))
        return 0;
    return SetEventLocked(Event);
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!CheckEvent("KeResetEvent", Event))
        return 0;
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (CheckEvent("KeClearEvent", Event))
        Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (!CheckEvent("KeReadStateEvent", Event))
        return 0;
    return Event->Header.SignalState;
}

/*
 * A negative timeout is relative, in 100 ns units; a positive one is an
 * absolute system time; zero tests the state without waiting.  Nothing
 * alerts a waiter or delivers APCs to it, so the answers are
 * STATUS_SUCCESS and STATUS_TIMEOUT.
 */
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(Alertable);
    if (WaitMode != KernelMode && WaitMode != UserMode) {
        Violation("KeWaitForSingleObject: wait mode %d", (int)WaitMode);
        return STATUS_INVALID_PARAMETER;
    }
    /* Read before the dispatcher lock: the system clock takes the kernel
     * lock. */
    const LONGLONG systemNow = Timeout && Timeout->QuadPart > 0 ? PeekSystemTime() : 0;
    std::unique_lock<std::mutex> lock(DispatcherLock());
    auto *event = static_cast<PRKEVENT>(Object);
    if (!CheckEvent("KeWaitForSingleObject", event))
        return STATUS_INVALID_PARAMETER;
    std::optional<LONGLONG> deadline;
    if (Timeout) {
        const LONGLONG now = InterruptTimeLocked();
        if (Timeout->QuadPart < 0)
            deadline = now - Timeout->QuadPart;
        else if (Timeout->QuadPart == 0)
            deadline = now;
        else
            deadline = now + (Timeout->QuadPart > systemNow ? Timeout->QuadPart - systemNow : 0);
    }
    const bool signalled =
        BlockUntil(lock, [event] { return event->Header.SignalState > 0; }, deadline);
    if (!signalled)
        return STATUS_TIMEOUT;
    if (event->Header.Type == SynchronizationEvent)
        event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}
