// SPDX-License-Identifier: MIT
// /GOSHAWK on a virtual drive with simulated time: the cue file's options and
// list, failures of the drive, ESC, and the recorded cassette frame by frame.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <set>

#include "base/dat_format.h"
#include "datframe/dat_frame.h"
#include "tests/support/e2e/audio_files.h"
#include "tests/support/e2e/recording.h"
#include "tests/support/e2e/tape.h"

namespace {

// Whether a 32 kHz source goes into long play is said at its track, not here.
const std::string kFullSummary =
    "Start IDs will be marked\nSCMS will be set to 00\nAbsolute time will be marked\n"
    "Program numbers will be marked\nTime and date will be marked\n";

// The BCD time code of the n-th frame from 00:00:00:00.
std::vector<uint8_t> time_of(int n) {
  std::vector<uint8_t> bytes(4);
  dat_time_code_of_frames(static_cast<uint64_t>(n), bytes.data());
  return bytes;
}
const std::vector<uint8_t> kNoTime = {0xAA, 0xAA, 0xAA, 0xAA};

// A time pack as the recorder writes it, parity included.
std::vector<uint8_t> time_pack(int item, int program, int index, const std::vector<uint8_t>& time) {
  std::vector<uint8_t> p(8);
  p[0] = static_cast<uint8_t>(item << 4 | (program >> 8 & 7));
  p[1] = static_cast<uint8_t>(program);
  p[2] = static_cast<uint8_t>(index);
  for (int i = 0; i < 4; ++i) p[3 + i] = time[i];
  for (int i = 0; i < 7; ++i) p[7] ^= p[i];
  return p;
}
std::vector<uint8_t> pack_of(const DatFrame& f, int slot) { return {f.pack[slot - 1], f.pack[slot - 1] + 8}; }

bool audio_is_zero(const DatFrame& f, size_t from = 0) {
  for (size_t i = from; i < DAT_AUDIO_BYTES; ++i)
    if (f.audio[i]) return false;
  return true;
}
int sub_id_program(const DatFrame& f) { return (f.sid_pno1 >> 4) << 8 | f.sid_pno23; }

// Program numbers of the audio frames (sid_pno23 a plain track number) in tape order, one per run.
std::vector<int> programs_on(const std::vector<DatFrame>& tape) {
  std::vector<int> out;
  for (const DatFrame& f : tape) {
    int p = sub_id_program(f);
    if (p == PROGRAM_LEAD_IN || p == PROGRAM_LEAD_OUT || p == 0 || !(f.sid_pno1 & 0x0F)) continue;
    if (out.empty() || out.back() != p) out.push_back(p);
  }
  return out;
}

// A 16-bit stereo WAV of `frames` sample pairs at `rate`.
std::string stereo_wav(const RecordingFolder& folder, const std::string& name, int rate, size_t frames,
                       uint32_t seed = 1) {
  write_wav_file(folder.file(name), 1, 2, rate, 16, pcm16_bytes(test_pattern(frames, 2, seed)));
  return name;
}

TEST(RecordConfig, SummariesOfTheOptions) {
  struct Case {
    std::string config;
    std::string printed;
  } cases[] = {
      {"[CONFIG]\n", kFullSummary},
      {"", kFullSummary},
      // ON and OFF in any case; any other value is said and taken as OFF.
      {"[CONFIG]\nSTARTID=on\nTIME_DATE=On\n32KHZ_LP=off\nABS_TIME=yes\nPROGRAM_NUMBER=Off\nEMPHASIS=on\n",
       "Start IDs will be marked\nSCMS will be set to 00\n"
       "ABS_TIME=yes in the cue file is neither ON nor OFF: taken as OFF\nTime and date will be marked\n"
       "Pre-emphasis (50/15 us) will be marked\n"},
      {"[CONFIG]\nSTARTID=true\nEMPHASIS=ON ; pre-emphasised\n32KHZ_LP=oFf\n",
       "STARTID=true in the cue file is neither ON nor OFF: taken as OFF\nSCMS will be set to 00\n"
       "Absolute time will be marked\nProgram numbers will be marked\nTime and date will be marked\n"
       "EMPHASIS=ON ; pre-emphasised in the cue file is neither ON nor OFF: taken as OFF\n"},
      {"[CONFIG]\nSCMS=3\nSTARTID=OFF\nABS_TIME=OFF\nPROGRAM_NUMBER=OFF\n32KHZ_LP=OFF\nTIME_DATE=OFF\n",
       "SCMS will be set to 3\n"},
      {"[CONFIG]\nSTARTID=OFF\nSCMS=11\nABS_TIME=OFF\nPROGRAM_NUMBER=OFF\n32KHZ_LP=OFF\nTIME_DATE=OFF\n"
       "INTERTRACK_SILENCE=0\nLEADIN_SILENCE=5\nLEADOUT_SILENCE=-3\n",
       "SCMS will be set to 11\nLead-in silence = 5 seconds\nLead-out silence = -3 seconds\n"},
      {"[CONFIG]\nSTARTID=OFF\nABS_TIME=OFF\nPROGRAM_NUMBER=OFF\n32KHZ_LP=OFF\nTIME_DATE=OFF\n"
       "INTERTRACK_SILENCE=abc\nLEADIN_SILENCE=12x\n",
       "SCMS will be set to 00\nInter-track silence = 0 seconds\nLead-in silence = 12 seconds\n"},
      {"[CONFIG]\nSTARTID=\nSCMS=\nABS_TIME=\nPROGRAM_NUMBER=\n32KHZ_LP=\nTIME_DATE=\nINTERTRACK_SILENCE=\n"
       "LEADIN_SILENCE=\nLEADOUT_SILENCE=\n",
       "startid error 0\nSCMS will be set to \nabs_time error 0\nprogram_number error 0\n32klp error 0\n"
       "time_date error 0\nintertrack_silence error 0\nInter-track silence = 0 seconds\n"
       "lead-in_silence error 0\nLead-in silence = 0 seconds\nlead-out_silence error 0\n"
       "Lead-out silence = 0 seconds\n"},
  };
  for (const Case& c : cases) {
    RecordingFolder folder;
    folder.write_cue("SET", c.config + "[FILES]\nFILE_001=NONE\nFILE_002=a.wav\n");
    ProcessResult r = folder.record("SET");
    EXPECT_EQ(r.exit_code, 6) << r.out;  // nothing to record: the mode cannot start
    EXPECT_NE(r.out.find("\n\n" + c.printed + "\nno file\n"), std::string::npos) << c.config << r.out;
    EXPECT_FALSE(r.out.find("Writing lead-in") != std::string::npos);
    EXPECT_TRUE(folder.tape().empty()) << "the tape is not touched";
  }
}

TEST(RecordConfig, CueFileFoundBesideTheProgramThenInTheCurrentFolderInAnyCase) {
  RecordingFolder folder;
  ProcessResult r = folder.record("LISTS/NOPE.TXT");
  EXPECT_EQ(r.exit_code, 6);
  // Both places looked in are named.
  EXPECT_NE(r.out.find("\nCannot find cue file: neither " + build_path("NOPE.CUE") + " (beside the program) nor " +
                       folder.file("NOPE.CUE") + " (in the current folder) exists (its name in any case)\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(folder.tape().empty());

  // A cue file that lists nothing to record says what it lacks.
  struct Case {
    std::string text;
    std::string said;
  } lacking[] = {
      {"[CONFIG]\nSTARTID=ON\n", " has no [FILES] section to list FILE_001 in: nothing to record\n"},
      {"[FILES]\nFILE_002=a.wav\n", " lists no FILE_001 in its [FILES] section: nothing to record\n"},
  };
  for (const Case& c : lacking) {
    folder.write_cue("EMPTY", c.text);
    r = folder.record("EMPTY");
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_NE(r.out.find("\nCue file EMPTY.CUE" + c.said), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Start IDs"), std::string::npos);
    EXPECT_EQ(r.out.find("Cannot find cue file"), std::string::npos);
  }
  if (geteuid() != 0) {  // root reads it all the same
    chmod(folder.file("EMPTY.CUE").c_str(), 0);
    r = folder.record("EMPTY");
    EXPECT_NE(r.out.find("\nCannot read cue file EMPTY.CUE: Permission denied\n"), std::string::npos) << r.out;
  }
  EXPECT_TRUE(folder.tape().empty());

  // The argument is upper-cased; the file on disk is not.
  write_file(folder.file("my set.cue"), "[files]\nfile_001 = one.wav\n");
  stereo_wav(folder, "one.wav", 48000, 1440);
  r = folder.record("lists/My Set.txt");
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("File: one.wav\n"), std::string::npos) << r.out;
  EXPECT_EQ(programs_on(folder.tape()), std::vector<int>{1});
}

TEST(RecordList, GapsNoneEmptyMissingAndUnknownEntries) {
  RecordingFolder folder;
  stereo_wav(folder, "a.wav", 48000, 1440 * 2);
  stereo_wav(folder, "b.wav", 44100, 1323 * 3);
  stereo_wav(folder, "c.wav", 48000, 1440);
  folder.write_cue("SET",
                   "[FILES]\nFILE_001=a.wav\nFILE_002=\nFILE_003=missing.wav\nFILE_004=notes.txt\n"
                   "FILE_005=b.wav\nFILE_007=c.wav\n");
  ProcessResult r = folder.record("SET");
  EXPECT_EQ(r.exit_code, 5) << r.out;  // three files of the list are not on the tape
  EXPECT_NE(r.out.find("\nwhich_file error 0\nFile: \nopen file failed\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("File: missing.wav\nerror opening file\n\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("File: notes.txt\nopen file failed\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("File: b.wav\n"), std::string::npos);
  EXPECT_EQ(r.out.find("c.wav"), std::string::npos) << "the gap ends the list";
  std::vector<DatFrame> tape = folder.tape();
  EXPECT_EQ(programs_on(tape), (std::vector<int>{0x001, 0x005})) << "every entry consumes its number";

  // NONE ends the list even when later keys exist.
  folder.write_cue("SET2", "[FILES]\nFILE_001=a.wav\nFILE_002=b.wav\nFILE_003=NONE\nFILE_004=c.wav\n");
  r = folder.record("SET2");
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(programs_on(folder.tape()), (std::vector<int>{0x001, 0x002})) << r.out;
  EXPECT_EQ(r.out.find("c.wav"), std::string::npos);
}

// Files named as MPEG audio that are none (a WAV file, a FIFO, a device, a
// large file of nothing) and a WAV file without audio are skipped as files
// that cannot be opened: at once, without noise on tape or libmpg123 on
// standard error.
TEST(RecordList, FilesThatHoldNoAudioAreSkipped) {
  RecordingFolder folder;
  ASSERT_TRUE(write_file(folder.file("strings.mp3"), read_file(std::string(KESTREL_SOURCE_DIR) +
                                                                 "/tests/fixtures/demo_strings.wav")));
  ASSERT_EQ(mkfifo(folder.file("fifo.mp3").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", folder.file("zero.mp2").c_str()), 0);
  ASSERT_EQ(truncate((write_file(folder.file("huge.mpa"), ""), folder.file("huge.mpa")).c_str(), 1LL << 30), 0);
  write_wav_file(folder.file("empty.wav"), 1, 2, 44100, 16, "");
  ASSERT_TRUE(write_file(folder.file("song.mp3"), read_file(std::string(KESTREL_SOURCE_DIR) +
                                                              "/tests/fixtures/stereo_44k.mp3")));
  folder.write_cue("SET", "[FILES]\nFILE_001=strings.mp3\nFILE_002=fifo.mp3\n"
                          "FILE_003=zero.mp2\nFILE_004=huge.mpa\nFILE_005=empty.wav\nFILE_006=song.mp3\n");
  ProcessOptions options;
  options.timeout_s = 60;
  ProcessResult r = folder.record("SET", options);
  ASSERT_FALSE(r.timed_out) << r.out;
  EXPECT_EQ(r.exit_code, 5) << r.out;
  EXPECT_EQ(r.err, "");
  for (const char* name : {"strings.mp3", "fifo.mp3", "zero.mp2", "huge.mpa"})
    EXPECT_NE(r.out.find(std::string("File: ") + name + "\ncannot analyze file " + name + "\nopen file failed\n"),
              std::string::npos)
        << name << r.out;
  EXPECT_NE(r.out.find("File: empty.wav\nempty.wav holds no audio: its data chunk is empty\nopen file failed\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("converting"), std::string::npos) << r.out;
  std::vector<DatFrame> tape = folder.tape();
  EXPECT_EQ(programs_on(tape), std::vector<int>{6});
  ASSERT_EQ(tape.size(), 120u + 67 + 300) << "only song.mp3's 2 seconds at 44.1 kHz";
  for (size_t i = 0; i < tape.size(); ++i) EXPECT_EQ(!audio_is_zero(tape[i]), i >= 120 && i < 187) << i;
}

// What happens to each source is said once, at its track: a rate that is
// converted is no "not supported file type", the first file's probe for the
// lead-in silence says nothing, and long play is said where it applies.
TEST(RecordList, WhatIsDoneToEachSourceIsSaidOnceAtItsTrack) {
  RecordingFolder folder;
  write_wav_file(folder.file("hi.wav"), 1, 2, 96000, 16, pcm16_bytes(test_pattern(9600, 2, 3)));
  ASSERT_TRUE(write_file(folder.file("voice.mp3"), read_file(std::string(KESTREL_SOURCE_DIR) +
                                                               "/tests/fixtures/mono_22k.mp3")));
  stereo_wav(folder, "lp.wav", 32000, 3200);
  folder.write_cue("SET", "[CONFIG]\nLEADIN_SILENCE=1\n[FILES]\nFILE_001=hi.wav\nFILE_002=voice.mp3\n"
                          "FILE_003=lp.wav\n");
  ProcessResult r = folder.record("SET");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const std::string said[] = {
      "Writing lead-in...done\nWriting lead-in silence...done\n\nFile: hi.wav\n"
      "converting 16-bit stereo at 96000 Hz to 16-bit stereo at 48000 Hz\n",
      "File: voice.mp3\nconverting 16-bit mono at 22050 Hz to 16-bit stereo at 44100 Hz\n",
      "File: lp.wav\n - 32000 Hz: recorded in long play (12-bit); set 32KHZ_LP=OFF in the cue file to keep 16 bits\n",
  };
  for (const std::string& text : said) EXPECT_NE(r.out.find(text), std::string::npos) << text << r.out;
  for (const char* once : {"converting 16-bit stereo at 96000", "converting 16-bit mono at 22050", "long play"}) {
    size_t at = r.out.find(once);
    EXPECT_EQ(r.out.find(once, at + 1), std::string::npos) << once << r.out;
  }
  EXPECT_EQ(r.out.find("not supported"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Long Play"), std::string::npos) << r.out;
  EXPECT_EQ(programs_on(folder.tape()), (std::vector<int>{1, 2, 3}));
}

TEST(RecordList, ProgramNumbersHaveThreeDigits) {
  RecordingFolder folder;
  std::string cue = "[CONFIG]\nSTARTID=ON\nTIME_DATE=OFF\n[FILES]\n";
  char line[64];
  for (int n = 1; n < 123; ++n) {
    std::snprintf(line, sizeof line, "FILE_%.3d=skip%d.xyz\n", n, n);
    cue += line;
  }
  cue += "FILE_123=t.wav\n";
  stereo_wav(folder, "t.wav", 48000, 1440 * 2);
  folder.write_cue("SET", cue);
  ProcessResult r = folder.record("SET");
  ASSERT_EQ(r.exit_code, 5) << r.out;
  std::vector<DatFrame> tape = folder.tape();
  ASSERT_EQ(tape.size(), 120u + 2u + 300u);
  for (int i : {120, 121}) {
    EXPECT_EQ(tape[i].sid_pno1, 0x17);
    EXPECT_EQ(tape[i].sid_pno23, 0x23);
    EXPECT_EQ(tape[i].pack[0][0], 0x11);
    EXPECT_EQ(tape[i].pack[0][1], 0x23);
    EXPECT_EQ(tape[i].pack[1][0], 0x21);
    EXPECT_EQ(tape[i].pack[1][1], 0x23);
  }
}

// Records a one-frame track a.wav.
ProcessResult record_one_frame(const RecordingFolder& folder) {
  stereo_wav(folder, "a.wav", 48000, 1440);
  folder.write_cue("SET", "[FILES]\nFILE_001=a.wav\n");
  return folder.record("SET");
}

TEST(RecordDrive, WriteProtectedCassetteIsLeftAlone) {
  RecordingFolder folder(BusKeys{{"write_protect", "yes"}});
  ProcessResult r = record_one_frame(folder);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("\nWriting lead-in...fail writing lead-in frame\nTape write protect error\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("File:"), std::string::npos);
  EXPECT_TRUE(folder.tape().empty());
}

TEST(RecordDrive, PositioningErrorOnTheFirstLeadInWriteIsRetriedOnce) {
  RecordingFolder folder(BusKeys{{"write_error", "1:positioning"}});
  ProcessResult r = record_one_frame(folder);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("Writing lead-in...fail writing lead-in frame\n"
                       "Tape positioning error.. trying again...Writing lead-in...done\n"),
            std::string::npos)
      << r.out;
  std::vector<DatFrame> tape = folder.tape();
  ASSERT_EQ(tape.size(), 120u + 1u + 300u);
  EXPECT_EQ(sub_id_program(tape[119]), PROGRAM_LEAD_IN);
  EXPECT_EQ(sub_id_program(tape[120]), 0x001);
}

TEST(RecordDrive, TargetThatIsNotATapeDriveStopsTheRecording) {
  RecordingFolder folder(BusKeys{{"type", "5"}});
  ProcessResult r = record_one_frame(folder);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("File: a.wav\nfailure - drive at 0:5:0 is not a sequential device\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(folder.tape().size(), 120u) << "only the lead-in";
}

TEST(RecordDrive, EscDuringTheSecondOfFiveTracks) {
  // WRITE 200 raises an interrupt, which reads as ESC: 120 lead-in frames,
  // 10 of track 1 and 33 of silence come first, so it falls on track 2's
  // 37th frame; the next frame is the last.
  RecordingFolder folder(BusKeys{}, BusKeys{{"interrupt_at", "200"}});
  std::string cue = "[CONFIG]\nINTERTRACK_SILENCE=1\nLEADOUT_SILENCE=1\n[FILES]\n";
  for (int n = 1; n <= 5; ++n) {
    // Appended rather than "t" + ...: g++ 12 at -O3 warns (-Wrestrict) about the latter.
    std::string name = std::string("t").append(std::to_string(n)).append(".wav");
    stereo_wav(folder, name, 48000, 1440 * (n == 2 ? 100 : 10), n);
    cue.append("FILE_00").append(std::to_string(n)).append("=").append(name).append("\n");
  }
  folder.write_cue("SET", cue);
  ProcessResult r = folder.record("SET");
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("File: t2.wav\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("File: t3.wav"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n\nWriting lead-out silence...done\nWriting lead-out...done\n"), std::string::npos);

  std::vector<DatFrame> tape = folder.tape();
  EXPECT_EQ(programs_on(tape), (std::vector<int>{1, 2}));
  ASSERT_EQ(tape.size(), 120u + 10 + 33 + 38 + 33 + 33 + 300);
  for (size_t i = 163; i < 163 + 38; ++i) EXPECT_FALSE(audio_is_zero(tape[i])) << i;
  for (size_t i = 163 + 38; i < 163 + 38 + 66; ++i) {
    EXPECT_TRUE(audio_is_zero(tape[i])) << i;
    EXPECT_EQ(sub_id_program(tape[i]), 0x002) << "track 2's silence and the lead-out silence";
  }
  EXPECT_EQ(sub_id_program(tape.back()), PROGRAM_LEAD_OUT);
}

TEST(RecordDrive, EscDuringTheSilenceAfterATrackEndsTheRecordingThere) {
  // WRITE 135 falls in track 1's silence (writes 131 to 163): the silence
  // is finished, and track 2 is not begun (not even one frame of it).
  RecordingFolder folder(BusKeys{}, BusKeys{{"interrupt_at", "135"}});
  stereo_wav(folder, "t1.wav", 48000, 1440 * 10, 1);
  stereo_wav(folder, "t2.wav", 48000, 1440 * 10, 2);
  folder.write_cue("SET", "[CONFIG]\nINTERTRACK_SILENCE=1\nLEADOUT_SILENCE=1\n[FILES]\nFILE_001=t1.wav\nFILE_002=t2.wav\n");
  ProcessResult r = folder.record("SET");
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_EQ(r.out.find("File: t2.wav"), std::string::npos) << r.out;
  std::vector<DatFrame> tape = folder.tape();
  EXPECT_EQ(programs_on(tape), (std::vector<int>{1}));
  ASSERT_EQ(tape.size(), 120u + 10 + 33 + 33 + 300);
  EXPECT_EQ(sub_id_program(tape.back()), PROGRAM_LEAD_OUT);
}

TEST(RecordDrive, CtrlCWhileWaitingForTheTapeLeavesTheTapeAlone) {
  // The drive is not ready for a second (ten polls of real time); Ctrl-C
  // comes while kestrel waits, as when the wrong cassette went in.
  RecordingFolder folder(BusKeys{{"not_ready", "10"}});
  stereo_wav(folder, "a.wav", 48000, 1440 * 10);
  folder.write_cue("SET", "[FILES]\nFILE_001=a.wav\n");
  ProcessOptions options;
  options.env.push_back("KESTREL_CLOCK=real");
  options.trigger_text = " - found drive SONY     SDT-9000        1.13\n";
  options.trigger_signal = SIGINT;
  ProcessResult r = folder.record("SET", options);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("Interrupted before the mode began\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Writing lead-in"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" - setting drive back to data mode...done\n"), std::string::npos) << "torn down";
  EXPECT_TRUE(folder.tape().empty());
}

// An interrupt before the first track's first frame records no program: in
// the lead-in (WRITE 50) the lead-in silence is not begun; in the lead-in
// silence (WRITE 130) it is finished. The lead-out follows at once. ESC
// typed before the lead-in ends is read when it ends.
TEST(RecordDrive, StopBeforeTheFirstTrackRecordsNoProgram) {
  struct Case {
    const char* interrupt_at;
    std::string keys;
    size_t silence;
  } cases[] = {{"50", "", 0}, {"130", "", 33}, {"", "\x1b", 0}};
  for (const Case& c : cases) {
    RecordingFolder folder(BusKeys{}, c.keys.empty() ? BusKeys{{"interrupt_at", c.interrupt_at}} : BusKeys{});
    stereo_wav(folder, "t1.wav", 48000, 1440 * 10, 1);
    folder.write_cue("SET", "[CONFIG]\nLEADIN_SILENCE=1\nINTERTRACK_SILENCE=1\nLEADOUT_SILENCE=1\n[FILES]\n"
                            "FILE_001=t1.wav\n");
    ProcessOptions options;
    options.stdin_data = c.keys;
    ProcessResult r = folder.record("SET", options);
    EXPECT_EQ(r.exit_code, 6) << r.out;
    EXPECT_EQ(r.out.find("File: t1.wav"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Writing lead-out silence"), std::string::npos) << r.out;
    std::vector<DatFrame> tape = folder.tape();
    EXPECT_TRUE(programs_on(tape).empty()) << c.interrupt_at;
    ASSERT_EQ(tape.size(), 120 + c.silence + 300) << c.interrupt_at;
    EXPECT_EQ(sub_id_program(tape[119]), PROGRAM_LEAD_IN);
    if (c.silence) {
      EXPECT_EQ(sub_id_program(tape[120]), 0x000);
    }
    for (size_t i = 120 + c.silence; i < tape.size(); ++i) {
      ASSERT_EQ(sub_id_program(tape[i]), PROGRAM_LEAD_OUT) << i;
      ASSERT_EQ(pack_of(tape[i], 2), time_pack(2, 0x0EE, 1, kNoTime)) << i;
    }
  }
}

// An address-space limit does not let the sanitizers' shadow memory map.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_UNDER_ASAN 1
#endif

TEST(RecordDrive, MemoryThatRunsOutEndsTheRunWithExitCode8AndTheDriveTornDown) {
#ifdef KESTREL_UNDER_ASAN
  GTEST_SKIP() << "a memory limit and AddressSanitizer do not mix";
#endif
  // 1024 channels of 64-bit float: the converter reads 32 MiB at a time,
  // more than a 24 MiB address space leaves.
  RecordingFolder folder;
  ASSERT_TRUE(write_wav_file(folder.file("wide.wav"), 3, 1024, 48000, 64, std::string(1024 * 8 * 10, '\0')));
  folder.write_cue("SET", "[FILES]\nFILE_001=wide.wav\n");
  ProcessOptions options;
  options.memory_limit = 24 << 20;
  ProcessResult r = folder.record("SET", options);
  EXPECT_EQ(r.exit_code, 8) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string tail = "Writing lead-out...done\n\n\nOut of memory\n\n - closing output drive...\n"
                           " - issuing a tape unload...done\n - setting drive back to data mode...done\n";
  ASSERT_GE(r.out.size(), tail.size()) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  // The lead-in was on the tape when memory ran out: the lead-out closes it.
  std::vector<DatFrame> tape = folder.tape();
  ASSERT_EQ(tape.size(), 120u + 300);
  EXPECT_EQ(sub_id_program(tape.back()), PROGRAM_LEAD_OUT);
}

// Whether the cassette ends with a whole lead-out.
bool ends_with_lead_out(const std::vector<DatFrame>& tape) {
  if (tape.size() < 300) return false;
  for (size_t i = tape.size() - 300; i < tape.size(); ++i)
    if (sub_id_program(tape[i]) != PROGRAM_LEAD_OUT) return false;
  return true;
}

// kestrel under an address-space limit that ends it wherever memory runs out:
// at the libraries' start-up, loading the provider, inside the provider,
// setting up a resampler, in mid-recording. Every run ends as out of memory
// with its drive torn down (the virtual drive left unloaded and in data
// mode) and, once a recording has begun, the tape closed by a lead-out; or it
// runs clean. The limits run from the least that the dynamic loader needs
// up to three clean runs in a row.
TEST(RecordDrive, AnAddressSpaceLimitEndsTheRunCleanOrAsOutOfMemoryWithTheDriveTornDown) {
#ifdef KESTREL_UNDER_ASAN
  GTEST_SKIP() << "a memory limit and AddressSanitizer do not mix";
#endif
  const long long kStep = 40 << 10;
  // The least limit at which kestrel itself runs (it then asks for its
  // arguments, or says that memory is short); below it the loader fails.
  long long low = 1 << 20, high = 256 << 20;
  while (high - low > kStep) {
    long long mid = (low + high) / 2;
    ProcessOptions options;
    options.memory_limit = mid;
    int code = run_kestrel({}, options).exit_code;
    (code == 1 || code == 8 ? high : low) = mid;
  }
  Tape read_tape;
  tape_record(&read_tape, Recording{.program = 1, .start_id_frames = 10}, 200);
  tape_blank(&read_tape, 70);
  struct Scenario {
    const char* name;
    bool records;
  };
  for (const Scenario& scenario : {Scenario{"reading", false}, Scenario{"resampling recording", true}}) {
    int clean_in_a_row = 0;
    long long limit = high;
    for (; clean_in_a_row < 3 && limit < high + (32 << 20); limit += kStep) {
      SCOPED_TRACE(std::string(scenario.name) + " under " + std::to_string(limit >> 10) + " KiB");
      RecordingFolder folder({}, {{"stats", "stats.json"}});
      ProcessOptions options;
      options.memory_limit = limit;
      options.timeout_s = 60;
      ProcessResult r;
      if (scenario.records) {
        // Both need the resampler; the second needs more than the first.
        write_wav_file(folder.file("a.wav"), 1, 2, 22050, 16, pcm16_bytes(test_pattern(22050, 2, 1)));
        write_wav_file(folder.file("b.wav"), 1, 2, 96000, 24, encode_s24(sine_wave(2 * 48000, 96000, 1000, 0.5)));
        folder.write_cue("SET", "[FILES]\nFILE_001=a.wav\nFILE_002=b.wav\n");
        r = folder.record("SET", options);
      } else {
        ASSERT_TRUE(tape_write(read_tape, folder.cassette()));
        r = folder.extract("T", options);
      }
      ASSERT_FALSE(r.timed_out) << r.out;
      if (r.exit_code == 127 && limit < high + 4 * kStep) continue;  // the loader's need varies a little
      ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 8) << "exit " << r.exit_code << ", signal " << r.term_signal
                                                        << "\n" << r.out << r.err;
      if (r.exit_code == 0) {
        ++clean_in_a_row;
        if (scenario.records) {
          EXPECT_EQ(programs_on(folder.tape()), (std::vector<int>{1, 2}));
          EXPECT_TRUE(ends_with_lead_out(folder.tape()));
        } else {
          EXPECT_TRUE(read_wav(folder.file("T001.wav")).valid);
        }
        continue;
      }
      clean_in_a_row = 0;
      EXPECT_NE(r.out.find("Out of memory\n"), std::string::npos) << r.out;
      std::string stats = read_file(folder.file("stats.json"));
      if (stats.empty()) {
        EXPECT_EQ(r.out.find("Configuring"), std::string::npos) << "a drive set up, and no tally left:\n" << r.out;
      } else {
        EXPECT_NE(stats.find("\"loaded\": false, \"density\": 19}"), std::string::npos) << stats << r.out;
      }
      std::vector<DatFrame> tape = folder.tape();
      if (scenario.records && !tape.empty()) {
        EXPECT_TRUE(ends_with_lead_out(tape)) << r.out;
      }
    }
    EXPECT_EQ(clean_in_a_row, 3) << scenario.name << ": no clean run up to " << (limit >> 10) << " KiB";
  }
}

// /SEEK with a mode that writes: the drive written is the one sought
// (/INPUTID and /OUTPUTID the same), and a seek that fails leaves the tape
// alone rather than writing from wherever the tape stands.
TEST(RecordDrive, SeekBeforeWritingAppendsAtTheProgramOrWritesNothing) {
  RecordingFolder folder(BusKeys{{"search_polls", "3"}});
  Tape old;
  tape_record(&old, Recording{.program = 1}, 100);
  tape_record(&old, Recording{.program = 2}, 100);
  ASSERT_TRUE(tape_write(old, folder.cassette()));
  const std::string before = read_file(folder.cassette());
  stereo_wav(folder, "a.wav", 48000, 1440 * 10);
  folder.write_cue("SET", "[FILES]\nFILE_001=a.wav\n");
  ASSERT_TRUE(write_file(folder.file("OLD.img"), before));

  ProcessResult r = folder.record("SET", {}, {"/INPUTID", "0:5", "/SEEK", "PROGNUM", "7"});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("Drive didn't complete seek\nNothing is written after a failed seek\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Writing lead-in"), std::string::npos) << r.out;
  EXPECT_TRUE(read_file(folder.cassette()) == before) << "the tape was written";

  r = folder.run({"/BUNTING", "OLD", "/OUTPUTID", "0:5", "/INPUTID", "0:5", "/SEEK", "PROGNUM", "7"});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_TRUE(read_file(folder.cassette()) == before) << "the tape was written";

  // Sought, the recording begins at program 2's first frame; program 1 stays.
  r = folder.record("SET", {}, {"/INPUTID", "0:5", "/SEEK", "PROGNUM", "2"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  std::vector<DatFrame> tape = folder.tape();
  ASSERT_EQ(tape.size(), 100u + 120 + 10 + 300);
  EXPECT_TRUE(std::memcmp(tape.data(), old.frames.data(), 100 * sizeof(DatFrame)) == 0);
  EXPECT_EQ(sub_id_program(tape[100]), PROGRAM_LEAD_IN);
}

// A search that stops short of program 2 (locate_slop): /GOSHAWK and
// /BUNTING begin writing exactly at its first frame, never over the last
// frames of program 1.
TEST(RecordDrive, SeekThatStopsShortStillWritesFromTheProgramsFirstFrame) {
  for (const char* seed : {"1", "2", "3", "4"}) {
    RecordingFolder folder(BusKeys{{"locate_slop", "8"}, {"seed", seed}});
    Tape old;
    tape_record(&old, Recording{.program = 1}, 100);
    tape_record(&old, Recording{.program = 2}, 100);
    ASSERT_TRUE(tape_write(old, folder.cassette()));
    stereo_wav(folder, "a.wav", 48000, 1440 * 10);
    folder.write_cue("SET", "[FILES]\nFILE_001=a.wav\n");
    ProcessResult r = folder.record("SET", {}, {"/INPUTID", "0:5", "/SEEK", "PROGNUM", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    std::vector<DatFrame> tape = folder.tape();
    ASSERT_EQ(tape.size(), 100u + 120 + 10 + 300) << seed << r.out;
    EXPECT_TRUE(std::memcmp(tape.data(), old.frames.data(), 100 * sizeof(DatFrame)) == 0) << seed;
    EXPECT_EQ(sub_id_program(tape[100]), PROGRAM_LEAD_IN) << seed;

    // An image restored over program 2 of the old tape.
    ASSERT_TRUE(tape_write(old, folder.cassette()));
    Tape image;
    tape_record(&image, Recording{.program = 2, .rate_code = 1}, 50);
    ASSERT_TRUE(tape_write(image, folder.file("NEW.img")));
    r = folder.run({"/BUNTING", "NEW", "/OUTPUTID", "0:5", "/INPUTID", "0:5", "/SEEK", "PROGNUM", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    tape = folder.tape();
    ASSERT_EQ(tape.size(), 200u) << seed;
    EXPECT_TRUE(std::memcmp(tape.data(), old.frames.data(), 100 * sizeof(DatFrame)) == 0) << seed << r.out;
    EXPECT_TRUE(std::memcmp(&tape[100], image.frames.data(), 50 * sizeof(DatFrame)) == 0) << seed << r.out;
  }
}

// One cassette checked frame by frame: lead-in, lead-in silence, a 48 kHz
// track longer than the start-ID region, a 44.1 kHz track with a short last
// frame, inter-track and lead-out silences and the lead-out.
TEST(RecordTape, EveryFrameFollowsThePhases) {
  RecordingFolder folder;
  const size_t frames1 = 350, pairs2 = 1323 * 100 + 7;
  stereo_wav(folder, "one.wav", 48000, 1440 * frames1, 11);
  stereo_wav(folder, "two.wav", 44100, pairs2, 12);
  std::string source1 = read_wav(folder.file("one.wav")).data;
  std::string source2 = read_wav(folder.file("two.wav")).data;
  folder.write_cue("SET",
                   "[CONFIG]\nSCMS=01\n32KHZ_LP=OFF\nLEADIN_SILENCE=1\nINTERTRACK_SILENCE=1\n"
                   "LEADOUT_SILENCE=2\n[FILES]\nFILE_001=one.wav\nFILE_002=two.wav\n");
  ProcessResult r = folder.record("SET");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("\nWriting lead-in...done\nWriting lead-in silence...done\n\nFile: one.wav\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" - time: 00:00:01:00\r"), std::string::npos);

  std::vector<DatFrame> tape = folder.tape();
  const size_t silence = 33, frames2 = 101, lead_out_silence = 66;
  ASSERT_EQ(tape.size(), 120 + silence + frames1 + silence + frames2 + silence + lead_out_silence + 300);
  size_t at = 0;

  for (; at < 120; ++at) {
    const DatFrame& f = tape[at];
    ASSERT_EQ(std::memcmp(&f, &tape[0], sizeof f), 0) << "the lead-in frames are identical";
    EXPECT_EQ(f.sid_control, 0x40);
    EXPECT_EQ(f.sid_pno1, 0x02);
    EXPECT_EQ(f.sid_pno23, 0xBB);
    EXPECT_EQ(pack_of(f, 1), time_pack(1, 0x0BB, 0, kNoTime));
    EXPECT_EQ(pack_of(f, 2), time_pack(2, 0x0BB, 0, kNoTime));
    for (int slot = 3; slot <= 7; ++slot) EXPECT_EQ(pack_of(f, slot), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(f.main_id_format, 0);
    EXPECT_EQ(f.main_id_mode, 0);
    EXPECT_TRUE(audio_is_zero(f));
  }

  int absolute = 0;
  for (size_t i = 0; i < silence; ++i, ++at, ++absolute) {
    const DatFrame& f = tape[at];
    EXPECT_EQ(f.sid_control, 0x00);
    EXPECT_EQ(f.sid_pno1, 0x02);
    EXPECT_EQ(f.sid_pno23, 0x00);
    EXPECT_EQ(pack_of(f, 1), time_pack(1, 0, 1, time_of(absolute)));
    EXPECT_EQ(pack_of(f, 2), time_pack(2, 0, 1, time_of(absolute)));
    EXPECT_EQ(f.main_id_format, 0x00) << "the first track's codes";
    EXPECT_EQ(f.main_id_mode, 0x00);
    EXPECT_TRUE(audio_is_zero(f));
  }

  // The date pack of the first track: weekday 1-7 and BCD digits, its own parity.
  const DatFrame& first = tape[at];
  std::vector<uint8_t> date = pack_of(first, 5);
  EXPECT_EQ(date[0] >> 4, PACK_ITEM_DATE);
  EXPECT_GE(date[0] & 15, 1);
  EXPECT_LE(date[0] & 15, 7);
  EXPECT_EQ(date[7], date[0] ^ date[1] ^ date[2] ^ date[3] ^ date[4] ^ date[5] ^ date[6]);

  for (size_t k = 0; k < frames1; ++k, ++at, ++absolute) {
    const DatFrame& f = tape[at];
    bool start_id = k < 300;
    EXPECT_EQ(f.sid_control, start_id ? 0xC0 : 0x00) << k;
    EXPECT_EQ(f.sid_pno1, 0x07);
    EXPECT_EQ(f.sid_pno23, 0x01);
    EXPECT_EQ(pack_of(f, 1), time_pack(1, 1, 1, start_id ? time_of(static_cast<int>(k)) : kNoTime)) << k;
    EXPECT_EQ(pack_of(f, 2), time_pack(2, 1, 1, time_of(absolute))) << k;
    EXPECT_EQ(pack_of(f, 5), date);
    for (int slot : {3, 4, 6, 7}) EXPECT_EQ(pack_of(f, slot), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(f.interpolate_flags, 0);
    EXPECT_EQ(f.main_id_format, 0x00);
    EXPECT_EQ(f.main_id_mode, 0x04) << "SCMS 01";
    ASSERT_EQ(std::memcmp(f.audio, source1.data() + k * 5760, 5760), 0) << k;
  }

  // Inter-track silence: the last frame's subcode, no program time, absolute time running.
  for (size_t i = 0; i < silence; ++i, ++at, ++absolute) {
    const DatFrame& f = tape[at];
    EXPECT_EQ(f.sid_control, 0x00);
    EXPECT_EQ(f.sid_pno1, 0x07);
    EXPECT_EQ(pack_of(f, 1), time_pack(1, 1, 1, kNoTime)) << "no time stays no time";
    EXPECT_EQ(pack_of(f, 2), time_pack(2, 1, 1, time_of(absolute)));
    EXPECT_TRUE(audio_is_zero(f));
  }

  std::vector<uint8_t> date2 = pack_of(tape[at], 5);
  for (size_t k = 0; k < frames2; ++k, ++at, ++absolute) {
    const DatFrame& f = tape[at];
    EXPECT_EQ(f.sid_control, 0xC0);
    EXPECT_EQ(f.sid_pno1, 0x07);
    EXPECT_EQ(f.sid_pno23, 0x02);
    EXPECT_EQ(pack_of(f, 1), time_pack(1, 2, 1, time_of(static_cast<int>(k)))) << k;
    EXPECT_EQ(pack_of(f, 2), time_pack(2, 2, 1, time_of(absolute))) << k;
    EXPECT_EQ(pack_of(f, 5), date2);
    EXPECT_EQ(f.main_id_format, 0x04) << "44.1 kHz";
    EXPECT_EQ(f.main_id_mode, 0x04);
    size_t bytes = std::min<size_t>(5292, source2.size() - k * 5292);
    ASSERT_EQ(std::memcmp(f.audio, source2.data() + k * 5292, bytes), 0) << k;
    EXPECT_TRUE(audio_is_zero(f, bytes)) << "the short last frame's tail and the unused area are zero";
  }

  // Its inter-track silence is still inside the start-ID region; then the lead-out silence.
  for (size_t i = 0; i < silence + lead_out_silence; ++i, ++at, ++absolute) {
    const DatFrame& f = tape[at];
    EXPECT_EQ(f.sid_control, 0xC0);
    EXPECT_EQ(pack_of(f, 1), time_pack(1, 2, 1, time_of(static_cast<int>(frames2 + i))));
    EXPECT_EQ(pack_of(f, 2), time_pack(2, 2, 1, time_of(absolute)));
    EXPECT_EQ(f.main_id_format, 0x04);
    EXPECT_TRUE(audio_is_zero(f));
  }

  for (size_t i = 0; i < 300; ++i, ++at) {
    const DatFrame& f = tape[at];
    EXPECT_EQ(f.sid_control, 0x40);
    EXPECT_EQ(f.sid_pno1, 0x07);
    EXPECT_EQ(f.sid_pno23, 0xEE);
    EXPECT_EQ(pack_of(f, 1), time_pack(1, 0x0EE, 1, kNoTime));
    EXPECT_EQ(pack_of(f, 2), time_pack(2, 0x0EE, 1, kNoTime));
    EXPECT_EQ(pack_of(f, 5), date2);
    EXPECT_EQ(f.main_id_format, 0x04) << "the last track's codes";
    EXPECT_EQ(f.main_id_mode, 0x04);
    EXPECT_TRUE(audio_is_zero(f));
  }
}

TEST(RecordTape, LongPlayAtThirtyTwoKilohertz) {
  build_frame_tables();
  for (bool long_play : {true, false}) {
    RecordingFolder folder;
    const size_t pairs = 1920 * 20;
    stereo_wav(folder, "lp.wav", 32000, pairs, 5);
    std::string source = read_wav(folder.file("lp.wav")).data;
    folder.write_cue("SET", std::string("[CONFIG]\nSCMS=11\nTIME_DATE=OFF\nLEADIN_SILENCE=5\n") +
                                (long_play ? "" : "32KHZ_LP=OFF\n") +
                                "INTERTRACK_SILENCE=5\n[FILES]\nFILE_001=lp.wav\n");
    ProcessResult r = folder.record("SET");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    const std::string said =
        "File: lp.wav\n - 32000 Hz: recorded in long play (12-bit); set 32KHZ_LP=OFF in the cue file to keep 16 bits\n";
    EXPECT_EQ(r.out.find(said) != std::string::npos, long_play) << r.out;
    std::vector<DatFrame> tape = folder.tape();
    const size_t silence = long_play ? 83 : 166, frames = long_play ? 20 : 40;
    ASSERT_EQ(tape.size(), 120 + silence + frames + silence + 300) << long_play;
    EXPECT_EQ(tape[120].main_id_format, 0x08) << "32 kHz in the lead-in silence";
    EXPECT_EQ(tape[120].main_id_mode, long_play ? 0x40 : 0x00);
    for (size_t k = 0; k < frames; ++k) {
      const DatFrame& f = tape[120 + silence + k];
      EXPECT_EQ(f.main_id_format, 0x08);
      EXPECT_EQ(f.main_id_mode, long_play ? 0x4C : 0x0C);
      EXPECT_EQ(f.sid_pno1, 0x07);
      uint8_t expected[DAT_AUDIO_BYTES] = {};
      if (long_play) {
        lp_pack_frame(expected, reinterpret_cast<const uint8_t*>(source.data()) + k * 7680);
        ASSERT_EQ(std::memcmp(f.audio, expected, sizeof expected), 0) << k;
      } else {
        ASSERT_EQ(std::memcmp(f.audio, source.data() + k * 3840, 3840), 0) << k;
      }
    }
  }
}

}  // namespace
