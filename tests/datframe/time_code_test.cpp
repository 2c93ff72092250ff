#include "datframe_test_support.h"

namespace {

using datframe_test::tc;

TEST(TimeCode, StepsFramesIntoSecondsMinutesAndHours) {
  EXPECT_EQ(step_time_code(tc(0, 0, 0, 32)), tc(0, 0, 1, 0));
  EXPECT_EQ(step_time_code(tc(0, 0, 2, 32)), tc(0, 0, 2, 33));
  EXPECT_EQ(step_time_code(tc(0, 0, 2, 33)), tc(0, 0, 3, 0));
  EXPECT_EQ(step_time_code(tc(0, 0, 1, 33)), tc(0, 0, 2, 0));  // frame 33 in a 33-frame second
  EXPECT_EQ(step_time_code(tc(0, 59, 59, 33)), tc(1, 0, 0, 0));
  EXPECT_EQ(step_time_code(tc(0, 0, 9, 5)), tc(0, 0, 9, 6));  // BCD digit carry: 09 -> 10 is not 0A
  EXPECT_EQ(step_time_code(tc(0, 9, 59, 33)), tc(0, 10, 0, 0));
}

TEST(TimeCode, HundredFramesMakeThreeSeconds) {
  uint32_t t = tc(0, 0, 0, 0);
  for (int i = 0; i < 99; ++i) t = step_time_code(t);
  EXPECT_EQ(t, tc(0, 0, 2, 33));
  EXPECT_EQ(step_time_code(t), tc(0, 0, 3, 0));
  // And over a whole minute: 2000 frames.
  t = tc(0, 5, 0, 0);
  for (int i = 0; i < 2000; ++i) t = step_time_code(t);
  EXPECT_EQ(t, tc(0, 6, 0, 0));
}

TEST(TimeCode, HoursDoNotWrapAndNoTimeBytesStayInTheirByte) {
  EXPECT_EQ(step_time_code(0x99595933u), 0xA0000000u);
  // 0xAA decodes as 110 in every byte; the step must not spill into a neighbour.
  EXPECT_EQ(step_time_code(TIME_CODE_NONE), 0xB0B0B100u);
}

TEST(TimeCode, BytesStepInPlaceLikeThePackedForm) {
  const uint32_t samples[] = {tc(0, 0, 0, 32), tc(0, 0, 2, 33), tc(0, 59, 59, 33), tc(12, 34, 56, 7), TIME_CODE_NONE};
  for (uint32_t t : samples) {
    uint8_t bytes[4] = {static_cast<uint8_t>(t >> 24), static_cast<uint8_t>(t >> 16), static_cast<uint8_t>(t >> 8),
                        static_cast<uint8_t>(t)};
    step_time_code_bytes(bytes);
    uint32_t stepped = step_time_code(t);
    EXPECT_EQ(bytes[0], stepped >> 24);
    EXPECT_EQ(bytes[1], (stepped >> 16) & 0xFF);
    EXPECT_EQ(bytes[2], (stepped >> 8) & 0xFF);
    EXPECT_EQ(bytes[3], stepped & 0xFF);
  }
}

TEST(TimeCode, BcdValue) {
  EXPECT_EQ(bcd_value(0x59), 59);
  EXPECT_EQ(bcd_value(0x07), 7);
  EXPECT_EQ(bcd_value(0xAA), 110);
}

}  // namespace
