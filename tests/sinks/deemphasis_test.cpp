// SPDX-License-Identifier: MIT
// The de-emphasis filter against the standard 50/15 us curve at each DAT rate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "sinks/deemphasis.h"

namespace {

TEST(Deemphasis, FollowsTheStandardCurveAcrossTheBandAtEveryRate) {
  for (int rate : {48000, 44100, 32000}) {
    Deemphasis filter;
    deemphasis_begin(&filter, rate);
    // Up to 0.48 of the rate: 15 kHz at 32 kHz too.
    for (double hz = 20; hz < 0.48 * rate; hz *= 1.05)
      EXPECT_NEAR(deemphasis_level_db(&filter, rate, hz), deemphasis_standard_db(hz), 0.05) << rate << " Hz, " << hz;
  }
  EXPECT_NEAR(deemphasis_standard_db(0), 0, 1e-9);
  EXPECT_NEAR(deemphasis_standard_db(1e7), 20 * std::log10(15.0 / 50.0), 0.01);  // the shelf's floor
}

TEST(Deemphasis, SilenceStaysNearSilenceAndFullScaleDoesNotWrap) {
  Deemphasis filter;
  deemphasis_begin(&filter, 48000);
  // Full-scale square wave: the filter's overshoot is clipped, never wrapped.
  std::vector<uint8_t> pcm(4 * 4800);
  for (size_t i = 0; i < 4800; ++i) {
    int16_t v = (i / 24) % 2 ? 32767 : -32768;
    std::memcpy(&pcm[4 * i], &v, 2);
    std::memcpy(&pcm[4 * i + 2], &v, 2);
  }
  deemphasis_run(&filter, pcm.data(), static_cast<int>(pcm.size()));
  // Late in each half period the output has settled near full scale, with
  // the square wave's sign (a wrap would flip it).
  for (size_t i = 100; i < 4800; ++i) {
    if (i % 24 != 20) continue;
    int16_t v;
    std::memcpy(&v, &pcm[4 * i], 2);
    int square = (i / 24) % 2 ? 1 : -1;
    EXPECT_GT(v * square, 30000) << i;
  }
  // Silence comes out as silence but for the dither of a step or so.
  deemphasis_reset(&filter);
  std::vector<uint8_t> quiet(4 * 4800, 0);
  deemphasis_run(&filter, quiet.data(), static_cast<int>(quiet.size()));
  for (size_t i = 0; i < quiet.size(); i += 2) {
    int16_t v;
    std::memcpy(&v, &quiet[i], 2);
    EXPECT_LE(std::abs(v), 1);
  }
}

}  // namespace
