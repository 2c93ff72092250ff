// SPDX-License-Identifier: MIT
// The command trace and its replay end to end: runs on a virtual drive are
// traced with the frames' bytes, then run again against a drive that replays
// the trace, and must give the same files and the same console output.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "tests/support/bytes.h"
#include "tests/support/e2e/audio_files.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// The files of a folder, name to contents, but for the drive's own.
std::map<std::string, std::string> folder_files(const TempDir& dir) {
  std::map<std::string, std::string> files;
  DIR* d = opendir(dir.path().c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || name == "bus.ini" || name == "tape.dat" || name.find(".trace") != std::string::npos)
      continue;
    files[name] = read_file(dir.file(name));
  }
  if (d) closedir(d);
  return files;
}

// Console output without the lines that name the drive's file or the trace.
std::string console(const std::string& out) {
  std::istringstream in(out);
  std::string line, kept;
  while (std::getline(in, line))
    if (line.rfind("Device: ", 0) != 0 && line.rfind("Trace of every command: ", 0) != 0) kept += line + "\n";
  return kept;
}

// Two programs of 150 frames with start IDs.
Tape two_programs() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 10}, 150);
  tape_record(&tape, Recording{.program = 2, .start_id_frames = 10}, 150);
  tape_blank(&tape, 40);
  return tape;
}

struct TracedRun {
  const char* name;
  bool probe;                     // kestrel-drives --probe 0:4, else kestrel
  std::vector<std::string> args;  // kestrel's
  BusKeys drive;                  // of the recorded drive, beside its cassette
  bool tape = true;               // the cassette holds two_programs(), else it is blank
  bool trace_switch = false;      // /TRACE instead of KESTREL_TRACE
  int exit_code = 0;              // of the recorded run
};

struct Outcome {
  ProcessResult result;
  std::map<std::string, std::string> files;
};

Outcome run_in(const TempDir& dir, const TracedRun& run, const BusKeys& drive, const std::string& trace,
               const BusKeys& bus = {}) {
  EXPECT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", drive}}, bus));
  ProcessOptions options = bus_options(dir.file("bus.ini"));
  options.cwd = dir.path();
  options.env.push_back("KESTREL_CLOCK=simulated");
  options.env.push_back("KESTREL_TRACE_DATA=1");
  std::vector<std::string> args = run.args;
  if (run.trace_switch && !run.probe)
    args.insert(args.end(), {"/TRACE", trace});
  else
    options.env.push_back("KESTREL_TRACE=" + trace);
  Outcome o;
  o.result = run.probe ? run_process(build_path("kestrel-drives"), {"--probe", "0:4"}, options) : run_kestrel(args, options);
  o.files = folder_files(dir);
  return o;
}

const TracedRun kRuns[] = {
    {"probe", true, {}, {}},
    {"read with damaged and unreadable frames",
     false,
     {"/KESTREL", "tape", "/INPUTID", "0:4", "/REWIND", "/STARTID"},
     {{"flaky", "60:1 61:1"}, {"flaky_unreadable", "200:1"}},
     true,
     false,
     6},
    {"seek to a program", false, {"/KESTREL", "tape", "/INPUTID", "0:4", "/SEEK", "PROGNUM", "2"}, {}, true, true},
    {"recording", false, {"/GOSHAWK", "set", "/OUTPUTID", "0:4", "/REWIND"}, {}, false},
};

// The folders of two runs: the tape in each (when the run reads one) and the
// cue file and WAV file of the recording.
void prepare(const TracedRun& run, std::initializer_list<const TempDir*> dirs, bool tape_in_each) {
  bool first = true;
  for (const TempDir* dir : dirs) {
    if (run.tape && (first || tape_in_each)) {
      ASSERT_TRUE(tape_write(two_programs(), dir->file("tape.dat")));
    }
    if (!run.tape) {
      // Without the date packs, which take the clock's date and so differ between runs.
      write_file(dir->file("set.cue"), "[CONFIG]\nTIME_DATE=OFF\n[files]\nfile_001 = one.wav\n");
      write_wav_file(dir->file("one.wav"), 1, 2, 48000, 16, pcm16_bytes(test_pattern(1440 * 4, 2, 7)));
    }
    first = false;
  }
}

void expect_same(const Outcome& again, const Outcome& first) {
  EXPECT_EQ(again.result.exit_code, first.result.exit_code) << again.result.out << again.result.err;
  EXPECT_EQ(console(again.result.out), console(first.result.out));
  ASSERT_EQ(again.files.size(), first.files.size());
  for (const auto& [name, bytes] : first.files) EXPECT_TRUE(same_bytes(again.files.at(name), bytes)) << name;
}

TEST(Trace, ReplayedRunsGiveTheRecordedFilesAndOutput) {
  for (const TracedRun& run : kRuns) {
    SCOPED_TRACE(run.name);
    TempDir recorded, replayed;
    prepare(run, {&recorded, &replayed}, false);
    BusKeys drive = {{"cassette", "tape.dat"}};
    drive.insert(drive.end(), run.drive.begin(), run.drive.end());
    std::string trace = recorded.file("run.trace");
    Outcome first = run_in(recorded, run, drive, trace);
    EXPECT_EQ(first.result.exit_code, run.exit_code) << first.result.out;
    Outcome again = run_in(replayed, run, {{"replay", trace}}, replayed.file("again.trace"));
    expect_same(again, first);
    EXPECT_EQ(again.result.err.find("replay at"), std::string::npos) << again.result.err;
    // The replay's own trace asks and answers the same, line for line but the times.
    auto commands = [](const std::string& text) {
      std::vector<std::string> lines;
      std::istringstream in(text);
      std::string line;
      while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == 'k') continue;
        std::istringstream fields(line);
        std::string f, kept;
        for (int i = 0; fields >> f; ++i)
          if (i != 0 && i != 8) kept += f + " ";  // the time and the duration differ
        lines.push_back(kept);
      }
      return lines;
    };
    std::vector<std::string> want = commands(read_file(trace)), got = commands(read_file(replayed.file("again.trace")));
    EXPECT_GT(want.size(), 5u);
    EXPECT_EQ(got, want);
  }
}

// The same runs with the virtual drive behind the SCSI generic loopback: the
// provider takes the path of /dev/sg* and gives what the direct path gives;
// its trace shows the kernel's statuses, DRIVER_SENSE where sense came.
TEST(Trace, RunsThroughTheScsiGenericLoopbackGiveWhatTheDirectPathGives) {
  for (const TracedRun& run : kRuns) {
    SCOPED_TRACE(run.name);
    TempDir direct, loopback;
    prepare(run, {&direct, &loopback}, true);
    BusKeys drive = {{"cassette", "tape.dat"}};
    drive.insert(drive.end(), run.drive.begin(), run.drive.end());
    Outcome first = run_in(direct, run, drive, direct.file("run.trace"));
    Outcome again = run_in(loopback, run, drive, loopback.file("run.trace"), {{"transport", "sg"}});
    expect_same(again, first);
    std::string trace = read_file(loopback.file("run.trace"));
    EXPECT_NE(trace.find(" sg=0000/0000/00"), std::string::npos);
    EXPECT_EQ(trace.find("/02/00 ") == std::string::npos, trace.find(" sg=0000/0008/01") == std::string::npos)
        << "a CHECK CONDITION without DRIVER_SENSE, or the other way round";
    if (!run.tape) {
      EXPECT_EQ(read_file(loopback.file("tape.dat")), read_file(direct.file("tape.dat"))) << "recorded tapes differ";
    }
  }
}

// An SG_IO that fails with an errno on the loopback: the READ it carried
// fails as on a real drive, and the trace names the errno.
TEST(Trace, AnScsiGenericCallThatFailsWithAnErrnoFailsItsCommand) {
  TempDir dir;
  const TracedRun& read = kRuns[1];
  prepare(read, {&dir}, true);
  Outcome o = run_in(dir, read, {{"cassette", "tape.dat"}, {"sg_errno", "30:EIO"}}, dir.file("run.trace"), {{"transport", "sg"}});
  EXPECT_NE(o.result.exit_code, 0) << o.result.out;
  std::string trace = read_file(dir.file("run.trace"));
  EXPECT_NE(trace.find(" 04/00/00 - 5822 "), std::string::npos) << "no failed READ traced";
  EXPECT_NE(trace.find(" errno=5"), std::string::npos);
}

// A trace whose commands come in another order than the run sends them:
// the first that differs is reported with both sides and fails.
TEST(Trace, ChangedCommandOrderIsReported) {
  TempDir recorded, replayed;
  ASSERT_TRUE(tape_write(two_programs(), recorded.file("tape.dat")));
  const TracedRun& probe = kRuns[0];
  Outcome first = run_in(recorded, probe, {{"cassette", "tape.dat"}}, recorded.file("run.trace"));
  ASSERT_EQ(first.result.exit_code, 0) << first.result.out;
  // TEST UNIT READY (the second command) and the MODE SENSE after it change places.
  std::istringstream in(read_file(recorded.file("run.trace")));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  auto tur = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find(" 000000000000 ") != std::string::npos; });
  ASSERT_NE(tur, lines.end());
  std::iter_swap(tur, tur + 1);
  std::string swapped;
  for (const std::string& line : lines) swapped += line + "\n";
  ASSERT_TRUE(write_file(recorded.file("swapped.trace"), swapped));

  Outcome again = run_in(replayed, probe, {{"replay", recorded.file("swapped.trace")}}, replayed.file("again.trace"));
  EXPECT_NE(again.result.exit_code, 0);
  std::string all = again.result.out + again.result.err;
  EXPECT_NE(all.find("replay at 0:4:0, command 2: expected 1a0000006400 in 100, got 000000000000 none 0"),
            std::string::npos)
      << all;
}

}  // namespace
