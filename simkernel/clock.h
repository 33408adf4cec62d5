/*
 * clock.h - the simulated system clock: 100 ns units since 1601-01-01 UTC,
 * as KeQuerySystemTime and file times count.
 *
 * The clock never runs backwards and no two readings are equal: every
 * reading moves it on by one unit, so that events stamped one after the
 * other keep their order.  It starts at 2026-01-01 after each reset; the
 * machine model moves it on as simulated time passes.
 */
#pragma once

#include "platform/platform.h"

namespace sk {

constexpr LONGLONG kSystemClockStart = 134116992000000000LL; /* 2026-01-01 */

/* The current time; the clock then moves on by one unit. */
LONGLONG SystemTimeNow();
/* The current time, leaving the clock where it is. */
LONGLONG PeekSystemTime();
/* Moves the clock on; a negative step is a violation. */
void AdvanceSystemTime(LONGLONG units);
/* Sets the clock to a later time; an earlier one is a violation. */
void SetSystemTime(LONGLONG time);
void ResetClock();

} // namespace sk
