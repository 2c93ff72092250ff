// SPDX-License-Identifier: MIT
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
  // A frame that was read, silent with both channels flagged (a damaged
  // stretch of a pause), is no stand-in; the stand-in of an image kept
  // before the mark (program 0AA, the time pack alone) still is.
  DatFrame read_silence{};
  frame_set_time_pack(&read_silence, 1, PACK_ITEM_PROGRAM_TIME, 0x012, 1, 0);
  frame_set_time_pack(&read_silence, 2, PACK_ITEM_ABSOLUTE_TIME, 0x012, 1, frames_time_code(4321));
  frame_set_sub_id(&read_silence, 0x012, 2);
  read_silence.interpolate_flags = 0x60;
  EXPECT_EQ(record_rank(&read_silence), COPY_BOTH_FLAGGED);
  DatFrame blank_flagged{};
  blank_flagged.interpolate_flags = 0x60;
  EXPECT_EQ(frame_is_stand_in(&blank_flagged), 0) << "flagged blank tape";
  for (int64_t time : {int64_t{4321}, int64_t{-1}}) {
    DatFrame old{};
    if (time >= 0) frame_set_time_pack(&old, 1, PACK_ITEM_ABSOLUTE_TIME, PROGRAM_NONE, 0, frames_time_code(time));
    frame_set_sub_id(&old, PROGRAM_NONE, time >= 0 ? 1 : 0);
    frame_set_pack_parity(&old);
    old.interpolate_flags = 0x60;
    EXPECT_EQ(frame_is_stand_in(&old), 1) << time;
  }

  FrameKey unknown{-1, -1};
  EXPECT_EQ(frame_keys_match(&back, &key), 1);
  EXPECT_EQ(frame_keys_match(&unknown, &unknown), 0) << "no time, no match";
  FrameKey other_program{4321, 0x013};
  EXPECT_EQ(frame_keys_match(&back, &other_program), 0);
  FrameKey any_program{4321, -1};
  EXPECT_EQ(frame_keys_match(&back, &any_program), 1);
}

}  // namespace

namespace {

// Frames no read could give take their place from the frames around them.
TEST(FrameCopy, UnreadableRunsArePlacedByTheirNeighbours) {
  struct Row {
    const char* what;
    FrameKey before;
    bool after_known;
    FrameKey after;
    int64_t count;
    FrameKey place;
  } rows[] = {
      {"inside a program", {100, 0x001}, true, {103, 0x001}, 2, {101, 0x001}},
      {"at the end of the data the count stands", {100, 0x001}, false, {}, 3, {101, 0x001}},
      {"a blank stretch after it carries no time", {100, 0x001}, true, {-1, 0x000}, 1, {-1, 0x001}},
      {"the time jumps after it", {100, 0x001}, true, {110, 0x001}, 2, {-1, 0x001}},
      {"the first frames of the run: the number after them", {-1, -1}, true, {2, 0x001}, 2, {-1, 0x001}},
      {"across a change of program: the number before", {400, 0x001}, true, {402, 0x002}, 1, {401, 0x001}},
      {"after a lead-in: the number after", {-1, 0x0BB}, true, {0, 0x001}, 1, {-1, 0x001}},
      {"between a lead-out and blank tape", {900, 0x0EE}, true, {-1, 0x000}, 1, {-1, 0x0EE}},
      {"no number around it", {50, 0x0AA}, true, {52, 0x0AA}, 1, {51, -1}},
  };
  for (const Row& r : rows) {
    FrameKey place = place_unreadable_run(&r.before, r.after_known ? &r.after : nullptr, r.count);
    EXPECT_EQ(place.time, r.place.time) << r.what;
    EXPECT_EQ(place.program, r.place.program) << r.what;
  }
}

}  // namespace
