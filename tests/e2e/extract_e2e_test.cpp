// SPDX-License-Identifier: MIT
// /KESTREL end to end: tapes composed frame by frame on a virtual drive,
// read into WAV files and logs that are compared byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/bytes.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

const char kTotalsClean[] = "total samples fixed: 0\ntotal frames fixed: 0\ntotal frames not fixed: 0\n";

// Three programs of 400 frames, each beginning with a start-ID run, then blank tape.
Tape three_programs() {
  Tape tape;
  for (int p = 1; p <= 3; ++p) tape_record(&tape, Recording{.program = p, .start_id_frames = 20}, 400);
  tape_blank(&tape, 70);
  return tape;
}

TEST(Extract, StartIdsSplitTracksWithStartIdSwitch) {
  Tape tape = three_programs();
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "tape", "/STARTID"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  // Every frame read is written: 61 blank frames are written before the stop.
  WavFile one = t.wav("TAPE001.wav"), two = t.wav("TAPE002.wav"), three = t.wav("TAPE003.wav");
  ASSERT_TRUE(one.valid && two.valid && three.valid);
  EXPECT_EQ(one.rate, 48000u);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 400)));
  EXPECT_TRUE(same_bytes(two.data, tape_pcm(tape, 400, 800)));
  EXPECT_TRUE(same_bytes(three.data, tape_pcm(tape, 800, 1200 + 61)));
  for (const char* log : {"TAPE001.log", "TAPE002.log", "TAPE003.log"}) EXPECT_EQ(t.read(log), kTotalsClean);
  EXPECT_FALSE(t.has("TAPE004.wav"));
  EXPECT_NE(r.out.find("\n - saving audio track# 2 in file:TAPE002.wav              \n"), std::string::npos);
  EXPECT_NE(r.out.find("start_id start 2\n"), std::string::npos);
}

TEST(Extract, WithoutStartIdSwitchOneFileHoldsTheWholeRecording) {
  Tape tape = three_programs();
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(same_bytes(t.wav("TAPE001.wav").data, tape_pcm(tape, 0, 1200 + 61)));
  EXPECT_FALSE(t.has("TAPE002.wav"));
}

TEST(Extract, StartIdWithinTheFirst300FramesDoesNotSplit) {
  Tape tape;
  // The file begins with frame 0: program 2 starts after 100 frames of it,
  // program 3 after 300.
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 5}, 100);
  tape_record(&tape, Recording{.program = 2, .start_id_frames = 5}, 200);
  tape_record(&tape, Recording{.program = 3, .start_id_frames = 5}, 300);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/STARTID"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(same_bytes(t.wav("TAPE001.wav").data, tape_pcm(tape, 0, 300)));
  EXPECT_TRUE(same_bytes(t.wav("TAPE002.wav").data, tape_pcm(tape, 300, 600)));
}

TEST(Extract, RateChangeAfter300FramesStartsANewFileAtTheNewRate) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 1}, 400);
  tape_record(&tape, Recording{.program = 2, .rate_code = 0}, 350);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile one = t.wav("TAPE001.wav"), two = t.wav("TAPE002.wav");
  ASSERT_TRUE(one.valid && two.valid);
  EXPECT_EQ(one.rate, 44100u);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 400)));
  EXPECT_EQ(two.rate, 48000u);
  EXPECT_TRUE(same_bytes(two.data, tape_pcm(tape, 400, 750)));
  EXPECT_NE(r.out.find("rate change found 0 1\n"), std::string::npos);
  EXPECT_NE(r.out.find("rate change found 1 0\n"), std::string::npos);
}

TEST(Extract, ByProgramBeginsAFileAtEveryNewProgramNumber) {
  // Programs of 2 s, 20 s and 5 s at two rates, between a recorder's lead-in
  // and lead-out: one file a program; the lead-out (no valid number) stays
  // in the last. Without /BYPROGRAM the 2-second program is no file of its own.
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 120);
  tape_mark_lead_in(&tape, 0, 120);
  tape_record(&tape, Recording{.program = 1, .rate_code = 1, .start_id_frames = 300}, 67);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1, .start_id_frames = 300}, 667);
  tape_record(&tape, Recording{.program = 3, .rate_code = 0, .start_id_frames = 300}, 167);
  size_t lead_out = tape_record(&tape, Recording{.program = 3, .start_id_frames = 300}, 300);
  for (size_t i = lead_out; i < tape.frames.size(); ++i) {
    tape.frames[i].sid_pno1 = static_cast<uint8_t>(tape.frames[i].sid_pno1 & 0x0F);
    tape.frames[i].sid_pno23 = 0xEE;
  }
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REWIND", "/BYPROGRAM"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(same_bytes(t.wav("TAPE001.wav").data, tape_pcm(tape, 120, 187)));
  EXPECT_TRUE(same_bytes(t.wav("TAPE002.wav").data, tape_pcm(tape, 187, 854)));
  EXPECT_EQ(t.wav("TAPE003.wav").rate, 48000u);
  EXPECT_TRUE(same_bytes(t.wav("TAPE003.wav").data, tape_pcm(tape, 854, tape.frames.size())));
  EXPECT_FALSE(t.has("TAPE004.wav"));

  TapeRun starts;
  r = starts.run(tape, {"/KESTREL", "TAPE", "/REWIND", "/STARTID"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(same_bytes(starts.wav("TAPE001.wav").data, tape_pcm(tape, 120, 854)));
}

TEST(Extract, OneWavKeepsOneFileInWhichEveryFrameGivesItsOwnSamples) {
  // 44.1 kHz, 48 kHz, then 44.1 kHz again: the header keeps the first rate,
  // no frame loses or gains a sample, and the console says where the file
  // plays at the wrong speed and where at the right one again.
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 1}, 400);
  tape_record(&tape, Recording{.program = 2, .rate_code = 0}, 350);
  tape_record(&tape, Recording{.program = 3, .rate_code = 1}, 100);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/ONEWAV"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  EXPECT_EQ(one.rate, 44100u);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 850)));
  EXPECT_FALSE(t.has("TAPE002.wav"));
  EXPECT_NE(r.out.find("\n - TAPE001.wav stays at 44100 Hz across a change to 48000 Hz: from here it plays at the "
                       "wrong speed\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n - back to 44100 Hz: from here TAPE001.wav plays at the right speed\n"), std::string::npos);

  // An early change keeps the audio the file already holds.
  Tape early;
  tape_record(&early, Recording{.program = 1, .rate_code = 1}, 100);
  tape_record(&early, Recording{.program = 2, .rate_code = 0}, 100);
  TapeRun e;
  r = e.run(early, {"/KESTREL", "TAPE", "/ONEWAV"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(same_bytes(e.wav("TAPE001.wav").data, tape_pcm(early, 0, 200)));
}

// A rate change within the first 300 frames of a file: a file of silence
// (a lead-in, a gap) starts over at the new rate; one that holds audio (a
// short recording) is kept, and the new rate begins the next file.
TEST(Extract, EarlyRateChangeStartsOnlyAFileOfSilenceOver) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 1}, 50);
  tape_record(&tape, Recording{.program = 1, .rate_code = 2}, 200);
  Tape quiet = tape;
  for (size_t i = 0; i < 50; ++i) std::memset(quiet.frames[i].audio, 0, DAT_AUDIO_BYTES);
  TapeRun t;
  ProcessResult r = t.run(quiet, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  EXPECT_EQ(one.rate, 32000u);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(quiet, 50, 250)));
  EXPECT_FALSE(t.has("TAPE002.wav"));

  TapeRun audible;
  r = audible.run(tape, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  one = audible.wav("TAPE001.wav");
  WavFile two = audible.wav("TAPE002.wav");
  ASSERT_TRUE(one.valid && two.valid);
  EXPECT_EQ(one.rate, 44100u);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 50)));
  EXPECT_EQ(two.rate, 32000u);
  EXPECT_TRUE(same_bytes(two.data, tape_pcm(tape, 50, 250)));

}

TEST(Extract, ProgramShorterThan300FramesBeforeARateChangeIsKept) {
  // A 5-second program at 44.1 kHz, then the next one at 48 kHz: starting the
  // file over would drop the first program whole.
  Tape tape;
  tape_record(&tape, Recording{.program = 0, .rate_code = 0}, 50);  // silence: dropped at the change
  tape_record(&tape, Recording{.program = 1, .rate_code = 1, .start_id_frames = 300}, 166);
  tape_record(&tape, Recording{.program = 2, .rate_code = 0, .start_id_frames = 300}, 320);
  for (size_t i = 0; i < 50; ++i) std::memset(tape.frames[i].audio, 0, DAT_AUDIO_BYTES);
  for (const char* split : {"/STARTID", "/REWIND"}) {
    TapeRun t;
    ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", split});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    WavFile one = t.wav("TAPE001.wav"), two = t.wav("TAPE002.wav");
    ASSERT_TRUE(one.valid && two.valid) << split;
    EXPECT_EQ(one.rate, 44100u);
    EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 50, 216))) << split;
    EXPECT_EQ(two.rate, 48000u);
    EXPECT_TRUE(same_bytes(two.data, tape_pcm(tape, 216, 536))) << split;
    EXPECT_FALSE(t.has("TAPE003.wav"));
  }
  // /ONEWAV starts over only the silence, then keeps the short program and
  // the next one in one file, each frame with its own samples.
  TapeRun one_wav;
  ProcessResult r = one_wav.run(tape, {"/KESTREL", "TAPE", "/ONEWAV"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile one = one_wav.wav("TAPE001.wav");
  EXPECT_EQ(one.rate, 44100u);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 50, 536)));
  EXPECT_FALSE(one_wav.has("TAPE002.wav"));
}

TEST(Extract, FirstFrameReadIsWrittenAndBeginsTheFileAtItsRate) {
  // The reading starts on a frame of one rate (a sought position) and the
  // frames after it are at another: the first frame keeps its own file, at
  // its rate; the rest begin the next.
  struct Case {
    Recording after;
    uint32_t rate;
  };
  for (const Case& c : {Case{Recording{.program = 1, .rate_code = 1}, 44100u},
                        Case{Recording{.program = 1, .long_play = true}, 32000u},
                        Case{Recording{.program = 1, .rate_code = 0}, 48000u}}) {
    Tape tape;
    tape_record(&tape, Recording{.program = 1, .rate_code = c.rate == 48000u ? 1 : 0}, 1);
    tape_record(&tape, c.after, 120);
    TapeRun t;
    ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    WavFile one = t.wav("TAPE001.wav");
    WavFile two = t.wav("TAPE002.wav");
    ASSERT_TRUE(one.valid && two.valid);
    EXPECT_EQ(one.rate, c.rate == 48000u ? 44100u : 48000u);
    EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 1))) << c.rate;
    EXPECT_EQ(two.rate, c.rate);
    EXPECT_TRUE(same_bytes(two.data, tape_pcm(tape, 1, 121))) << c.rate;
    EXPECT_FALSE(t.has("TAPE003.wav"));
    std::string o = r.out; for (char& c : o) if (c == '\r') c = '\n';
    std::fprintf(stderr, "%s\n", o.substr(0, 3000).c_str());
  }
}

TEST(Extract, LongPlayTapeGives32kHzFilesOf7680BytesPerFrame) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .long_play = true}, 120);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  EXPECT_EQ(one.rate, 32000u);
  EXPECT_EQ(one.data.size(), 120u * 7680);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 120)));
}

TEST(Extract, SixteenBitFramesAfterLongPlayGiveTheirOwnPcmAndAMatchingHeader) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .long_play = true}, 20);
  tape_record(&tape, Recording{.program = 1, .rate_code = 2}, 30);  // same rate code, 16-bit
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 50)));
  EXPECT_EQ(one.data.size(), 20u * 7680 + 30u * 3840);
}

TEST(Extract, FlaggedFramesAreLoggedAndRepairedWithErrorCorrect) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 40);
  // Frame 10: left channel 1000, 0, 1000, 0, ... (719 near-zero spikes); frame 20 flagged 0x80.
  DatFrame& spiky = tape.frames[10];
  for (int k = 0; k < 1440; ++k) {
    int16_t left = (k % 2 == 0) ? 1000 : 0;
    spiky.audio[4 * k] = static_cast<uint8_t>(left);
    spiky.audio[4 * k + 1] = static_cast<uint8_t>(left >> 8);
    spiky.audio[4 * k + 2] = spiky.audio[4 * k + 3] = 0;
  }
  tape_flag(&tape, 10, 0x40);
  tape_flag(&tape, 20, 0x80);

  TapeRun plain;
  ProcessResult r = plain.run(tape, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_TRUE(same_bytes(plain.wav("TAPE001.wav").data, tape_pcm(tape, 0, 40)));
  std::string subcode10 = "PRG:01-A:00:00:00:10-P:00:00:00:10-DATE:00/00/00-00:00:00-48k-2-16-SCMS=00 ";
  std::string subcode20 = "PRG:01-A:00:00:00:20-P:00:00:00:20-DATE:00/00/00-00:00:00-48k-2-16-SCMS=00 ";
  EXPECT_EQ(plain.read("TAPE001.log"), "Error: 0x40 - " + subcode10 + "Error: 0x80 - " + subcode20 +
                                          "total samples fixed: 0\ntotal frames fixed: 0\ntotal frames not fixed: 2\n");
  EXPECT_NE(r.out.find("\n - Error detected in data buffer ... \n - interpolate flag set to 40 writing buffer to "
                       "file:TAPE001.wav\n"),
            std::string::npos)
      << "a SONY names no channel";

  TapeRun repaired;
  r = repaired.run(tape, {"/KESTREL", "TAPE", "/ERRORCORRECT"});
  ASSERT_EQ(r.exit_code, 5) << r.out;  // repaired, the frames are still the damaged ones
  std::string expected = tape_pcm(tape, 0, 40);
  std::string& frame10 = expected;
  for (int k = 1; k <= 1437; k += 2) {
    frame10[10 * 5760 + 4 * k] = static_cast<char>(1000 & 0xFF);
    frame10[10 * 5760 + 4 * k + 1] = static_cast<char>(1000 >> 8);
  }
  EXPECT_TRUE(same_bytes(repaired.wav("TAPE001.wav").data, expected));
  EXPECT_EQ(repaired.read("TAPE001.log"),
            "Error: 0x40 - " + subcode10 + " - fixed left: 0x02cf, right: 0x0000\n" + "Error: 0x80 - " +
                subcode20 + " - not fixed\n" +
                "total samples fixed: 719\ntotal frames fixed: 1\ntotal frames not fixed: 1\n");
  EXPECT_NE(r.out.find("attempting to correct\n"), std::string::npos);
}

TEST(Extract, BlankStretchEndsTheRunOnIts62ndFrameAndStopEotReadsOn) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 100);
  tape_blank(&tape, 80);
  tape_record(&tape, Recording{.program = 2}, 50);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(same_bytes(t.wav("TAPE001.wav").data, tape_pcm(tape, 0, 100 + 61)));

  // /STOPEOT reads on over the blank stretch; at the end of the recorded data
  // the run ends by itself once the drive has said so on 62 reads in a row,
  // and says once that the data has ended (no failed read).
  TapeRun eot;
  r = eot.run(tape, {"/KESTREL", "TAPE", "/STOPEOT"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(same_bytes(eot.wav("TAPE001.wav").data, tape_pcm(tape, 0, 230)));
  EXPECT_NE(r.out.find("-SCMS=00 \n - end of the recorded data\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(" - end of the recorded data"), r.out.rfind(" - end of the recorded data")) << r.out;
  EXPECT_EQ(r.out.find("read audio block failed"), std::string::npos) << r.out;
  EXPECT_EQ(eot.read("TAPE001.log"), kTotalsClean) << "the end of data is no unreadable frame";
}

TEST(Extract, ReadErrorInMidTrackClosesTheTrack) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 100);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"}, {{"read_errors", "50"}});
  EXPECT_EQ(r.exit_code, 6) << r.out;  // it ended the reading early
  EXPECT_NE(r.out.find("-SCMS=00 \nloop2 read audio block failed: 4031100\n"), std::string::npos) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  EXPECT_TRUE(one.valid);
  // The place of the unreadable frame is a frame of silence.
  const std::string silence(5760, '\0');
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 50) + silence));
  const std::string after49 = "PRG:01-A:00:00:01:16-P:00:00:01:16-DATE:00/00/00-00:00:00-48k-2-16-SCMS=00 ";
  EXPECT_EQ(t.read("TAPE001.log"), "Unreadable: 0x04031100 - after " + after49 + "\n" + kTotalsClean +
                                      "total frames unreadable: 1\n");

  // /STOPEOT reads on past unreadable frames, and each one is in the log.
  TapeRun eot;
  r = eot.run(tape, {"/KESTREL", "TAPE", "/STOPEOT"}, {{"read_errors", "50 70"}});
  EXPECT_EQ(r.exit_code, 5) << r.out;  // to the end, two frames silent in their places
  std::string expected = tape_pcm(tape, 0, 50) + silence + tape_pcm(tape, 51, 70) + silence + tape_pcm(tape, 71, 100);
  EXPECT_TRUE(same_bytes(eot.wav("TAPE001.wav").data, expected));
  std::string log = eot.read("TAPE001.log");
  EXPECT_EQ(log.rfind("Unreadable: 0x04031100 - after " + after49 + "\nUnreadable: 0x04031100 - after PRG:01-A:00:00:02:03", 0), 0u) << log;
  EXPECT_NE(log.find(std::string(kTotalsClean) + "total frames unreadable: 2\n"), std::string::npos) << log;
}

TEST(Extract, EndOfDataOnAShortTapeKeepsEveryFrameAtItsRate) {
  // The failed read at the end of data must not read as a frame at 48 kHz.
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 1}, 100);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"}, {}, {}, {{"stats", "stats.json"}});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("-SCMS=00 \n - end of the recorded data\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("loop2 read audio block failed"), std::string::npos) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  EXPECT_EQ(one.rate, 44100u);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 100)));
  EXPECT_EQ(r.out.find("rate change found 1 0"), std::string::npos);
  // The drive's tally, written when kestrel unloads the provider: every frame
  // once, 30 ms each; the READ at the end of data does not move the tape.
  std::string stats = t.read("stats.json");
  EXPECT_EQ(stats_figure(stats, "reads"), 100) << stats;
  EXPECT_EQ(stats_figure(stats, "writes"), 0) << stats;
  EXPECT_NEAR(stats_figure(stats, "drive_seconds"), 3.0, 0.0005) << stats;
}

TEST(Extract, FailedReadOfTheSecondFrameIsNeverWrittenAsAudio) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 60);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/STOPEOT"}, {{"read_errors", "1"}});
  EXPECT_EQ(r.exit_code, 5) << r.out;
  EXPECT_NE(r.out.find("loop2 read audio block failed: 4031100\n"), std::string::npos) << r.out;
  // Silence in its place, never the zeroed buffer's bytes read as a frame's.
  EXPECT_TRUE(same_bytes(t.wav("TAPE001.wav").data, tape_pcm(tape, 0, 1) + std::string(5760, '\0') + tape_pcm(tape, 2, 60)));
}

TEST(Extract, RewindSkipsTheBlankLeaderAndTheLeadIn) {
  // Blank tape, then a recorder's lead-in with subcode: the first frame
  // written is the first frame of the recording, also under /STARTID.
  Tape tape;
  tape_blank(&tape, 10);
  tape_record(&tape, Recording{.program = 1}, 120);
  tape_mark_lead_in(&tape, 10, 130);
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 300}, 350);
  tape_record(&tape, Recording{.program = 2, .start_id_frames = 300}, 320);
  for (bool lead_in : {false, true}) {
    Tape t_tape = tape;
    if (!lead_in) t_tape.frames.erase(t_tape.frames.begin() + 10, t_tape.frames.begin() + 130);
    size_t first = lead_in ? 130 : 10;
    TapeRun t;
    ProcessResult r = t.run(t_tape, {"/KESTREL", "TAPE", "/REWIND", "/STARTID"});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find(" - scanning past lead-in: done        \n"), std::string::npos);
    EXPECT_TRUE(same_bytes(t.wav("TAPE001.wav").data, tape_pcm(t_tape, first, first + 350))) << lead_in;
    EXPECT_TRUE(same_bytes(t.wav("TAPE002.wav").data, tape_pcm(t_tape, first + 350, first + 670))) << lead_in;
    EXPECT_FALSE(t.has("TAPE003.wav"));
  }
}

TEST(Extract, EscEndsALongLeadInScanWithoutFiles) {
  Tape tape;
  tape_blank(&tape, 3000);  // no subcode: the scan would read to the end of the tape
  tape_record(&tape, Recording{.program = 1}, 50);
  TapeRun t;
  ProcessOptions options;
  options.stdin_data = "\x1b";
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REWIND"}, {}, options);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_EQ(r.out.find("scanning past lead-in: done"), std::string::npos);
  EXPECT_FALSE(t.has("TAPE001.wav"));
  EXPECT_NE(r.out.find(" - closing input drive...\n"), std::string::npos);
}

TEST(Extract, EscAndInterruptEndTheRunWithValidFiles) {
  Tape tape = three_programs();
  // ESC waiting from the start: the first frame written is the last.
  TapeRun esc;
  ProcessOptions options;
  options.stdin_data = "\x1b";
  ProcessResult r = esc.run(tape, {"/KESTREL", "TAPE", "/STARTID"}, {}, options);
  EXPECT_EQ(r.exit_code, 6) << r.out;  // ended early
  WavFile one = esc.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 1)));
  EXPECT_EQ(esc.read("TAPE001.log"), kTotalsClean);
  EXPECT_FALSE(esc.has("TAPE002.wav"));

  // Ctrl-C at the 500th frame read (frame 499): the run ends as with ESC,
  // after the frame before it.
  TapeRun sigint;
  r = sigint.run(tape, {"/KESTREL", "TAPE", "/STARTID"}, {}, {}, {{"interrupt_at", "500"}});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_TRUE(same_bytes(sigint.wav("TAPE001.wav").data, tape_pcm(tape, 0, 400)));
  WavFile cut = sigint.wav("TAPE002.wav");
  ASSERT_TRUE(cut.valid);
  EXPECT_TRUE(same_bytes(cut.data, tape_pcm(tape, 400, 499)));
  EXPECT_FALSE(sigint.has("TAPE003.wav"));
  EXPECT_NE(r.out.find(" - closing input drive...\n"), std::string::npos) << "the drive is torn down";
}

TEST(Extract, SecondInterruptEndsKestrelAtOnceWithTheWavHeaderAgreeingWithItsAudio) {
  // Two Ctrl-C at the 3000th frame: the WAV file keeps the audio that reached
  // it, and its header says so (it used to say 0 bytes).
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 3100);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"}, {}, {}, {{"interrupt_at", "3000"}, {"interrupts", "2"}});
  EXPECT_EQ(r.term_signal, SIGINT) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  EXPECT_GT(one.data.size(), 2000u * 5760);  // all but what the last write still held
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 3000).substr(0, one.data.size())));
}

TEST(Extract, FullDiskFailsTheModeAndLeavesValidFiles) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 200);
  TapeRun t;
  ProcessOptions options;
  options.file_size_limit = 100000;  // room for 17 frames and a part of the 18th
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE"}, {}, options);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("write to TAPE001.wav failed: File too large\n"), std::string::npos) << r.out;
  WavFile one = t.wav("TAPE001.wav");
  ASSERT_TRUE(one.valid);
  std::string expected = tape_pcm(tape, 0, 200);
  EXPECT_TRUE(same_bytes(one.data, expected.substr(0, (100000 - 44) / 4 * 4)));
  EXPECT_EQ(t.read("TAPE001.log"), kTotalsClean);
  EXPECT_NE(r.out.find(" - closing input drive...\n"), std::string::npos);
}

TEST(Extract, FileSizeLimitOfTheShellFailsTheModeInsteadOfEndingKestrel) {
  // "ulimit -f" leaves SIGXFSZ at its default, which ends a process that
  // writes past the limit: the WAV file would be left with a header for 0 bytes.
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 200);
  TempDir dir;
  ASSERT_TRUE(tape_write(tape, dir.file("tape.dat")));
  ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "tape.dat"}}}}));
  ProcessOptions options = bus_options(dir.file("bus.ini"));
  options.env.push_back("KESTREL_CLOCK=simulated");
  options.cwd = dir.path();
  ProcessResult r = run_process("/bin/bash",
                                {"-c", "ulimit -f 100 && exec \"$0\" \"$@\"", build_path("kestrel"), "/KESTREL", "TAPE",
                                 "/INPUTID", "0:4"},
                                options);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("write to TAPE001.wav failed: File too large\n"), std::string::npos) << r.out;
  WavFile one = read_wav(dir.file("TAPE001.wav"));
  ASSERT_TRUE(one.valid);
  EXPECT_TRUE(same_bytes(one.data, tape_pcm(tape, 0, 200).substr(0, (102400 - 44) / 4 * 4)));
}

// The 44-byte header's data size and the size of a WAV file, read without
// loading the audio.
struct WavSizes {
  uint32_t riff_size = 0;
  uint32_t data_size = 0;
  long long file_size = -1;
};
WavSizes wav_sizes(const std::string& path) {
  WavSizes sizes;
  uint8_t header[44] = {};
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return sizes;
  size_t got = std::fread(header, 1, sizeof header, file);
  std::fclose(file);
  struct stat info {};
  if (got != sizeof header || stat(path.c_str(), &info) != 0) return sizes;
  auto u32 = [&](int at) {
    return static_cast<uint32_t>(header[at]) | static_cast<uint32_t>(header[at + 1]) << 8 |
           static_cast<uint32_t>(header[at + 2]) << 16 | static_cast<uint32_t>(header[at + 3]) << 24;
  };
  sizes.riff_size = u32(4);
  sizes.data_size = u32(40);
  sizes.file_size = info.st_size;
  return sizes;
}

// Writes 4.3 GB and takes half a minute or more, so it runs with the soak run
// (scripts/campaign --soak) rather than with the suite.
TEST(Extract, DISABLED_RecordingLongerThanAWavFileHoldsGoesOnInTheNextFile) {
  // A WAV file states its sizes in 32 bits: 4 GiB of audio at most, some
  // six hours at 48 kHz, a 4.7-hour long-play recording. Without /STARTID a
  // whole tape goes into one file. The tape here is 745,755 silent frames (a
  // sparse cassette file); /STOPEOT reads on over them, Ctrl-C ends the run at
  // the last one.
  const long long kFrames = 745755;
  const long long kFirstFile = 745653;  // frames while a long-play frame still fits behind them
  TempDir dir;
  int fd = open(dir.file("tape.dat").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, kFrames * DAT_FRAME_BYTES), 0);
  close(fd);
  ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "tape.dat"}}}},
                             {{"interrupt_at", std::to_string(kFrames)}}));
  ProcessOptions options = bus_options(dir.file("bus.ini"));
  options.cwd = dir.path();
  ProcessResult r = run_kestrel({"/KESTREL", "TAPE", "/STOPEOT", "/INPUTID", "0:4"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  WavSizes one = wav_sizes(dir.file("TAPE001.wav"));
  EXPECT_EQ(one.data_size, kFirstFile * 5760);
  EXPECT_EQ(one.riff_size, kFirstFile * 5760 + 36);
  EXPECT_EQ(one.file_size, 44 + kFirstFile * 5760);
  EXPECT_NE(r.out.find("\n - TAPE001.wav holds all a WAV file can: the recording goes on in the next file\n"),
            std::string::npos);
  // The frames the run wrote, 0 to kFrames - 2, all kept.
  WavFile two = read_wav(dir.file("TAPE002.wav"));
  ASSERT_TRUE(two.valid);
  EXPECT_EQ(two.data, std::string((kFrames - 1 - kFirstFile) * 5760, '\0'));
}

TEST(Extract, OnlyTheFirstModeRunsWhenTwoAreGiven) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 30);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/BITTERN", "IMAGE", "/KESTREL", "TAPE"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.out.rfind("KESTREL - version 1.3b\nBITTERN\nKESTREL\n", 0), 0u);
  EXPECT_TRUE(t.wav("TAPE001.wav").valid);
  EXPECT_FALSE(t.has("IMAGE.img"));
}

}  // namespace
