// SPDX-License-Identifier: MIT
// Helpers of the datframe tests: capturing the console and the track log,
// building frames through the frame builder, reading and writing samples.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datframe/dat_frame.h"
#include "datframe/frame_build.h"
#include "scsi/aspi_call.h"

namespace datframe_test {

struct Output {
  std::string console;
  std::string log;
};

// Runs f with stdout and (when with_log) the track log captured; without
// it no track log is open, as in live playback.
template <class F>
Output capture(F f, bool with_log = true) {
  char* console_text = nullptr;
  size_t console_size = 0;
  char* log_text = nullptr;
  size_t log_size = 0;
  std::fflush(stdout);
  FILE* console = open_memstream(&console_text, &console_size);
  FILE* log = with_log ? open_memstream(&log_text, &log_size) : nullptr;
  FILE* saved = stdout;
  stdout = console;
  track_log_set(log);
  f();
  track_log_set(nullptr);
  stdout = saved;
  std::fclose(console);
  if (log) std::fclose(log);
  Output out{std::string(console_text, console_size), log_text ? std::string(log_text, log_size) : std::string()};
  std::free(console_text);
  std::free(log_text);
  return out;
}

inline RunSettings zeroed_settings() {
  RunSettings s;
  std::memset(&s, 0, sizeof s);
  return s;
}

inline DatFrame zeroed_frame() {
  DatFrame f;
  std::memset(&f, 0, sizeof f);
  return f;
}

// A 48 kHz, two-channel, 16-bit frame of the given program (12-bit BCD) with
// a program-time pack in slot 1 and an absolute-time pack in slot 2.
inline DatFrame timed_frame(int32_t program, uint32_t abs_time, uint32_t prog_time) {
  DatFrame f = zeroed_frame();
  EXPECT_EQ(frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, program, 0x01, prog_time), 0);
  EXPECT_EQ(frame_set_time_pack(&f, 2, PACK_ITEM_ABSOLUTE_TIME, program, 0x01, abs_time), 0);
  EXPECT_EQ(frame_set_sub_id(&f, program, 2), 0);
  EXPECT_EQ(frame_set_main_id(&f, 0, 0, 0, 0), 0);
  EXPECT_EQ(frame_set_pack_parity(&f), 2);
  return f;
}

inline uint32_t tc(int32_t h, int32_t m, int32_t s, int32_t f) { return time_code_from_values(h, m, s, f); }

inline int32_t sample(const uint8_t* area, int32_t pair, int32_t channel) {
  const uint8_t* p = area + 4 * pair + 2 * channel;
  return static_cast<int16_t>(p[0] | (p[1] << 8));
}

inline void set_pair(uint8_t* area, int32_t pair, int32_t left, int32_t right) {
  uint8_t* p = area + 4 * pair;
  p[0] = static_cast<uint8_t>(left);
  p[1] = static_cast<uint8_t>(left >> 8);
  p[2] = static_cast<uint8_t>(right);
  p[3] = static_cast<uint8_t>(right >> 8);
}

}  // namespace datframe_test
