// SPDX-License-Identifier: MIT
// The continuity of absolute times, frame by frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datframe/continuity.h"
#include "datframe/dat_frame.h"

namespace {

// A frame of program 1 at 48 kHz with the absolute time of frame count.
FrameInfo timed(uint32_t count, int32_t program = 1, int32_t rate_code = 0) {
  uint8_t bytes[4];
  dat_time_code_of_frames(count, bytes);
  FrameInfo info{};
  info.has_packs = 1;
  info.program_kind = FRAME_PROGRAM_NUMBER;
  info.program = program;
  info.rate_code = rate_code;
  info.absolute = FrameTime{static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                                static_cast<uint32_t>(bytes[2]) << 8 | bytes[3],
                            1};
  return info;
}

// One step of a sequence: a frame with a time, an unreadable one ('U'), a
// blank one ('B'), one without a time ('-'), one of program 2 ('P') or at
// 44.1 kHz ('R').
struct Step {
  char kind;
  uint32_t count = 0;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::vector<size_t> breaks;  // indices of the steps that break the run
};

const Case kCases[] = {
    {"InOrderAcrossSecondsOf33And34Frames", {{'t', 31}, {'t', 32}, {'t', 33}, {'t', 65}, {'t', 66}}, {3}},
    {"RepeatedSkippedAndStrayEachOnce",
     {{'t', 1}, {'t', 2}, {'t', 2}, {'t', 3}, {'t', 9}, {'t', 10}, {'t', 80}, {'t', 11}, {'t', 12}},
     {2, 4, 6}},
    {"TwoStraysInARowThenBackInOrder", {{'t', 1}, {'t', 50}, {'t', 60}, {'t', 2}, {'t', 3}}, {1, 2}},
    {"UnreadableFrameTakesItsPlace", {{'t', 1}, {'U'}, {'t', 3}, {'U'}, {'U'}, {'t', 6}}, {}},
    {"FrameWithoutTimeTakesItsPlace", {{'t', 1}, {'-'}, {'t', 3}, {'t', 4}}, {}},
    {"ProgramRateAndBlankAreNoBreaks",
     {{'t', 1}, {'P', 500}, {'P', 501}, {'R', 7}, {'R', 8}, {'B'}, {'t', 90}, {'t', 91}},
     {}},
    {"GoingBackBreaks", {{'t', 10}, {'t', 11}, {'t', 5}, {'t', 6}}, {2}},
};

class Continuity : public testing::TestWithParam<Case> {};

TEST_P(Continuity, BreaksWhereTheTimesLeaveTheirOrder) {
  ContinuityTracker tracker{};
  std::vector<size_t> breaks;
  const Case& c = GetParam();
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    if (s.kind == 'U') {
      skip_continuity(&tracker);
      continue;
    }
    FrameInfo info = s.kind == 'P' ? timed(s.count, 2) : s.kind == 'R' ? timed(s.count, 1, 1) : timed(s.count);
    FrameEvents events{};
    if (s.kind == '-') info.absolute.valid = 0;
    if (s.kind == 'B') {
      info = FrameInfo{};
      events.blank = 1;
    }
    ContinuityResult r = track_continuity(&tracker, &info, &events);
    if (r.broken) {
      breaks.push_back(i);
      EXPECT_EQ(r.found, info.absolute.code);
    }
  }
  EXPECT_EQ(breaks, c.breaks);
}

INSTANTIATE_TEST_SUITE_P(Times, Continuity, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
