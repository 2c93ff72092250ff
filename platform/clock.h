// SPDX-License-Identifier: MIT
// The one clock of the process. With KESTREL_CLOCK=simulated every sleep
// advances it at once instead of waiting, so long waits take no real time.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 32 bits.
uint32_t platform_time_ms(void);
// Whole seconds of the calendar clock (the simulated clock starts at the real
// one, or at SOURCE_DATE_EPOCH when that is set).
int64_t platform_time_s(void);
// Waits (or, simulated, advances the clock by) the given milliseconds.
void platform_sleep_ms(uint32_t ms);
// 1 when the clock is simulated.
int platform_clock_simulated(void);

// Something that keeps pace with the clock (a wave-out device) can watch it:
// with the simulated clock every sleep, after advancing the clock by ms, calls
// each watcher, which returns once it has caught up with the new time. The
// real clock calls no one. Returns 0, or -1 when no more watchers fit.
typedef void (*ClockWatcher)(void* context, uint32_t ms);
int platform_clock_watch(ClockWatcher watcher, void* context);
// Removes a watcher; once this returns it is not being called and will not be.
void platform_clock_unwatch(ClockWatcher watcher, void* context);
