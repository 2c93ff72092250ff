#include "datframe_test_support.h"

#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"

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

// A time code as a frame count and back, as the re-reads and kestrel-merge
// place frames; and the order of copies they keep.
TEST(FrameCopy, TimeCodesCountFramesAndCopiesRank) {
  uint32_t t = tc(0, 0, 0, 0);
  for (int64_t i = 0; i < 6100; ++i, t = step_time_code(t)) {
    ASSERT_EQ(time_code_frames(t), i);
    ASSERT_EQ(frames_time_code(i), t);
  }
  for (uint32_t bad : {TIME_CODE_NONE, tc(0, 0, 1, 33), tc(0, 60, 0, 0), 0x0000001Au})
    EXPECT_EQ(time_code_frames(bad), -1) << std::hex << bad;
  EXPECT_EQ(time_code_frames(tc(0, 0, 2, 33)), 99);

  EXPECT_EQ(copy_rank(1, 0), COPY_CLEAN);
  EXPECT_EQ(copy_rank(1, 0x40), COPY_ONE_FLAGGED);
  EXPECT_EQ(copy_rank(1, 0x20), COPY_ONE_FLAGGED);
  EXPECT_EQ(copy_rank(1, 0x60), COPY_BOTH_FLAGGED);
  EXPECT_EQ(copy_rank(1, 0x80), COPY_BOTH_FLAGGED) << "a flag of unknown meaning is no better";
  EXPECT_EQ(copy_rank(1, 0x44), COPY_BOTH_FLAGGED);
  EXPECT_EQ(copy_rank(0, 0), COPY_UNREADABLE);

  FrameKey key{4321, 0x012};
  DatFrame stand_in;
  frame_make_stand_in(&stand_in, &key, nullptr);
  EXPECT_EQ(record_rank(&stand_in), COPY_UNREADABLE);
  FrameInfo info = decode_frame(&stand_in);
  FrameKey back = frame_key(&info);
  EXPECT_EQ(back.time, 4321);
  EXPECT_EQ(back.program, 0x012);
  EXPECT_EQ(info.rate, 48000);
  stand_in.audio[100] = 1;
  EXPECT_EQ(record_rank(&stand_in), COPY_BOTH_FLAGGED) << "audio that is not silence was read";
  FrameKey unknown{-1, -1};
  EXPECT_EQ(frame_keys_match(&back, &key), 1);
  EXPECT_EQ(frame_keys_match(&unknown, &unknown), 0) << "no time, no match";
  FrameKey other_program{4321, 0x013};
  EXPECT_EQ(frame_keys_match(&back, &other_program), 0);
  FrameKey any_program{4321, -1};
  EXPECT_EQ(frame_keys_match(&back, &any_program), 1);
}

}  // namespace
