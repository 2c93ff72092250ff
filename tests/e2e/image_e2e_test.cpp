// SPDX-License-Identifier: MIT
// /BITTERN, /BUNTING and /PINTAIL end to end on virtual drives.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <set>

#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "tests/support/bytes.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/json.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// Two virtual SONY drives: 0:4 reads source.tape, 0:5 writes target.tape.
struct TwoDrives {
  TempDir dir;

  ProcessResult run(std::vector<std::string> args, const BusKeys& target_keys = {},
                    ProcessOptions options = {}) const {
    BusKeys target = {{"cassette", "target.tape"}};
    target.insert(target.end(), target_keys.begin(), target_keys.end());
    EXPECT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "source.tape"}}}, {"0:5", target}}));
    options.env.push_back("KESTREL_BUS=" + dir.file("bus.ini"));
    options.cwd = dir.path();
    return run_kestrel(args, options);
  }
  std::string file(const std::string& name) const { return read_file(dir.file(name)); }
};

std::string frames_bytes(const Tape& tape, size_t first, size_t last) {
  return std::string(reinterpret_cast<const char*>(tape.frames.data() + first), (last - first) * sizeof(DatFrame));
}

// A recording with flagged frames, two rates and a long-play stretch, then blank tape.
Tape varied_tape() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 10, .scms = 2}, 60);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1, .start_id_frames = 10}, 40);
  tape_record(&tape, Recording{.program = 3, .long_play = true, .start_id_frames = 10}, 40);
  tape_flag(&tape, 5, 0x40);
  tape_flag(&tape, 70, 0x80);
  tape_blank(&tape, 70);
  return tape;
}

TEST(Image, DumpRestoreDumpGivesIdenticalFrames) {
  Tape tape = varied_tape();
  TwoDrives d;
  ASSERT_TRUE(tape_write(tape, d.dir.file("source.tape")));
  // Its two flagged frames make every run of it end with exit code 5.
  ProcessResult r = d.run({"/BITTERN", "first", "/INPUTID", "0:4"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_NE(r.out.find("Saving DAT tape in IMG file:FIRST.img\n"), std::string::npos);
  // Every frame from the first is saved; the 62nd blank frame is the last.
  std::string first = d.file("FIRST.img");
  EXPECT_TRUE(same_bytes(first, frames_bytes(tape, 0, 140 + 62)));

  r = d.run({"/BUNTING", "FIRST", "/OUTPUTID", "0:5"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_NE(r.out.find("Copying IMG file: FIRST.img to DAT tape\n"), std::string::npos);
  EXPECT_TRUE(same_bytes(d.file("target.tape"), first));

  // The restored tape read back: the same frames.
  std::rename(d.dir.file("target.tape").c_str(), d.dir.file("source.tape").c_str());
  r = d.run({"/BITTERN", "SECOND", "/INPUTID", "0:4"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_TRUE(same_bytes(d.file("SECOND.img"), first));
}

TEST(Image, CopyTapeCopiesEveryByteOfEveryFrame) {
  Tape tape = varied_tape();
  TwoDrives d;
  ASSERT_TRUE(tape_write(tape, d.dir.file("source.tape")));
  ProcessResult r = d.run({"/PINTAIL", "/INPUTID", "0:4", "/OUTPUTID", "0:5"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_TRUE(same_bytes(d.file("target.tape"), frames_bytes(tape, 0, 140 + 62)));
}

TEST(Image, ReportsOfTheDumpAndTheCopyListTheFramesAndTheImage) {
  Tape tape = varied_tape();
  TwoDrives d;
  ASSERT_TRUE(tape_write(tape, d.dir.file("source.tape")));
  for (const char* mode : {"/BITTERN", "/PINTAIL"}) {
    bool dump = std::strcmp(mode, "/BITTERN") == 0;
    std::vector<std::string> args = {mode, "/INPUTID", "0:4", "/REPORT"};
    if (dump) args.insert(args.begin() + 1, "copy");
    else args.insert(args.end(), {"/OUTPUTID", "0:5"});
    ProcessResult r = d.run(args);
    ASSERT_EQ(r.exit_code, 5) << r.out;
    std::string name = dump ? "COPY" : "PINTAIL";
    JsonFlat json;
    ASSERT_TRUE(json_flatten(d.file(name + ".json"), &json)) << mode;
    std::string image = dump ? "COPY.img" : "null";
    const std::pair<std::string, std::string> rows[] = {
        {"mode", dump ? "BITTERN" : "PINTAIL"}, {"frames_read", "202"}, {"frames_damaged", "2"},
        {"programs#", "3"}, {"programs.2.bits", "12"}, {"programs.1.rate", "44100"}, {"programs.0.file", image},
        {"blank_stretches.0.frames", "62"}, {"events#", "2"}, {"events.0.frame", "5"}, {"events.0.channels", "L"},
        {"events.0.file", image}, {"events.0.sample_offset", "null"}, {"events.1.frame", "70"},
        {"events.1.flags", "0x80"}, {"events.1.channels", "null"}, {"verdict", "damaged"},
        {"files#", dump ? "2" : "0"}, {"files.1.name", dump ? "COPY.img.json" : ""}};
    for (const auto& [path, value] : rows) EXPECT_EQ(json[path], value) << mode << " " << path;
    EXPECT_EQ(json["files.0.bytes"], dump ? std::to_string(202 * DAT_FRAME_BYTES) : "") << mode;
    ProcessOptions in_dir;
    in_dir.cwd = d.dir.path();
    EXPECT_EQ(run_process("/usr/bin/sha256sum", {"-c", name + ".sha256"}, in_dir).exit_code, 0) << mode;
  }
}

// The whole records are restored; the short one is said, and the image
// not read to its end fails the run, as /FROMIMAGE fails it.
TEST(Image, ShortLastRecordOfAnImageIsNotWrittenAndFailsTheRun) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 10);
  TwoDrives d;
  ASSERT_TRUE(write_file(d.dir.file("SHORT.img"), frames_bytes(tape, 0, 10) + std::string(100, 'x')));
  ProcessResult r = d.run({"/BUNTING", "short", "/OUTPUTID", "0:5"});
  ASSERT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find(" - SHORT.img ends in a short record of 100 bytes, less than a frame: it is not written"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(same_bytes(d.file("target.tape"), frames_bytes(tape, 0, 10)));
}

TEST(Image, WriteProtectedTargetEndsRestoreWithWriteBlockFail) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 10);
  TwoDrives d;
  ASSERT_TRUE(write_file(d.dir.file("IMG.img"), frames_bytes(tape, 0, 10)));
  ProcessResult r = d.run({"/BUNTING", "IMG", "/OUTPUTID", "0:5"}, {{"write_protect", "yes"}});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("write block fail\n"), std::string::npos);
  EXPECT_FALSE(file_exists(d.dir.file("target.tape")));
}

TEST(Image, MissingImageAndFailedFirstReadFailTheMode) {
  TwoDrives d;
  ProcessResult r = d.run({"/BUNTING", "NONE", "/OUTPUTID", "0:5"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_NE(r.out.find("Cannot open NONE.img\nNo such file or directory\n"), std::string::npos);

  ASSERT_TRUE(write_file(d.dir.file("source.tape"), ""));  // a blank tape: the first read fails
  r = d.run({"/BITTERN", "X", "/INPUTID", "0:4"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_NE(r.out.find("read audio block failed\n"), std::string::npos);
  EXPECT_FALSE(file_exists(d.dir.file("X.img")));
}

TEST(Image, ImageThatCannotBeReadFailsTheRestoreInsteadOfEndingIt) {
  // A folder opens for reading, but every read of it fails.
  TwoDrives d;
  ASSERT_EQ(mkdir(d.dir.file("DIR.img").c_str(), 0755), 0);
  ProcessResult r = d.run({"/BUNTING", "DIR", "/OUTPUTID", "0:5"});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("read from DIR.img failed: Is a directory\n"), std::string::npos) << r.out;
  EXPECT_FALSE(file_exists(d.dir.file("target.tape")));
}

TEST(Image, FullDiskFailsTheDumpAndLeavesWholeRecords) {
  Tape tape = varied_tape();
  TwoDrives d;
  ASSERT_TRUE(tape_write(tape, d.dir.file("source.tape")));
  ProcessOptions options;
  options.file_size_limit = 10 * 5822 + 3000;
  ProcessResult r = d.run({"/BITTERN", "FULL", "/INPUTID", "0:4"}, {}, options);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("write to FULL.img failed: File too large\n"), std::string::npos) << r.out;
  EXPECT_TRUE(same_bytes(d.file("FULL.img"), frames_bytes(tape, 0, 10)));
}

TEST(Image, StopEotKeepsCopyingOverBlankTapeUntilTheEndOfData) {
  Tape tape = varied_tape();
  tape_record(&tape, Recording{.program = 4}, 30);
  TwoDrives d;
  ASSERT_TRUE(tape_write(tape, d.dir.file("source.tape")));
  ProcessResult r = d.run({"/PINTAIL", "/INPUTID", "0:4", "/OUTPUTID", "0:5", "/STOPEOT"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_NE(r.out.find("-SCMS=00 \n - end of the recorded data\n"), std::string::npos) << "on a line of its own";
  EXPECT_EQ(r.out.find("block read fail"), std::string::npos) << "the end of the data is no failure";
  EXPECT_TRUE(same_bytes(d.file("target.tape"), frames_bytes(tape, 0, tape.frames.size())));
}

// /STOPEOT drops the stop of a blank stretch, not the user's: ESC at the 20th
// pass still ends each mode after that pass's frame, and the run as ended early.
TEST(Image, EscEndsEachModeAlsoWithStopEot) {
  Tape tape = varied_tape();
  tape_record(&tape, Recording{.program = 4}, 30);
  TwoDrives d;
  ASSERT_TRUE(tape_write(tape, d.dir.file("source.tape")));
  ProcessOptions esc;
  esc.stdin_data = std::string(19, 'k') + "\x1b";
  const std::string twenty = frames_bytes(tape, 0, 20);

  ProcessResult r = d.run({"/BITTERN", "ESC", "/INPUTID", "0:4", "/STOPEOT"}, {}, esc);
  ASSERT_EQ(r.exit_code, 6) << r.out;
  EXPECT_TRUE(same_bytes(d.file("ESC.img"), twenty));

  r = d.run({"/PINTAIL", "/INPUTID", "0:4", "/OUTPUTID", "0:5", "/STOPEOT"}, {}, esc);
  ASSERT_EQ(r.exit_code, 6) << r.out;
  EXPECT_TRUE(same_bytes(d.file("target.tape"), twenty));

  ASSERT_TRUE(write_file(d.dir.file("WHOLE.img"), frames_bytes(tape, 0, tape.frames.size())));
  std::remove(d.dir.file("target.tape").c_str());
  r = d.run({"/BUNTING", "WHOLE", "/OUTPUTID", "0:5", "/STOPEOT"}, {}, esc);
  ASSERT_EQ(r.exit_code, 6) << r.out;
  EXPECT_TRUE(same_bytes(d.file("target.tape"), twenty));
}

// A worn tape of three programs whose frames 300, 301, 615 and the last
// cannot be read. Under /STOPEOT the dump and the copy read on to the end of
// the data and keep a stand-in at the place of each (its time and program
// number those of the tape's frame there, the main ID of the frame before),
// say how many, and end with exit code 5; without it they stop at frame 300,
// say so, and end with 6.
TEST(Image, UnreadableFramesGetStandInsUnderStopEotAndEndTheRunWithout) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 10}, 310);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1, .start_id_frames = 10}, 310);
  tape_record(&tape, Recording{.program = 3, .start_id_frames = 10}, 310);
  const std::set<size_t> unreadable = {300, 301, 615, 929};
  for (bool dump : {true, false}) {
    for (bool stopeot : {true, false}) {
      SCOPED_TRACE(std::string(dump ? "/BITTERN" : "/PINTAIL") + (stopeot ? " /STOPEOT" : ""));
      TwoDrives d;
      ASSERT_TRUE(tape_write(tape, d.dir.file("source.tape")));
      std::vector<std::string> args = {"/BITTERN", "WORN", "/INPUTID", "0:4"};
      if (!dump) args = {"/PINTAIL", "/OUTPUTID", "0:5", "/INPUTID", "0:4"};
      if (stopeot) args.push_back("/STOPEOT");
      BusKeys source = {{"cassette", "source.tape"}, {"read_errors", "300 301 615 929"}};
      EXPECT_TRUE(write_bus_file(d.dir.file("bus.ini"), {{"0:4", source}, {"0:5", {{"cassette", "target.tape"}}}}));
      ProcessOptions options;
      options.env.push_back("KESTREL_BUS=" + d.dir.file("bus.ini"));
      options.cwd = d.dir.path();
      ProcessResult r = run_kestrel(args, options);
      std::vector<DatFrame> records = tape_read(d.dir.file(dump ? "WORN.img" : "target.tape"));
      if (!stopeot) {
        EXPECT_EQ(r.exit_code, 6) << r.out;
        EXPECT_NE(r.out.find(" - a frame could not be read (0x04031100): reading ends here"), std::string::npos)
            << r.out;
        std::string kept(reinterpret_cast<const char*>(records.data()), records.size() * sizeof(DatFrame));
        EXPECT_TRUE(same_bytes(kept, frames_bytes(tape, 0, 300)));
        continue;
      }
      EXPECT_EQ(r.exit_code, 5) << r.out;
      const char* kept = dump ? "kept" : "written";
      EXPECT_NE(r.out.find(std::string(" - 2 unreadable frames at 00:00:09:00: ") + kept + " as silent stand-ins\n"),
                std::string::npos)
          << r.out;
      EXPECT_NE(r.out.find(std::string(" - 4 frames could not be read: ") +
                           (dump ? "the image keeps" : "the copy holds") + " a silent stand-in for each\n"),
                std::string::npos)
          << r.out;
      EXPECT_NE(r.out.find(" - end of the recorded data\n"), std::string::npos) << r.out;
      ASSERT_EQ(records.size(), tape.frames.size());
      for (size_t i = 0; i < records.size(); ++i) {
        if (!unreadable.count(i)) {
          ASSERT_EQ(std::memcmp(&records[i], &tape.frames[i], sizeof(DatFrame)), 0) << i;
          continue;
        }
        EXPECT_EQ(frame_is_stand_in(&records[i]), 1) << i;
        FrameInfo want = decode_frame(&tape.frames[i]);
        FrameInfo got = decode_frame(&records[i]);
        EXPECT_EQ(got.absolute.code, want.absolute.code) << i;
        EXPECT_EQ(got.sub_id_program, want.sub_id_program) << i;
        EXPECT_EQ(got.absolute_pack.last_program, want.sub_id_program) << i;
        EXPECT_EQ(got.rate_code, want.rate_code) << i;
      }
    }
  }
}

}  // namespace
