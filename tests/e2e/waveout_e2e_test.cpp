// SPDX-License-Identifier: MIT
// /KESTREL /WAVEOUT end to end: the tape played through the wave-out device.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/bytes.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

const size_t kPreRollBytes = 6 * 16384;  // a quarter of the ring, silent, at every start

// /KESTREL X /WAVEOUT with the tape in the run's drive, played through device.
ProcessResult play(const TapeRun& run, const Tape& tape, const std::string& device,
                   const std::vector<std::string>& extra = {}) {
  ProcessOptions options;
  options.env = {"KESTREL_WAVEOUT=" + device};
  std::vector<std::string> args = {"/KESTREL", "X", "/WAVEOUT"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run.run(tape, args, {}, options);
}

size_t files_in(const std::string& dir) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) count += entry.is_regular_file();
  return count;
}

TEST(WaveOut, PlaysExactlyTheTapesPcmTrackByTrack) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 10}, 350);
  tape_record(&tape, Recording{.program = 2, .start_id_frames = 10}, 333);
  TapeRun dir;
  TempDir out;
  ProcessResult r = play(dir, tape, "file:" + out.file("played.wav"), {"/STARTID"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("Playing audio track# 1                                                    \n"),
            std::string::npos);
  EXPECT_NE(r.out.find("Playing audio track# 2"), std::string::npos);
  WavFile played = read_wav(out.file("played.wav"));
  ASSERT_TRUE(played.valid);
  EXPECT_EQ(played.rate, 48000u);
  std::string silence(kPreRollBytes, '\0');
  EXPECT_TRUE(same_bytes(played.data, silence + tape_pcm(tape, 0, 350) + silence + tape_pcm(tape, 350, 683)));
  EXPECT_EQ(files_in(dir.dir.path()), 2u) << "no WAV or log files beside the tape and the bus file";
}

TEST(WaveOut, PlaysAt44100ForA44kHzTape) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 1}, 81);
  TapeRun dir;
  ProcessResult r = play(dir, tape, "file:" + dir.path("played.wav"));
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile played = read_wav(dir.path("played.wav"));
  ASSERT_TRUE(played.valid);
  EXPECT_EQ(played.rate, 44100u);
  EXPECT_TRUE(same_bytes(played.data, std::string(kPreRollBytes, '\0') + tape_pcm(tape, 0, 81)));
}

// /DEEMPHASIS plays pre-emphasised frames de-emphasised, exactly as it writes
// them into a file; without it they play as recorded. Either way the console
// says so once per track.
TEST(WaveOut, PreEmphasisIsPlayedDeEmphasisedOrAsRecordedAndSaid) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 350);
  for (size_t i = 0; i < 200; ++i) tape.frames[i].main_id_format |= 0x10;  // 50/15 us, then none
  TapeRun written;
  ProcessResult r = written.run(tape, {"/KESTREL", "X", "/DEEMPHASIS"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile file = read_wav(written.path("X001.wav"));
  ASSERT_TRUE(file.valid);
  ASSERT_FALSE(same_bytes(file.data, tape_pcm(tape, 0, 350))) << "the file is de-emphasised";

  const std::string silence(kPreRollBytes, '\0');
  struct Case {
    std::vector<std::string> extra;
    std::string played;
    std::string said;
  } cases[] = {
      {{"/DEEMPHASIS"}, silence + file.data, " - the audio is pre-emphasised (50/15 us): played de-emphasised\n"},
      {{}, silence + tape_pcm(tape, 0, 350), " - the audio is pre-emphasised (50/15 us): played as recorded\n"},
  };
  for (const Case& c : cases) {
    TapeRun dir;
    r = play(dir, tape, "file:" + dir.path("played.wav"), c.extra);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    WavFile played = read_wav(dir.path("played.wav"));
    ASSERT_TRUE(played.valid);
    EXPECT_TRUE(same_bytes(played.data, c.played)) << c.said;
    size_t at = r.out.find(c.said);
    EXPECT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("pre-emphasised", at + c.said.size()), std::string::npos) << "once per track: " << r.out;
  }
}

TEST(WaveOut, DeviceThatCannotPlayFailsTheMode) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 20);
  TapeRun dir;
  ProcessResult r = play(dir, tape, "none");
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_NE(r.out.find("wave out init failed: -1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" - closing input drive...\n"), std::string::npos);
}

TEST(WaveOut, MissingSoundDeviceFailsCleanlyWithALogLine) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 20);
  TapeRun dir;
  ProcessResult r = play(dir, tape, "alsa:no-such-device");
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_NE(r.out.find("wave out init failed: -2\n"), std::string::npos) << r.out;
  EXPECT_NE(read_file(dir.path("log.txt")).find("Unable to open waveform output device"), std::string::npos);
}

}  // namespace
