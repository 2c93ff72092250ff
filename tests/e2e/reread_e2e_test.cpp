// SPDX-License-Identifier: MIT
// /REREAD and kestrel-merge end to end: drives that misread now and then,
// stretches read again until clean, images of one tape merged.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "aspi/virtual_bus.h"
#include "base/dat_format.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "datframe/rescue_map.h"
#include "tests/support/bytes.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/json.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// Every run keeps the drive's tally.
const BusKeys kStats = {{"stats", "stats.json"}};

// Two programs of 1,000 frames; frame i carries absolute time i.
Tape two_programs() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 1000);
  tape_record(&tape, Recording{.program = 2}, 1000);
  return tape;
}

// 40 flaky frames: clusters at the very start, across the change of program
// and at the very end, and frames alone.
const char kFlaky[] =
    "0 1 2 3 4 50 300 301 302 303 304 305 306 307 308 309 600 700 998 999 1000 1001 1002 1003 1200 1300 "
    "1500 1502 1504 1700 1800 1992 1993 1994 1995 1996 1997 1998 1999 1250";

// The frames a track log lists as still damaged after the re-reads.
std::set<size_t> still_damaged(const std::string& log) {
  std::set<size_t> frames;
  for (size_t at = log.find("Re-read: frame at "); at != std::string::npos; at = log.find("Re-read: frame at ", at + 1)) {
    size_t end = log.find('\n', at);
    std::string line = log.substr(at, end - at);
    if (line.find(", clean") != std::string::npos) continue;
    unsigned h, m, s, f;
    if (std::sscanf(line.c_str() + 18, "%x:%x:%x:%x", &h, &m, &s, &f) != 4) continue;
    const uint8_t bytes[4] = {static_cast<uint8_t>(h), static_cast<uint8_t>(m), static_cast<uint8_t>(s),
                              static_cast<uint8_t>(f)};
    frames.insert(static_cast<size_t>(dat_frames_of_time_code(bytes)));
  }
  return frames;
}

// The most reads a track log gives a frame.
int most_reads(const std::string& log) {
  int most = 0;
  for (size_t at = log.find("Re-read: frame at "); at != std::string::npos; at = log.find("Re-read: frame at ", at + 1)) {
    int reads = 0;
    if (std::sscanf(log.c_str() + at + 18, "%*x:%*x:%*x:%*x read %d times", &reads) == 1) most = std::max(most, reads);
  }
  return most;
}

// Frames whose samples in the WAV data differ from the tape's (as far as
// the WAV data goes).
std::set<size_t> differing_frames(const std::string& data, const Tape& tape) {
  std::set<size_t> frames;
  std::string clean = tape_pcm(tape, 0, tape.frames.size());
  for (size_t i = 0; (i + 1) * DAT_AUDIO_BYTES <= std::min(data.size(), clean.size()); ++i)
    if (data.compare(i * DAT_AUDIO_BYTES, DAT_AUDIO_BYTES, clean, i * DAT_AUDIO_BYTES, DAT_AUDIO_BYTES) != 0)
      frames.insert(i);
  return frames;
}

// The first seed under which the virtual drive reads flaky frames (P = 0.5)
// as wanted: for each frame, read after read, 'X' a misread, '.' a good read.
std::string seed_where(const std::vector<std::pair<size_t, std::string>>& wanted) {
  for (uint64_t seed = 1; seed < 10000000; ++seed) {
    bool all = true;
    for (const auto& [frame, reads] : wanted)
      for (size_t n = 0; all && n < reads.size(); ++n) all = (vbus_draw(seed, frame, n + 1) < 0.5) == (reads[n] == 'X');
    if (all) return std::to_string(seed);
  }
  ADD_FAILURE() << "no seed gives those reads";
  return "0";
}

TEST(Reread, FlakyFramesComeOutAsOnACleanTapeInEveryFrameAndOrder) {
  Tape tape = two_programs();
  int first_frame_reread = 0;
  for (const char* seed : {"1", "2", "3"}) {
    TapeRun t(kStats);
    const bool report = std::string(seed) == "2";
    std::vector<std::string> args = {"/KESTREL", "TAPE", "/REREAD", "8"};
    if (report) args.push_back("/REPORT");
    ProcessResult r = t.run(tape, args, {{"flaky", kFlaky}, {"locate_slop", "5"}, {"seed", seed}});
    WavFile wav = read_wav(t.dir.file("TAPE001.wav"));
    ASSERT_TRUE(wav.valid);
    ASSERT_EQ(wav.data.size(), 2000u * DAT_AUDIO_BYTES) << "seed " << seed;
    std::string log = t.read("TAPE001.log");
    // Only frames the log lists as still damaged after 8 passes may differ;
    // the run is clean when none is.
    std::set<size_t> left = still_damaged(log);
    EXPECT_EQ(r.exit_code, left.empty() ? 0 : 5) << r.out;
    EXPECT_EQ(differing_frames(wav.data, tape), left) << "seed " << seed << "\n" << log;
    EXPECT_LE(left.size(), 2u) << "seed " << seed;
    if (report) {
      // Every frame read again is in the report: recovered clean, or a
      // problem frame that stayed damaged, each with its reads and the read kept.
      JsonFlat json;
      ASSERT_TRUE(json_flatten(t.read("TAPE.json"), &json));
      size_t rereads = 0, still = 0;
      for (size_t at = log.find("Re-read: "); at != std::string::npos; at = log.find("Re-read: ", at + 1)) ++rereads;
      for (size_t i = 0; i < std::stoul("0" + json["events#"]); ++i)
        if (json.count("events." + std::to_string(i) + ".kept")) ++still;
      EXPECT_EQ(std::stoul("0" + json["recovered#"]) + still, rereads);
      EXPECT_EQ(still, left.size());
      EXPECT_EQ(json["recovered.0.clean"], "true");
    }
    if (log.find("Re-read: frame at 00:00:00:0") != std::string::npos) ++first_frame_reread;
    int most = most_reads(log);
    EXPECT_GE(most, 2);
    EXPECT_LE(most, 9) << "the first read and 8 more at the most";
    EXPECT_NE(r.out.find(" - re-reading a damaged stretch at "), std::string::npos);
    EXPECT_NE(r.out.find(" - stretch re-read in "), std::string::npos);
    EXPECT_NE(r.out.find(" recovered clean, "), std::string::npos);
    // No frame is read more than the first pass and 8 more times, and the
    // stretches cost far less than a second pass.
    EXPECT_LT(t.stat("reads"), 3000) << t.read("stats.json");
  }
  EXPECT_GT(first_frame_reread, 0) << "a stretch in the first five frames";

  // Without /REREAD the damaged frames come through as read.
  TapeRun once(kStats);
  ProcessResult r = once.run(tape, {"/KESTREL", "TAPE"}, {{"flaky", kFlaky}, {"seed", "1"}});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  WavFile wav = read_wav(once.dir.file("TAPE001.wav"));
  ASSERT_EQ(wav.data.size(), 2000u * DAT_AUDIO_BYTES);
  std::set<size_t> differ = differing_frames(wav.data, tape);
  EXPECT_GT(differ.size(), 5u);
  std::string log = once.read("TAPE001.log");
  size_t errors = 0;
  for (size_t at = log.find("Error: 0x60"); at != std::string::npos; at = log.find("Error: 0x60", at + 1)) ++errors;
  EXPECT_EQ(errors, differ.size());
  EXPECT_EQ(log.find("Re-read"), std::string::npos);
  EXPECT_EQ(once.stat("reads"), 2000) << "one pass";
}

TEST(Reread, UnreadableFramesAreFilledAndAnImageKeepsAStandInForOneThatStaysSo) {
  Tape tape = two_programs();
  TapeRun t(kStats);
  // Each frame cannot be read at first and can on the second or the third read.
  std::string seed = seed_where({{1, "X."}, {2, "XX."}, {700, "XX."}, {701, "X."}, {1999, "X."}});
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REREAD", "8"},
                          {{"flaky_unreadable", "1 2 700 701 1999"}, {"locate_slop", "3"}, {"seed", seed}});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  WavFile wav = read_wav(t.dir.file("TAPE001.wav"));
  EXPECT_TRUE(same_bytes(wav.data, tape_pcm(tape, 0, 2000)));
  EXPECT_NE(t.read("TAPE001.log").find(", clean\n"), std::string::npos);

  // Frames 0 and 20 never read: the image keeps a silent stand-in with both
  // channels flagged for each, with its absolute time where the frames
  // around it tell it (not for the first frame of the run), and every other
  // frame as it is.
  TapeRun image(kStats);
  r = image.run(tape, {"/BITTERN", "IMG", "/REREAD", "2"}, {{"flaky_unreadable", "0:1 20:1 21"}, {"seed", "5"}});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_NE(r.out.find("unreadable after every re-read: frame at 00:00:00:20 kept as a silent stand-in"),
            std::string::npos)
      << r.out;
  std::vector<DatFrame> records = tape_read(image.dir.file("IMG.img"));
  ASSERT_EQ(records.size(), 2000u);
  for (size_t i = 0; i < records.size(); ++i) {
    if (i == 0 || i == 20) continue;
    ASSERT_EQ(std::memcmp(&records[i], &tape.frames[i], sizeof(DatFrame)), 0) << i;
  }
  EXPECT_EQ(records[0].interpolate_flags, 0x60);
  EXPECT_EQ(records[20].interpolate_flags, 0x60);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(records[20].audio), DAT_AUDIO_BYTES),
            std::string(DAT_AUDIO_BYTES, '\0'));
  const uint8_t* pack = records[20].pack[0];
  EXPECT_EQ(pack[0] >> 4, PACK_ITEM_ABSOLUTE_TIME);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pack + 3), 4), std::string("\x00\x00\x00\x20", 4));
  // Each carries the program number of its neighbours (in its pack and its
  // sub-ID), the first one that of the frame after it.
  for (size_t i : {0u, 20u}) {
    EXPECT_EQ(frame_is_stand_in(&records[i]), 1) << i;
    FrameInfo info = decode_frame(&records[i]);
    EXPECT_EQ(info.sub_id_program, 0x001) << i;
  }
  EXPECT_EQ(pack[0] & 0x07, 0);
  EXPECT_EQ(pack[1], 0x01);

  // A dump whose frame 20 stays unreadable, with its report, and the image
  // read: the frame is one that could not be read, within program 1, in the
  // report of the dump and in that of the image (two programs, no damaged
  // frame), and kestrel-merge takes it for the worst copy of a frame of
  // program 1.
  TapeRun once(kStats);
  r = once.run(tape, {"/BITTERN", "IMG", "/REREAD", "2", "/REPORT"}, {{"flaky_unreadable", "20:1"}, {"seed", "5"}});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  ProcessOptions in_dir;
  in_dir.cwd = once.dir.path();
  ProcessResult from_image = run_kestrel({"/KESTREL", "FROM", "/FROMIMAGE", "IMG.img", "/REPORT", "/STOPEOT"}, in_dir);
  EXPECT_EQ(from_image.exit_code, 5) << from_image.out;
  for (const char* report : {"IMG.json", "FROM.json"}) {
    JsonFlat json;
    ASSERT_TRUE(json_flatten(once.read(report), &json)) << report << r.out << from_image.out;
    EXPECT_EQ(json["programs#"], "2") << report;
    EXPECT_EQ(json["programs.0.frames"], "1000") << report;
    EXPECT_EQ(json["frames_unreadable"], "1") << report;
    EXPECT_EQ(json["frames_damaged"], "0") << report;
    EXPECT_EQ(json["events.0.frame"], "20") << report;
    EXPECT_EQ(json["events.0.kind"], "unreadable") << report;
  }
  r = run_process(build_path("kestrel-merge"), {"merged.img", "IMG.img", "tape.dat"}, in_dir);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  std::string merged = once.read("merged.json");
  EXPECT_EQ(merged.find("programs_differ"), std::string::npos) << merged;
  EXPECT_TRUE(same_bytes(once.read("merged.img"), once.read("tape.dat")));
}

// A stretch whose frames come back flagged the same way on three reads in a
// row (the first pass counting) is read no more, whatever /REREAD allows;
// a frame that clears on a later read is still recovered, and one that
// clears in a stretch makes the rest of it count anew.
TEST(Reread, AStretchFlaggedTheSameWayOnThreeReadsInARowIsReadNoMore) {
  Tape tape = two_programs();
  TapeRun t(kStats);
  // Frames 500, 1200, 1201 and 300 misread on every read; 700 clears on the
  // third read, 301 on the second; 1500 misreads on its first three.
  std::string seed = seed_where({{700, "XX."}, {301, "X."}, {1500, "XXX"}});
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REREAD", "99"},
                          {{"flaky", "500:1 1200:1 1201:1 300:1 301 700 1500"}, {"seed", seed}});
  ASSERT_EQ(r.exit_code, 5) << r.out;  // frames stay damaged
  const std::string log = t.read("TAPE001.log");
  std::string said;
  for (size_t at = r.out.find(" - "); at != std::string::npos; at = r.out.find(" - ", at + 1)) {
    std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    if (line.find("re-read") != std::string::npos || line.find("same") != std::string::npos) said += line + "\n";
  }
  const char* const kSaid =
      " - re-reading a damaged stretch at 00:00:09:00: 2 damaged frames\n"
      " - the same 1 frames came back flagged the same way on 3 reads in a row: no more passes\n"
      " - stretch re-read in 3 passes: 1 of 2 damaged frames clean, the best copies of the others kept\n"
      " - re-reading a damaged stretch at 00:00:15:00: 1 damaged frames\n"
      " - the same 1 frames came back flagged the same way on 3 reads in a row: no more passes\n"
      " - stretch re-read in 2 passes: 0 of 1 damaged frames clean, the best copies of the others kept\n"
      " - re-reading a damaged stretch at 00:00:21:00: 1 damaged frames\n"
      " - stretch re-read in 2 passes: 1 of 1 damaged frames clean\n"
      " - re-reading a damaged stretch at 00:00:36:00: 2 damaged frames\n"
      " - the same 2 frames came back flagged the same way on 3 reads in a row: no more passes\n"
      " - stretch re-read in 2 passes: 0 of 2 damaged frames clean, the best copies of the others kept\n"
      " - re-reading a damaged stretch at 00:00:45:00: 1 damaged frames\n"
      " - the same 1 frames came back flagged the same way on 3 reads in a row: no more passes\n"
      " - stretch re-read in 2 passes: 0 of 1 damaged frames clean, the best copies of the others kept\n"
      " - re-reading: 7 damaged frames in 5 stretches, 2 recovered clean, ";
  EXPECT_EQ(said.substr(0, std::strlen(kSaid)), kSaid) << r.out;
  EXPECT_NE(log.find("Re-reading stopped at 00:00:36:00: the same 2 frames flagged the same way on 3 reads in a "
                     "row\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Re-read: frame at 00:00:15:00 read 3 times, copy of read 1 kept, both channels flagged\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Re-read: frame at 00:00:21:00 read 3 times, copy of read 3 kept, clean\n"), std::string::npos)
      << log;
  WavFile wav = read_wav(t.dir.file("TAPE001.wav"));
  ASSERT_EQ(wav.data.size(), 2000u * DAT_AUDIO_BYTES);
  EXPECT_EQ(differing_frames(wav.data, tape), (std::set<size_t>{300, 500, 1200, 1201, 1500}));
  EXPECT_LT(t.stat("reads"), 2300) << t.read("stats.json");
}

// A repeated frame (frame 300 carries the time of frame 299) in a stretch
// read again: each copy a pass reads is taken for the frame it is in tape
// order, never for the first frame with its time.
TEST(Reread, ARepeatedFrameIsNotTakenForTheFrameWhoseTimeItRepeats) {
  Tape tape = two_programs();
  DatFrame repeat = tape.frames[299];
  for (size_t i = 0; i < DAT_AUDIO_BYTES; i += 3) repeat.audio[i] ^= 0x21;
  tape.frames[300] = repeat;
  TapeRun t(kStats);
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REREAD", "4"}, {{"flaky", "299:1 301:1"}});
  ASSERT_EQ(r.exit_code, 5) << r.out;  // frames stay damaged, and the time repeats
  WavFile wav = read_wav(t.dir.file("TAPE001.wav"));
  ASSERT_EQ(wav.data.size(), 2000u * DAT_AUDIO_BYTES);
  EXPECT_EQ(differing_frames(wav.data, tape), (std::set<size_t>{299, 301}));
  EXPECT_NE(wav.data.compare(299 * DAT_AUDIO_BYTES, DAT_AUDIO_BYTES, tape_pcm(tape, 300, 301)), 0)
      << "frame 299 holds the repeated frame's audio";
}

TEST(Reread, FramesWithoutAbsoluteTimeAreNotReRead) {
  Tape tape;
  tape_record(&tape, Recording{.times = false}, 100);  // no packs: /STOPEOT reads on over them
  TapeRun t(kStats);
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REREAD", "3", "/STOPEOT"}, {{"flaky", "50:1"}});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_NE(r.out.find(" - 1 damaged frames carry no valid absolute time: they cannot be found again and are not "
                       "re-read\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(t.read("TAPE001.log").find("Not re-read: 1 damaged frames without a valid absolute time\n"),
            std::string::npos);
  EXPECT_EQ(t.stat("reads"), 100) << r.out;
  EXPECT_EQ(t.stat("locates"), 0);
}

TEST(Reread, EscDuringAReReadOrALostPlaceEndTheRunWithValidFiles) {
  Tape tape = two_programs();
  TapeRun t(kStats);
  // Frame 500 is damaged on every read: the first pass reads frames 0 to
  // 530 (531 READs), each extra pass frames 496 to 500: the 540th READ falls
  // in the second.
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REREAD", "8"}, {{"flaky", "500:1"}},
                          {}, {{"interrupt_at", "540"}});
  ASSERT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find(" - re-reading interrupted after 2 passes"), std::string::npos) << r.out;
  WavFile wav = read_wav(t.dir.file("TAPE001.wav"));
  ASSERT_TRUE(wav.valid);
  ASSERT_GE(wav.data.size(), 1u * DAT_AUDIO_BYTES);
  EXPECT_TRUE(same_bytes(wav.data, tape_pcm(tape, 0, wav.data.size() / DAT_AUDIO_BYTES)));
  EXPECT_LT(t.stat("reads"), 560);

  // LOCATEs that stop up to 2,500 frames early: with this seed the tape
  // cannot be put back where the first pass stopped, and reading ends after
  // the stretch and the 30 good frames held with it.
  TapeRun lost(kStats);
  r = lost.run(tape, {"/KESTREL", "TAPE", "/REREAD", "2", "/STOPEOT"},
               {{"flaky", "1500:1"}, {"locate_slop", "2500"}, {"seed", "1"}});
  ASSERT_EQ(r.exit_code, 6) << r.out;
  EXPECT_EQ(r.out.find(" - end of the recorded data"), std::string::npos) << "it has not ended";
  EXPECT_NE(r.out.find(" - the tape cannot be put back where reading stopped: reading ends after the stretch\n"),
            std::string::npos)
      << r.out;
  wav = read_wav(lost.dir.file("TAPE001.wav"));
  ASSERT_TRUE(wav.valid);
  ASSERT_EQ(wav.data.size(), 1531u * DAT_AUDIO_BYTES);
  EXPECT_EQ(differing_frames(wav.data, tape), std::set<size_t>{1500});
}

// kestrel-merge: three images of one tape, each damaged elsewhere, two
// beginning later than the tape, one without a stretch the others have.
TEST(Merge, ThreeDamagedImagesGiveTheCleanTapeAndListTheirDisagreements) {
  Tape tape = two_programs();
  auto damage = [](std::vector<DatFrame>* frames, size_t first, size_t last, uint8_t flags, uint8_t mark) {
    for (size_t i = first; i < last; ++i) {
      (*frames)[i].interpolate_flags = flags;
      (*frames)[i].audio[9] ^= mark;
    }
  };
  std::vector<DatFrame> a = tape.frames, b = tape.frames, c = tape.frames;
  damage(&a, 100, 105, 0x60, 1);
  damage(&a, 1600, 1601, 0x60, 1);
  damage(&b, 1500, 1511, 0x60, 2);
  damage(&b, 1600, 1601, 0x60, 2);
  damage(&c, 100, 103, 0x40, 3);
  damage(&c, 1505, 1511, 0x20, 3);
  b.erase(b.begin() + 800, b.begin() + 850);  // a stretch it lacks
  b.erase(b.begin(), b.begin() + 50);         // begins at frame 50
  c.erase(c.begin() + 1550, c.end());
  c.erase(c.begin(), c.begin() + 90);  // begins at frame 90, ends at 1549
  TempDir dir;
  ProcessOptions in_dir;
  in_dir.cwd = dir.path();
  auto write = [&](const char* name, const std::vector<DatFrame>& frames) {
    Tape image;
    image.frames = frames;
    ASSERT_TRUE(tape_write(image, dir.file(name)));
  };
  write("a.img", a);
  write("b.img", b);
  write("c.img", c);
  ProcessResult r = run_process(build_path("kestrel-merge"), {"out.img", "a.img", "b.img", "c.img"},
                                in_dir);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  std::vector<DatFrame> out = tape_read(dir.file("out.img"));
  ASSERT_EQ(out.size(), 2000u);
  for (size_t i = 0; i < out.size(); ++i) {
    // 1600: both copies both-flagged, the first input's is kept.
    const DatFrame& want = i == 1600 ? a[1600] : tape.frames[i];
    ASSERT_EQ(std::memcmp(&out[i], &want, sizeof(DatFrame)), 0) << i;
  }
  EXPECT_NE(r.out.find(" - a.img: 2000 records, supplied "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" - damaged stretch at 00:00:03:00, 5 frames: b.img gave 5\n"), std::string::npos) << r.out;
  std::string json = read_file(dir.file("out.json"));
  // Every frame where copies disagreed: 100-104, 1500-1510 and 1600.
  size_t listed = 0;
  for (size_t at = json.find("{\"frame\": "); at != std::string::npos; at = json.find("{\"frame\": ", at + 1)) ++listed;
  EXPECT_EQ(listed, 5u + 11u + 1u) << json;
  EXPECT_NE(json.find("{\"frame\": 1600, \"time\": \"00:00:48:00\", \"kept\": 1, \"copies\": [{\"input\": 1, \"record\": "
                      "1600, \"program\": \"002\", \"copy\": \"both channels flagged\"}, {\"input\": 2, \"record\": 1500"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"frame\": 1505, \"time\": \"00:00:45:05\", \"kept\": 1,"), std::string::npos) << json;
  // OUT.map: each input without a map one pass; a frame damaged in every
  // copy is the tape's, one another copy has clean a drive's.
  RescueMap map;
  std::string why;
  ASSERT_EQ(rescue_map_read(dir.file("out.map"), &map, &why), 0) << why;
  ASSERT_EQ(map.passes.size(), 3u);
  EXPECT_EQ(map.passes[1].drive, "image b.img");
  ASSERT_EQ(map.records.size(), 2000u);
  for (size_t i : {0, 100, 104, 1505, 1510, 1600})
    EXPECT_EQ(rescue_map_class(&map.records[i]), i == 0 ? MAP_UNDAMAGED : i == 1600 ? MAP_TAPES : MAP_DRIVES) << i;
  EXPECT_EQ(map.records[1600].seen, 3u);
  EXPECT_EQ(map.records[1600].state, MAP_BOTH);

  // Blank tape carries no time: a leader's frames are counted back from the
  // first timed one, a gap's follow the timed one before it (the time goes
  // on after the gap as if there were none), and every frame is merged.
  std::vector<DatFrame> led(20, DatFrame{});
  led.insert(led.end(), tape.frames.begin(), tape.frames.begin() + 100);
  led.insert(led.end(), 30, DatFrame{});
  led.insert(led.end(), tape.frames.begin() + 100, tape.frames.begin() + 200);
  std::vector<DatFrame> led_damaged = led;
  damage(&led_damaged, 5, 7, 0x60, 4);
  damage(&led_damaged, 50, 52, 0x60, 4);
  write("led1.img", led_damaged);
  write("led2.img", led);
  r = run_process(build_path("kestrel-merge"), {"led.img", "led1.img", "led2.img"}, in_dir);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  std::vector<DatFrame> merged = tape_read(dir.file("led.img"));
  ASSERT_EQ(merged.size(), led.size());
  EXPECT_EQ(std::memcmp(merged.data(), led.data(), led.size() * sizeof(DatFrame)), 0);

  // An input that is the output, also through a link, is refused.
  r = run_process(build_path("kestrel-merge"), {"a.img", "a.img", "b.img"}, in_dir);
  EXPECT_EQ(r.exit_code, 2);
  ASSERT_EQ(symlink("a.img", dir.file("sym.img").c_str()), 0);
  ASSERT_EQ(link(dir.file("b.img").c_str(), dir.file("hard.img").c_str()), 0);
  // Nor may OUT.json be one.
  ASSERT_EQ(link(dir.file("b.img").c_str(), dir.file("list.json").c_str()), 0);
  for (const char* out : {"sym.img", "hard.img", "list.img"}) {
    r = run_process(build_path("kestrel-merge"), {out, "a.img", "b.img"}, in_dir);
    EXPECT_EQ(r.exit_code, 2) << out;
    std::string written = std::string(out) == "list.img" ? "list.json" : out;
    EXPECT_NE(r.err.find(written + " is an input"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(same_bytes(read_file(dir.file("b.img")), std::string(reinterpret_cast<const char*>(b.data()),
                                                                    b.size() * sizeof(DatFrame))));
}

// A frame of the tape as another copy of it: its audio altered.
DatFrame other_audio(DatFrame frame) {
  for (size_t i = 0; i < DAT_AUDIO_BYTES; i += 5) frame.audio[i] ^= 0x5A;
  return frame;
}

// kestrel-merge over tapes whose times do not just run on. Each row builds
// a tape and images of it, each a stretch of it [first, last) with some
// frames damaged (both channels flagged, altered audio), no frame damaged in
// every image that has it: the merged image must be the tape, every frame
// once, in tape order, the clean copy of each. Or the merge is refused.
struct MergeRow {
  const char* name;
  std::function<std::vector<DatFrame>()> tape;
  std::vector<std::pair<size_t, size_t>> images;
  std::vector<std::vector<size_t>> damaged;  // of each image, frames of the tape
  int exit_code;
  std::function<std::string()> said;  // a line of the console (standard output and error)
  std::vector<std::vector<size_t>> lost = {};  // of each image, frames kept as stand-ins that know no time
};

std::vector<DatFrame> recorded(int frames, int program = 1, uint32_t time = 0) {
  Tape tape;
  tape.absolute_frames = time;
  tape_record(&tape, Recording{.program = program}, frames);
  return tape.frames;
}

// A cassette recorded anew over an older recording that began 100 frames
// into the tape: programs 1 and 2 (times 0-499 at frames 100-599), then the
// new program 1 of 300 frames and its lead-out of 100 over them; the older
// recording's end follows the lead-out, its time falling back from 399 to 300.
std::vector<DatFrame> re_recorded() {
  Tape older;
  tape_blank(&older, 100);
  tape_record(&older, Recording{.program = 1}, 200);
  tape_record(&older, Recording{.program = 2}, 300);
  Tape newer;
  tape_record(&newer, Recording{.program = 1}, 300);
  tape_record(&newer, Recording{.program = 1}, 100);
  tape_mark_lead_out(&newer, 300, 400);
  newer.frames.insert(newer.frames.end(), older.frames.begin() + 400, older.frames.end());
  return newer.frames;
}

const MergeRow kMergeRows[] = {
    {"RepeatedFrame",
     [] {
       std::vector<DatFrame> t = recorded(600);
       t.insert(t.begin() + 300, other_audio(t[299]));  // frame 300 repeats the time of frame 299
       return t;
     },
     {{0, 601}, {100, 601}},
     {{298, 299, 300, 301}, {200, 450}},
     0,
     [] { return std::string("   1 repeated frames (a time given again), each merged in its place on the tape\n"); }},
    {"StrayFrame",
     [] {
       std::vector<DatFrame> t = recorded(600);
       t.insert(t.begin() + 300, other_audio(recorded(1, 1, 5000)[0]));  // a frame of another time
       return t;
     },
     {{0, 601}, {0, 450}},
     {{300, 301}, {299, 100}},
     0,
     [] { return std::string("   1 stray frames (a time out of the order of those around it)"); }},
    {"SkippedStretch",
     [] {
       std::vector<DatFrame> t = recorded(700);
       t.erase(t.begin() + 300, t.begin() + 380);  // the time jumps from 299 to 380
       return t;
     },
     {{0, 620}, {250, 620}},
     {{299, 300}, {301, 500}},
     0,
     [] { return std::string("   1 skipped stretches (the time jumps ahead)"); }},
    {"ReRecordedCassette",
     re_recorded,
     {{0, 600}, {0, 500}, {420, 600}},
     {{10, 350, 450}, {11, 351}, {500}},
     0,
     [] {
       return "   the time falls back at record 400 (" + tape_time_text(300) + " after " + tape_time_text(399) +
              "): a recording that starts over, merged on its own\n";
     }},
    {"DumpThatEndsInABlankStretch",  // as /BITTERN without /STOPEOT ends, merged with one that read on
     [] {
       Tape t;
       tape_record(&t, Recording{.program = 1}, 300);
       tape_blank(&t, 70);  // the time does not move on over blank tape
       tape_record(&t, Recording{.program = 2}, 200);
       return t.frames;
     },
     {{0, 362}, {0, 570}},
     {{}, {10, 200}},
     0,
     [] { return std::string(" - 2.img: 570 records, supplied "); }},
    {"UnreadableLastFrameThatKnowsNoTime",  // a stand-in without a time at an image's end
     [] { return recorded(300); },
     {{0, 300}, {0, 300}},
     {{}, {}},
     0,
     [] { return std::string(" - 1.img: 300 records, supplied 299 frames\n"); },
     {{299}, {}}},
    {"ImageWithoutASharedFrame",
     [] { return recorded(600); },
     {{0, 200}, {300, 600}},
     {{}, {}},
     1,
     [] { return std::string("kestrel-merge: 2.img shares no frame with 1.img: it cannot be aligned with it"); }},
    {"ImagesThatDisagreeOnTheOrder",
     [] { return recorded(600); },
     {{0, 600}, {0, 0}},  // the second: frames 10-19, then 0-9
     {{}, {}},
     1,
     [] { return std::string("they do not agree on the order of the tape"); }},
};

void PrintTo(const MergeRow& row, std::ostream* os) { *os << row.name; }

class MergeTimes : public testing::TestWithParam<MergeRow> {};

TEST_P(MergeTimes, EveryFrameOfTheTapeOnceInTapeOrder) {
  const MergeRow& row = GetParam();
  std::vector<DatFrame> tape = row.tape();
  TempDir dir;
  ProcessOptions in_dir;
  in_dir.cwd = dir.path();
  std::vector<std::string> args = {"out.img"};
  for (size_t i = 0; i < row.images.size(); ++i) {
    Tape image;
    image.frames.assign(tape.begin() + static_cast<long>(row.images[i].first),
                        tape.begin() + static_cast<long>(row.images[i].second));
    if (image.frames.empty()) {
      image.frames.assign(tape.begin() + 10, tape.begin() + 20);
      image.frames.insert(image.frames.end(), tape.begin(), tape.begin() + 10);
    }
    for (size_t f : row.damaged[i]) {
      DatFrame& d = image.frames.at(f - row.images[i].first);
      d = other_audio(d);
      d.interpolate_flags = 0x60;
    }
    for (size_t f : i < row.lost.size() ? row.lost[i] : std::vector<size_t>{}) {
      DatFrame& d = image.frames.at(f - row.images[i].first);
      const FrameKey none{-1, -1};
      DatFrame like = d;
      frame_make_stand_in(&d, &none, &like);
    }
    std::string name = std::to_string(i + 1) + ".img";
    ASSERT_TRUE(tape_write(image, dir.file(name)));
    args.push_back(name);
  }
  ProcessResult r = run_process(build_path("kestrel-merge"), args, in_dir);
  ASSERT_EQ(r.exit_code, row.exit_code) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find(row.said()), std::string::npos) << r.out << r.err;
  if (row.exit_code != 0) {
    EXPECT_FALSE(file_exists(dir.file("out.img")));
    EXPECT_FALSE(file_exists(dir.file("out.json")));
    return;
  }
  std::vector<DatFrame> out = tape_read(dir.file("out.img"));
  ASSERT_EQ(out.size(), tape.size()) << r.out;
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(std::memcmp(&out[i], &tape[i], sizeof(DatFrame)), 0) << i;
}

INSTANTIATE_TEST_SUITE_P(Merge, MergeTimes, testing::ValuesIn(kMergeRows),
                         [](const testing::TestParamInfo<MergeRow>& info) { return std::string(info.param.name); });

}  // namespace
