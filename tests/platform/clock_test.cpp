// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/clock.h"

// The clock reads KESTREL_CLOCK once, at its first use, so the simulated case
// runs in a child process where the variable is set first.
TEST(Clock, SimulatedSleepsAdvanceTheClockAtOnce) {
  EXPECT_EXIT(
      {
        setenv("KESTREL_CLOCK", "simulated", 1);
        uint32_t start = platform_time_ms();
        int64_t start_s = platform_time_s();
        for (int i = 0; i < 600; ++i) platform_sleep_ms(100);  // one minute
        bool ok = platform_clock_simulated() == 1 && platform_time_ms() - start == 60000 &&
                  platform_time_s() - start_s >= 59 && platform_time_s() - start_s <= 61;
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Clock, RealSleepsTakeRealTime) {
  EXPECT_EXIT(
      {
        unsetenv("KESTREL_CLOCK");
        uint32_t start = platform_time_ms();
        platform_sleep_ms(50);
        uint32_t elapsed = platform_time_ms() - start;
        std::exit(platform_clock_simulated() == 0 && elapsed >= 50 && elapsed < 1000 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}
