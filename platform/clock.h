// The one clock of the process. With KESTREL_CLOCK=simulated every sleep
// advances it at once instead of waiting, so long waits take no real time.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 32 bits.
uint32_t platform_time_ms(void);
// Whole seconds of the calendar clock (the simulated clock starts at the real one).
int64_t platform_time_s(void);
// Waits (or, simulated, advances the clock by) the given milliseconds.
void platform_sleep_ms(uint32_t ms);
// 1 when the clock is simulated.
int platform_clock_simulated(void);
