/*
 * clock.cpp - the simulated system clock.
 */
#include "simkernel/clock.h"

#include "simkernel/internal.h"

namespace sk {

namespace {

LONGLONG &Now()
{
    static LONGLONG now = kSystemClockStart;
    return now;
}

} // namespace

LONGLONG SystemTimeNow()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Now()++;
}

LONGLONG PeekSystemTime()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    return Now();
}

void AdvanceSystemTime(LONGLONG units)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (units < 0) {
        Violation("AdvanceSystemTime: the clock cannot go back %lld units", (long long)-units);
        return;
    }
    Now() += units;
}

void SetSystemTime(LONGLONG time)
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    if (time < Now()) {
        Violation("SetSystemTime: %lld is before the current time %lld", (long long)time,
                  (long long)Now());
        return;
    }
    Now() = time;
}

void ResetClock()
{
    std::lock_guard<std::recursive_mutex> guard(KernelLock());
    Now() = kSystemClockStart;
}

} // namespace sk
