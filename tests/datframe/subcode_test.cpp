// SPDX-License-Identifier: MIT
#include "datframe_test_support.h"

#include <vector>

#include "datframe/frame_info.h"

namespace {

using datframe_test::capture;
using datframe_test::Output;
using datframe_test::tc;
using datframe_test::timed_frame;
using datframe_test::zeroed_frame;
using datframe_test::zeroed_settings;

// Analyses one frame and returns what it printed.
std::string analyze(const DatFrame& f, RunSettings* s) {
  return capture([&] { EXPECT_EQ(analyze_frame(&f, s), 0); }).console;
}

std::string subcode_line(const RunSettings& s) {
  return capture([&] { print_subcode(&s); }).console;
}

DatFrame blank_frame() {
  DatFrame f = zeroed_frame();
  EXPECT_EQ(frame_set_main_id(&f, 0, 0, 0, 0), 0);
  return f;
}

DatFrame start_id_frame(int32_t control) {
  DatFrame f = timed_frame(0x012, tc(0, 0, 0, 0), tc(0, 0, 0, 0));
  EXPECT_EQ(frame_set_control_id(&f, control), 0);
  return f;
}

TEST(AnalyzeFrame, BlankStretchStopsOnItsSixtySecondFrameOnly) {
  RunSettings s = zeroed_settings();
  DatFrame blank = blank_frame();
  for (int i = 1; i <= 61; ++i) {
    analyze(blank, &s);
    ASSERT_EQ(s.stop_requested, 0) << "frame " << i;
    EXPECT_EQ(s.no_subcode, 1);
  }
  EXPECT_EQ(analyze(blank, &s), "\r");
  EXPECT_EQ(s.stop_requested, 1);
  s.stop_requested = 0;
  for (int i = 63; i <= 200; ++i) {
    analyze(blank, &s);
    ASSERT_EQ(s.stop_requested, 0) << "frame " << i;
  }
  EXPECT_EQ(s.blank_frames, 61);

  // A frame with packs starts the count afresh: the next stretch stops again.
  analyze(timed_frame(0x001, 0, 0), &s);
  EXPECT_EQ(s.no_subcode, 0);
  EXPECT_EQ(s.blank_frames, 0);
  for (int i = 1; i <= 61; ++i) analyze(blank, &s);
  EXPECT_EQ(s.stop_requested, 0);
  analyze(blank, &s);
  EXPECT_EQ(s.stop_requested, 1);
}

TEST(AnalyzeFrame, StopEotCancelsTheBlankStopAndTheCallers) {
  RunSettings s = zeroed_settings();
  s.stopeot_arg = 5;
  DatFrame blank = blank_frame();
  for (int i = 1; i <= 70; ++i) {
    analyze(blank, &s);
    ASSERT_EQ(s.stop_requested, 0) << "frame " << i;
  }
  s.stop_requested = 1;  // as after a failed read
  analyze(timed_frame(0x001, 0, 0), &s);
  EXPECT_EQ(s.stop_requested, 0);
}

TEST(AnalyzeFrame, OneStartIdPerRunOfStartIdFrames) {
  RunSettings s = zeroed_settings();
  std::string printed;
  // Start IDs, a frame with control bits but no start ID (the run goes on),
  // a frame without control bits (the run ends), control bits alone (no
  // start), and a new run.
  const int32_t controls[] = {0xC0, 0x40, 0x80, 0x40, 0x00, 0x80, 0x40, 0x40};
  const int32_t found[] = {1, 0, 0, 0, 0, 0, 1, 0};
  for (int i = 0; i < 8; ++i) {
    printed += analyze(start_id_frame(controls[i]), &s);
    EXPECT_EQ(s.start_id_found, found[i]) << "frame " << i;
  }
  EXPECT_EQ(printed, "start_id start 12\n\r\r\r\r\r\rstart_id start 12\n\r\r");
  EXPECT_EQ(s.start_id_seen, 1);
}

TEST(AnalyzeFrame, RateChangesAreReportedOnce) {
  RunSettings s = zeroed_settings();
  DatFrame f = timed_frame(0x001, 0, 0);
  EXPECT_EQ(analyze(f, &s), "\r");
  EXPECT_EQ(s.rate_changed, 0);
  ASSERT_EQ(frame_set_main_id(&f, 2, 0, 0, 0), 0);
  EXPECT_EQ(analyze(f, &s), "rate change found 0 2\n\r");
  EXPECT_EQ(s.rate_changed, 1);
  EXPECT_EQ(s.rate_code, 2);
  EXPECT_EQ(analyze(f, &s), "\r");
  EXPECT_EQ(s.rate_changed, 0);

  // The first frame of a 44.1 kHz tape compares against the reset code 0.
  RunSettings fresh = zeroed_settings();
  ASSERT_EQ(frame_set_main_id(&f, 1, 0, 0, 0), 0);
  EXPECT_EQ(analyze(f, &fresh), "rate change found 0 1\n\r");
}

TEST(AnalyzeFrame, MainIdCodes) {
  RunSettings s = zeroed_settings();
  DatFrame f = timed_frame(0x001, 0, 0);
  const int32_t quant[] = {0, 1, 2, 3};
  const int32_t bits[] = {16, 12, 16, 16};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(frame_set_main_id(&f, 2, 1, quant[i], 3), 0);
    analyze(f, &s);
    EXPECT_EQ(s.quant_code, quant[i]);
    EXPECT_EQ(s.sample_bits, bits[i]);
    EXPECT_EQ(s.channel_code, 1);
    EXPECT_EQ(s.frame_scms, 3);
  }
}

TEST(AnalyzeFrame, PacksWithoutValidProgramAdvanceTheRunningTimes) {
  RunSettings s = zeroed_settings();
  analyze(timed_frame(0x007, tc(0, 10, 0, 5), tc(0, 2, 0, 5)), &s);
  EXPECT_EQ(s.prog_time, tc(0, 2, 0, 5));
  EXPECT_EQ(s.abs_time, tc(0, 10, 0, 5));
  EXPECT_EQ(s.last_program, 0x007);

  DatFrame f = zeroed_frame();
  ASSERT_EQ(frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, PROGRAM_NONE, 0x01, TIME_CODE_NONE), 0);
  ASSERT_EQ(frame_set_time_pack(&f, 2, PACK_ITEM_ABSOLUTE_TIME, PROGRAM_LEAD_IN, 0x01, TIME_CODE_NONE), 0);
  analyze(f, &s);
  EXPECT_EQ(s.pt_pack_time, TIME_CODE_NONE);
  EXPECT_EQ(s.pt_pack_program, PROGRAM_NONE);
  EXPECT_EQ(s.prog_time, tc(0, 2, 0, 6));
  EXPECT_EQ(s.at_pack_time, TIME_CODE_NONE);
  EXPECT_EQ(s.at_pack_program, PROGRAM_LEAD_IN);
  EXPECT_EQ(s.abs_time, tc(0, 10, 0, 6));
  EXPECT_EQ(s.last_program, 0x007);
  // The line shows the running times and the last valid program.
  EXPECT_EQ(subcode_line(s), "PRG:07-A:00:10:00:06-P:00:02:00:06-DATE:00/00/00-00:00:00-48k-2-16-SCMS=00 ");
}

TEST(AnalyzeFrame, LaterSlotsWinAndAbsoluteTimeOutlivesItsPack) {
  RunSettings s = zeroed_settings();
  DatFrame f = timed_frame(0x003, tc(0, 0, 5, 0), tc(0, 0, 1, 0));
  ASSERT_EQ(frame_set_time_pack(&f, 6, PACK_ITEM_PROGRAM_TIME, 0x004, 0x01, tc(0, 0, 2, 0)), 0);
  FrameDate date = {1, 24, 5, 17, 10, 15, 30};
  ASSERT_EQ(frame_set_date_pack(&f, 7, &date), 0);
  analyze(f, &s);
  EXPECT_EQ(s.pt_pack_program, 0x004);
  EXPECT_EQ(s.prog_time, tc(0, 0, 2, 0));
  EXPECT_EQ(s.rec_date, 0x240517);

  // Only a program-time pack: program time and date are cleared with the
  // frame, the absolute-time pack's values stay.
  DatFrame only_pt = zeroed_frame();
  ASSERT_EQ(frame_set_time_pack(&only_pt, 1, PACK_ITEM_PROGRAM_TIME, 0x003, 0x01, tc(0, 0, 3, 0)), 0);
  analyze(only_pt, &s);
  EXPECT_EQ(s.at_pack_time, tc(0, 0, 5, 0));
  EXPECT_EQ(s.at_pack_program, 0x003);
  EXPECT_EQ(s.rec_date, 0);
  EXPECT_EQ(s.rec_time, 0);

  // A pack of another item is subcode all the same: no blank count.
  DatFrame other = zeroed_frame();
  other.pack[3][0] = 0x30;
  s.blank_frames = 40;
  analyze(other, &s);
  EXPECT_EQ(s.blank_frames, 0);
  EXPECT_EQ(s.pt_pack_time, 0u);
}

TEST(SubcodeLine, TypicalLineOnTheConsoleAndInTheTrackLog) {
  RunSettings s = zeroed_settings();
  DatFrame f = timed_frame(0x001, tc(0, 1, 2, 3), tc(0, 1, 2, 3));
  FrameDate date = {6, 24, 5, 17, 10, 15, 30};
  ASSERT_EQ(frame_set_date_pack(&f, 3, &date), 0);
  analyze(f, &s);
  const std::string line = "PRG:01-A:00:01:02:03-P:00:01:02:03-DATE:24/05/17-10:15:30-48k-2-16-SCMS=00 ";
  EXPECT_EQ(subcode_line(s), line);
  Output logged = capture([&] { log_subcode(&s); });
  EXPECT_EQ(logged.log, line);
  EXPECT_EQ(logged.console, "");
  // No track log open: nothing is written anywhere.
  EXPECT_EQ(capture([&] { log_subcode(&s); }, false).console, "");
}

void set_codes(RunSettings* s, int32_t rate, int32_t channels, int32_t quant, int32_t scms) {
  s->rate_code = rate;
  s->channel_code = channels;
  s->quant_code = quant;
  s->frame_scms = scms;
}

TEST(SubcodeLine, ProgramTimeFallbacksAndCodePieces) {
  RunSettings s = zeroed_settings();
  s.at_pack_program = 0x123;
  s.at_pack_time = 0;
  s.abs_time = tc(0, 0, 0, 1);
  s.pt_pack_time = TIME_CODE_NONE;
  s.prog_time = tc(0, 0, 0, 2);
  set_codes(&s, 3, 2, 2, 2);
  EXPECT_EQ(subcode_line(s), "PRG:23-A:00:00:00:01-P:00:00:00:02-DATE:00/00/00-00:00:00-SCMS=10 ");
  s.at_pack_program = 0;
  s.last_program = 0x123;
  set_codes(&s, 1, 1, 1, 1);
  EXPECT_EQ(subcode_line(s), "PRG:123-A:00:00:00:01-P:00:00:00:02-DATE:00/00/00-00:00:00-44k-4-12-SCMS=01 ");
  set_codes(&s, 2, 1, 1, 3);
  EXPECT_NE(subcode_line(s).find("-32k-4-12-SCMS=11 "), std::string::npos);
}

TEST(FrameAudioBytes, EveryRateAndWidth) {
  EXPECT_EQ(frame_audio_bytes(0, 16), 5760);
  EXPECT_EQ(frame_audio_bytes(0, 12), 5760);
  EXPECT_EQ(frame_audio_bytes(1, 16), 5292);
  EXPECT_EQ(frame_audio_bytes(1, 12), 5292);
  EXPECT_EQ(frame_audio_bytes(2, 16), 3840);
  EXPECT_EQ(frame_audio_bytes(2, 12), 7680);
  EXPECT_EQ(frame_audio_bytes(2, 8), 5760);
  EXPECT_EQ(frame_audio_bytes(3, 16), 5760);
}

}  // namespace

namespace {

// What decode_frame makes of frames built field by field.
TEST(DecodeFrame, GivesEachFieldOfTheFrameAsAValue) {
  struct Case {
    const char* what;
    void (*build)(DatFrame*);
    void (*check)(const FrameInfo&);
  };
  const Case cases[] = {
      {"numbered program, times, 44.1 kHz, emphasis, copy code 10, left flagged",
       [](DatFrame* f) {
         *f = timed_frame(0x123, tc(1, 2, 3, 4), tc(0, 0, 5, 6));
         frame_set_main_id(f, 1, 0, 0, 2);
         f->main_id_format |= 0x10;
         f->interpolate_flags = 0x40;
       },
       [](const FrameInfo& i) {
         EXPECT_EQ(i.program_kind, FRAME_PROGRAM_NUMBER);
         EXPECT_EQ(i.program, 123);
         EXPECT_TRUE(i.absolute.valid);
         EXPECT_EQ(i.absolute.code, tc(1, 2, 3, 4));
         EXPECT_EQ(i.program_time.code, tc(0, 0, 5, 6));
         EXPECT_EQ(i.rate, 44100);
         EXPECT_EQ(i.pcm_bytes, 5292);
         EXPECT_EQ(i.emphasis, 1);
         EXPECT_EQ(i.scms, 2);
         EXPECT_TRUE(i.left_damaged && !i.right_damaged);
       }},
      {"lead-in without times, long play, right flagged",
       [](DatFrame* f) {
         *f = zeroed_frame();
         frame_set_time_pack(f, 1, PACK_ITEM_ABSOLUTE_TIME, PROGRAM_LEAD_IN, 0x01, TIME_CODE_NONE);
         frame_set_sub_id(f, PROGRAM_LEAD_IN, 1);
         frame_set_main_id(f, 2, 0, 1, 0);
         f->interpolate_flags = 0x20;
       },
       [](const FrameInfo& i) {
         EXPECT_EQ(i.program_kind, FRAME_PROGRAM_LEAD_IN);
         EXPECT_EQ(i.program, 0);
         EXPECT_FALSE(i.absolute.valid);
         EXPECT_TRUE(frame_in_lead_in(&i));
         EXPECT_EQ(i.bits, 12);
         EXPECT_EQ(i.pcm_bytes, DAT_LP_PCM_BYTES);
         EXPECT_TRUE(!i.left_damaged && i.right_damaged);
       }},
      {"date pack valid, then one with month 13",
       [](DatFrame* f) {
         *f = timed_frame(0x001, 0, 0);
         FrameDate date = {3, 24, 5, 17, 10, 15, 30};
         frame_set_date_pack(f, 3, &date);
       },
       [](const FrameInfo& i) {
         EXPECT_TRUE(i.date.valid);
         EXPECT_EQ(i.date.date, 0x240517u);
         EXPECT_EQ(i.date.time, 0x101530u);
         EXPECT_EQ(i.date.weekday, 3);
       }},
      {"blank frame: no packs, no number",
       [](DatFrame* f) {
         *f = zeroed_frame();
         frame_set_sub_id(f, PROGRAM_NONE, 0);
       },
       [](const FrameInfo& i) {
         EXPECT_FALSE(i.has_packs);
         EXPECT_EQ(i.program_kind, FRAME_PROGRAM_NONE);
         EXPECT_FALSE(i.date.present);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DatFrame f;
    c.build(&f);
    c.check(decode_frame(&f));
  }
  DatFrame bad = timed_frame(0x001, 0, 0);
  FrameDate date = {3, 24, 5, 17, 10, 15, 30};
  frame_set_date_pack(&bad, 3, &date);
  bad.pack[2][2] = 0x13;  // month 13
  EXPECT_FALSE(decode_frame(&bad).date.valid);
  EXPECT_TRUE(decode_frame(&bad).date.present);
}

// The tracker and the record the facade fills agree frame by frame.
TEST(DecodeFrame, TrackerAgreesWithTheRecordTheFacadeFills) {
  std::vector<DatFrame> frames;
  for (int i = 0; i < 70; ++i) frames.push_back(blank_frame());
  frames.push_back(start_id_frame(SID_START_ID | SID_PRIORITY));
  frames.push_back(start_id_frame(SID_START_ID));
  DatFrame fast = timed_frame(0x002, tc(0, 0, 1, 0), tc(0, 0, 0, 0));
  frame_set_main_id(&fast, 1, 0, 0, 0);
  frames.push_back(fast);
  RunSettings s = zeroed_settings();
  FrameTracker t{};
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    int32_t stop_before = s.stop_requested;
    analyze(frames[i], &s);
    FrameInfo info = decode_frame(&frames[i]);
    FrameEvents ev = track_frame(&t, &info);
    EXPECT_EQ(ev.start_id_found, s.start_id_found);
    EXPECT_EQ(ev.rate_changed, s.rate_changed);
    EXPECT_EQ(ev.blank, s.no_subcode);
    EXPECT_EQ(ev.blank_stop, s.stop_requested && !stop_before);
    EXPECT_EQ(t.blank_frames, s.blank_frames);
    EXPECT_EQ(t.last_program, s.last_program);
    EXPECT_EQ(t.abs_time, s.abs_time);
  }
}

}  // namespace
