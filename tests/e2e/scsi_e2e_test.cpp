// SPDX-License-Identifier: MIT
// kestrel against virtual drives: the set-up and tear-down of each drive
// family, the ways a set-up fails, the rewind, the seek, and kestrel-drives.
// Most runs use a blank cassette, so the mode fails at its first read (exit
// code 6); what comes before and after it is checked here.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/e2e/bus_file.h"
#include "tests/support/cassette.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kBanner = "KESTREL - version 1.3b\n";
const std::string kSony = " - found drive SONY     SDT-9000        1.13\n";
const std::string kReady = " - waiting (up to 60 seconds) for tape to mount...done\n";
const std::string kAudio = " - setting drive in audio mode...done\n";
const std::string kLoad = " - issuing a tape load...done\n";
const std::string kSonyTearDown =
    " - issuing a tape unload...done\n"
    " - setting drive back to data mode...done\n";
const std::string kNoWav = "first read audio block failed\n";  // the mode, on a blank tape

// A SONY drive, with any further keys after its own.
BusDrive sony(const std::string& address, const std::string& cassette, const BusKeys& more = {}) {
  BusDrive d{address, {{"vendor", "SONY"}, {"product", "SDT-9000        1.13"}, {"cassette", cassette}}};
  d.keys.insert(d.keys.end(), more.begin(), more.end());
  return d;
}

BusDrive archive(const std::string& address, const std::string& product, const std::string& cassette) {
  return {address, {{"vendor", "ARCHIVE"}, {"product", product}, {"cassette", cassette}}};
}

struct Bus {
  TempDir dir;
  std::string path = dir.file("bus.ini");

  explicit Bus(const std::vector<BusDrive>& drives) { EXPECT_TRUE(write_bus_file(path, drives)); }
  // kestrel in the bus file's folder, where the modes write their files.
  ProcessResult run(const std::vector<std::string>& args) const {
    ProcessOptions options = bus_options(path);
    options.cwd = dir.path();
    return run_kestrel(args, options);
  }
};

// The lines of a SONY drive at 0:4 set up for /KESTREL T /INPUTID 0:4.
std::string sony_input_setup() {
  return kBanner + "KESTREL\nInput SCSI adapter 0, ID number: 4\nConfiguring input drive...\n" + kSony +
         kReady + kAudio + kLoad;
}

std::string sony_input_teardown() { return "\n - closing input drive...\n" + kSonyTearDown; }

TEST(DriveSetup, SonyAndArchiveAreSetUpAndTornDownByFamily) {
  Bus bus({archive("0:3", "Python 25501-XXX1.00", "in.tape"), sony("0:4", "out.tape")});
  ProcessResult r = bus.run({"/PINTAIL", "/INPUTID", "0:3", "/OUTPUTID", "0:4"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(r.out, kBanner +
                       "PINTAIL\nInput SCSI adapter 0, ID number: 3\nOutput SCSI adapter 0, ID number: 4\n"
                       "Configuring input drive...\n"
                       " - found drive ARCHIVE  Python 25501-XXX1.00\n" +
                       kReady + kAudio + "Configuring output drive 0:4:0...\n" + kSony + kReady + kAudio +
                       kLoad +
                       " - rewinding 0:3 input tape to beginning...done\n"
                       " - rewinding 0:4 output tape to beginning...done\n"
                       "read audio block failed\n"
                       "\n - closing input drive...\n - closing output drive...\n" +
                       kSonyTearDown);
}

TEST(DriveSetup, OnlyTheOutputDriveWhenOnlyOutputIdIsGiven) {
  Bus bus({sony("2:6", "out.tape")});
  ProcessResult r = bus.run({"/BUNTING", "IMG", "/OUTPUTID", "2:6"});
  EXPECT_EQ(r.exit_code, 6);
  // /BUNTING does not rewind the output tape.
  EXPECT_EQ(r.out, kBanner + "BUNTING\nOutput SCSI adapter 2, ID number: 6\nConfiguring output drive 2:6:0...\n" +
                       kSony + kReady + kAudio + kLoad + "Copying IMG file: IMG.img to DAT tape\nCannot open IMG.img\nNo such file or directory\n" +
                       "\n - closing output drive...\n" + kSonyTearDown);
}

TEST(DriveSetup, MrsOffTurnsOffMrsOnAnArchive563Only) {
  Bus bus({archive("0:1", "Python 01931-XXX5.63", "a.tape"), archive("0:2", "Python 25501-XXX1.00", "b.tape")});
  const std::string head = kBanner + "KESTREL\nInput SCSI adapter 0, ID number: ";
  ProcessResult r = bus.run({"/KESTREL", "T", "/INPUTID", "0:1", "/MRSOFF"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(r.out, head + "1\nConfiguring input drive...\n - found drive ARCHIVE  Python 01931-XXX5.63\n" +
                       kReady + kAudio + "Turning off MRS mode...done.\n" + kNoWav + "\n - closing input drive...\n");

  r = bus.run({"/KESTREL", "T", "/INPUTID", "0:2", "/MRSOFF"});
  EXPECT_EQ(r.out, head + "2\nConfiguring input drive...\n - found drive ARCHIVE  Python 25501-XXX1.00\n" +
                       kReady + kAudio + kNoWav + "\n - closing input drive...\n");
}

TEST(DriveSetup, NoDriveAtTheAddressEndsWithExitCode4) {
  Bus bus({sony("0:4", "t.tape")});
  for (const char* address : {"0:5", "3:4"}) {
    ProcessResult r = bus.run({"/KESTREL", "T", "/INPUTID", address});
    EXPECT_EQ(r.exit_code, 4);
    std::string a(address);
    EXPECT_EQ(r.out, kBanner + "KESTREL\nInput SCSI adapter " + a.substr(0, 1) + ", ID number: " + a.substr(2) +
                         "\nConfiguring input drive...\nno device at " + a + ":0\nDrive didn't initialize\n");
  }
}

TEST(DriveSetup, UnknownDriveEndsWithExitCode4) {
  Bus bus({{"0:4", {{"vendor", "ACME"}, {"product", "Streamer 9000   0.01"}, {"cassette", "t.tape"}}}});
  ProcessResult r = bus.run({"/KESTREL", "T", "/INPUTID", "0:4"});
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.out, kBanner + "KESTREL\nInput SCSI adapter 0, ID number: 4\nConfiguring input drive...\n"
                             "drive is unknown\nDrive didn't initialize\n");
}

TEST(DriveSetup, FailedOutputDriveAfterAGoodInputDrive) {
  Bus bus({sony("0:4", "t.tape")});
  ProcessResult r = bus.run({"/PINTAIL", "/INPUTID", "0:4", "/OUTPUTID", "0:6"});
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(r.out, kBanner +
                       "PINTAIL\nInput SCSI adapter 0, ID number: 4\nOutput SCSI adapter 0, ID number: 6\n"
                       "Configuring input drive...\n" +
                       kSony + kReady + kAudio + kLoad +
                       "Configuring output drive 0:6:0...\nno device at 0:6:0\nDrive didn't initialize\n");
}

TEST(DriveSetup, DriveThatNeverBecomesReadyIsWaitedForAndPassed) {
  BusDrive never = sony("0:4", "t.tape");
  never.keys.push_back({"not_ready", "always"});
  BusDrive slow = sony("0:5", "t.tape");
  slow.keys.push_back({"not_ready", "40"});  // ready after four simulated seconds
  Bus bus({never, slow});
  ProcessResult r = bus.run({"/KESTREL", "T", "/INPUTID", "0:4"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(r.out, kBanner + "KESTREL\nInput SCSI adapter 0, ID number: 4\nConfiguring input drive...\n" + kSony +
                       " - waiting (up to 60 seconds) for tape to mount...failed, continuing anyway\n" + kAudio +
                       kLoad + kNoWav + sony_input_teardown());

  r = bus.run({"/KESTREL", "T", "/INPUTID", "0:5"});
  EXPECT_NE(r.out.find(kSony + kReady), std::string::npos) << r.out;
}

TEST(DriveSetup, DriveWithoutTapeFailsItsStepsAndGoesOn) {
  Bus bus(std::vector<BusDrive>{{"0:4", {}}});  // the default drive: a SONY SDT-9000 without a cassette
  ProcessResult r = bus.run({"/KESTREL", "T", "/INPUTID", "0:4", "/REWIND"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(r.out, kBanner + "KESTREL\nInput SCSI adapter 0, ID number: 4\nConfiguring input drive...\n" + kSony +
                       " - waiting (up to 60 seconds) for tape to mount...failed, continuing anyway\n" + kAudio +
                       " - issuing a tape load...load failed; 04023a00\nfailed, continuing anyway\n"
                       " - rewinding 0:4 input tape to beginning...rewind failed: 04023a00\n"
                       "failed, continuing anyway\n" +
                       kNoWav + "\n - closing input drive...\n" +
                       " - issuing a tape unload...load failed; 04023a00\nfailed, continuing anyway\n"
                       " - setting drive back to data mode...done\n");
}

TEST(DriveSetup, StuckDensityFailsTheAudioModeStep) {
  BusDrive stuck = sony("0:4", "t.tape");
  stuck.keys.push_back({"density_stuck", "yes"});
  Bus bus({stuck});
  ProcessResult r = bus.run({"/KESTREL", "T", "/INPUTID", "0:4"});
  EXPECT_EQ(r.exit_code, 6);
  // The drive stays in data mode, so going back to it succeeds.
  EXPECT_EQ(r.out, kBanner + "KESTREL\nInput SCSI adapter 0, ID number: 4\nConfiguring input drive...\n" + kSony +
                       kReady + " - setting drive in audio mode...Failed to set new density\n" +
                       "failed, continuing anyway\n" + kLoad + kNoWav + sony_input_teardown());
}

TEST(DriveSetup, BitternRewindsWithoutRewindSwitch) {
  Bus bus({sony("0:4", "t.tape")});
  ProcessResult r = bus.run({"/BITTERN", "IMG", "/INPUTID", "0:4"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(r.out, kBanner + "BITTERN\nInput SCSI adapter 0, ID number: 4\nConfiguring input drive...\n" + kSony +
                       kReady + kAudio + kLoad + " - rewinding 0:4 input tape to beginning...done\n" +
                       "read audio block failed\n" + sony_input_teardown());

  // /KESTREL rewinds only with /REWIND.
  r = bus.run({"/KESTREL", "T", "/INPUTID", "0:4"});
  EXPECT_EQ(r.out.find("rewinding"), std::string::npos) << r.out;
}

TEST(DriveSetup, UnreadableBusFileEndsWithExitCode3) {
  TempDir dir;
  ProcessResult r = run_kestrel({"/KESTREL", "T", "/INPUTID", "0:4"}, bus_options(dir.file("missing.ini")));
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, kBanner + "KESTREL\nInput SCSI adapter 0, ID number: 4\n"
                             "No ASPI for WIN32 support detected.\nASPI32 status 0000e800\nNo ASPI drivers found\n"
                             "The bus file named by KESTREL_BUS cannot be read or lists no drive: correct it, "
                             "or unset KESTREL_BUS to use this machine's drives.\n");
  EXPECT_NE(r.err.find("missing.ini"), std::string::npos) << "the provider says which file";
}

// A recorded cassette of three programs of 100 frames (3 seconds) each, in a
// SONY drive that takes three position polls to arrive at a search target.
struct RecordedBus : Bus {
  RecordedBus(const std::vector<ProgramLength>& programs, const std::string& polls, const BusKeys& more = {})
      : Bus({[&] {
          BusKeys keys{{"search_polls", polls}};
          keys.insert(keys.end(), more.begin(), more.end());
          return sony("0:4", "rec.tape", keys);
        }()}) {
    EXPECT_TRUE(tape_write(tape_of_programs(programs), dir.file("rec.tape")));
  }
  ProcessResult seek(const std::string& type, const std::string& position) const {
    return run({"/KESTREL", "T", "/INPUTID", "0:4", "/SEEK", type, position});
  }
};

const std::vector<ProgramLength> kThreePrograms = {{1, 100}, {2, 100}, {3, 100}};

// The run's output up to the end of the seek is head; the mode that follows
// reads the tape and the drive is torn down at the end.
void expect_seek_run(const std::string& out, const std::string& head) {
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
  const std::string tail = sony_input_teardown();
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

std::string progress(const std::string& program, const std::string& time) {
  return "   - Present seek position: PROGNUM: " + program + ", ABSTIME: " + time + "\r";
}

TEST(Seek, ReachesTheTargetByProgramNumberAbsoluteTimeAndProgramTime) {
  RecordedBus bus(kThreePrograms, "3");
  struct Case {
    std::string type, position, request, watch;
  } cases[] = {
      {"PROGNUM", "2", "program number 2",
       progress("001", "00:00:01:17") + progress("001", "00:00:02:09") + progress("002", "00:00:03:00")},
      // Absolute time 4 s is frame 133, in the second program.
      {"ABSTIME", "0:0:4:0", "time 00:00:04:00",
       progress("001", "00:00:02:00") + progress("001", "00:00:02:33") + progress("002", "00:00:04:00")},
      // Program time 1 s first shows at frame 33, in the first program.
      {"PROGTIME", "0:0:1:0", "time 00:00:01:00",
       progress("001", "00:00:00:16") + progress("001", "00:00:00:24") + progress("001", "00:00:01:00")},
      {"RUNTIME", "0:0:6:0", "time 00:00:06:00",
       progress("002", "00:00:03:00") + progress("002", "00:00:04:17") + progress("003", "00:00:06:00")},
  };
  for (const Case& c : cases) {
    ProcessResult r = bus.seek(c.type, c.position);
    EXPECT_EQ(r.exit_code, 0) << c.type;
    expect_seek_run(r.out, sony_input_setup() + " - seeking to tape " + c.request + "\n" + c.watch + "\n");
  }
  // The extraction starts where the seek left the tape: program 2 begins at
  // frame 100, which is the first written.
  ProcessResult r = bus.seek("PROGNUM", "2");
  std::string wav = read_file(bus.dir.file("T001.wav"));
  const Tape recorded = tape_of_programs(kThreePrograms);
  const DatFrame& frame = recorded.frames[100];
  ASSERT_EQ(wav.size(), 44u + 200 * DAT_AUDIO_BYTES);
  EXPECT_EQ(wav.compare(44, DAT_AUDIO_BYTES, reinterpret_cast<const char*>(frame.audio), DAT_AUDIO_BYTES), 0);
}

// Searches that stop up to 8 frames short (locate_slop): the seek reads on to
// the first frame that shows the position, says how far short the search
// stopped, and the extraction begins with that frame, for every seek type.
TEST(Seek, SearchThatStopsShortIsReadOnToTheFrameSought) {
  struct Case {
    std::string type, position;
    size_t frame;
  } cases[] = {{"PROGNUM", "3", 200}, {"ABSTIME", "0:0:4:0", 133}, {"PROGTIME", "0:0:1:0", 33},
               {"RUNTIME", "0:0:6:5", 205}};
  int corrected = 0;
  for (const char* seed : {"1", "2", "3"}) {
    RecordedBus bus(kThreePrograms, "3", {{"locate_slop", "8"}, {"seed", seed}});
    const std::string tape = read_file(bus.dir.file("rec.tape"));
    for (const Case& c : cases) {
      ProcessResult r = bus.seek(c.type, c.position);
      EXPECT_EQ(r.exit_code, 0) << c.type << " " << seed << r.out;
      std::string audio;
      for (size_t f = c.frame; f < 300; ++f) audio += tape.substr(f * DAT_FRAME_BYTES, DAT_AUDIO_BYTES);
      std::string wav = read_file(bus.dir.file("T001.wav"));
      EXPECT_TRUE(wav.size() == 44 + audio.size() && wav.compare(44, std::string::npos, audio) == 0)
          << c.type << " seed " << seed << ": " << wav.size() << " bytes\n" << r.out;
      size_t said = r.out.find(" short of it: read on to it\n");
      corrected += said != std::string::npos;
      EXPECT_EQ(r.out.find("Drive didn't complete seek"), std::string::npos) << r.out;
    }
  }
  EXPECT_GE(corrected, 9) << "most of the searches stop short";
}

// Ctrl-C while the seek reads on to the frame sought (SIGINT raised before
// its first READ) ends the run there, as during the search: no mode begins.
TEST(Seek, InterruptWhileReadingOnEndsTheRunBeforeTheMode) {
  RecordedBus bus(kThreePrograms, "0");
  BusDrive drive = sony("0:4", "rec.tape");
  drive.keys.insert(drive.keys.end(), {{"locate_slop", "8"}, {"seed", "2"}});
  ASSERT_TRUE(write_bus_file(bus.path, {drive}, {{"interrupt_at", "1"}}));
  ProcessResult r = bus.seek("PROGNUM", "3");
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_EQ(r.out, sony_input_setup() + " - seeking to tape program number 3\n\nInterrupted before the mode began\n" +
                       sony_input_teardown());
  EXPECT_FALSE(file_exists(bus.dir.file("T001.wav")));
}

TEST(Seek, DriveThatArrivesAtOnceShowsNoProgress) {
  RecordedBus bus(kThreePrograms, "0");
  ProcessResult r = bus.seek("PROGNUM", "3");
  expect_seek_run(r.out, sony_input_setup() + " - seeking to tape program number 3\n\n");
}

TEST(Seek, RunningIntoEndOfDataFails) {
  RecordedBus bus(kThreePrograms, "3");
  ProcessResult r = bus.seek("PROGNUM", "9");
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_EQ(r.out, sony_input_setup() + " - seeking to tape program number 9\n" + progress("002", "00:00:04:17") +
                       progress("003", "00:00:06:25") + "Reached end of tape...Drive didn't complete seek\n" +
                       kNoWav + sony_input_teardown());  // the tape stands at the end of data
}

TEST(Seek, DriveThatArrivesAtTheEndOfDataAtOnceFails) {
  // The search ends before the first position read: the same failure as on the way.
  RecordedBus bus(kThreePrograms, "0");
  for (const char* position : {"4", "100"}) {
    ProcessResult r = bus.seek("PROGNUM", position);
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_EQ(r.out, sony_input_setup() + " - seeking to tape program number " + position +
                         "\nReached end of tape...Drive didn't complete seek\n" + kNoWav + sony_input_teardown());
  }
}

TEST(Seek, PositionThatStopsChangingFailsAfterThirtySeconds) {
  // 1000 frames without absolute time before program 2: every position on
  // the way shows the same (absent) absolute time.
  RecordedBus bus({{1, 1000, false}, {2, 10}}, "100");
  ProcessResult r = bus.seek("PROGNUM", "2");
  r.out = r.out.substr(0, r.out.find("Drive didn't complete seek\n") + 27);
  const std::string head = sony_input_setup() + " - seeking to tape program number 2\n";
  // The mode then reads on from where the drive stopped, and is not checked here.
  const std::string tail = "\n\nSeek failed 0\nDrive didn't complete seek\n";
  ASSERT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
  ASSERT_GT(r.out.size(), head.size() + tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  // One progress line a poll, 1.1 simulated seconds apart, for 30 seconds.
  std::string watch = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
  const std::string line = progress("001", "6e:6e:6e:6e");
  ASSERT_EQ(watch.size() % line.size(), 0u) << watch;
  size_t polls = watch.size() / line.size();
  EXPECT_GE(polls, 26u);
  EXPECT_LE(polls, 29u);
  for (size_t i = 0; i < polls; ++i) EXPECT_EQ(watch.substr(i * line.size(), line.size()), line);
}

// Ctrl-C or SIGTERM while kestrel waits for a tape, pauses after the set-up
// or watches a search (real time: each would last a minute or more) ends the
// run within a second, with the drive torn down and nothing read or written.
TEST(Interrupt, EndsTheMountWaitThePauseAndTheSeekWithinASecond) {
  const std::string stopped = "Interrupted before the mode began\n" + sony_input_teardown();
  struct Case {
    BusKeys keys;
    std::vector<std::string> more;  // after /KESTREL T /INPUTID 0:4
    std::string trigger;
    int signal;
    std::string tail;  // what the run ends with
  } cases[] = {
      {{{"not_ready", "always"}}, {}, kSony, SIGINT,
       " - waiting (up to 60 seconds) for tape to mount...interrupted\n" + stopped},
      {{}, {}, kLoad, SIGTERM, kLoad + stopped},
      {{{"search_polls", "100000"}}, {"/SEEK", "PROGNUM", "3"}, " - seeking to tape program number 3\n", SIGINT,
       "\n" + stopped},
  };
  for (const Case& c : cases) {
    BusDrive drive = sony("0:4", "rec.tape");
    drive.keys.insert(drive.keys.end(), c.keys.begin(), c.keys.end());
    Bus bus({drive});
    ASSERT_TRUE(tape_write(tape_of_programs(kThreePrograms), bus.dir.file("rec.tape")));
    ProcessOptions options = bus_options(bus.path);
    options.cwd = bus.dir.path();
    options.env.push_back("KESTREL_CLOCK=real");
    options.trigger_text = c.trigger;
    options.trigger_signal = c.signal;
    options.timeout_s = 20;
    std::vector<std::string> args = {"/KESTREL", "T", "/INPUTID", "0:4"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    ProcessResult r = run_kestrel(args, options);
    EXPECT_EQ(r.exit_code, 6) << c.trigger;
    EXPECT_GE(r.trigger_to_end_s, 0.0) << c.trigger;
    EXPECT_LT(r.trigger_to_end_s, 1.0) << c.trigger;
    ASSERT_GE(r.out.size(), c.tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - c.tail.size()), c.tail) << r.out;
    EXPECT_FALSE(std::filesystem::exists(bus.dir.file("T001.wav"))) << c.trigger;
  }
}

TEST(KestrelDrives, ListsTheVirtualDrivesOfABusFile) {
  Bus bus({archive("0:3", "Python 01931-XXX5.63", "in.tape"), {"1:4", {}},
           {"1:5", {{"vendor", "ACME"}, {"product", "Streamer"}, {"cassette", "/abs/x.tape"}}}});
  ProcessResult r = run_process(build_path("kestrel-drives"), {}, bus_options(bus.path));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Virtual drives of the bus file " + bus.path +
                       " (2 host adapters):\n"
                       "ADDRESS  VENDOR    PRODUCT               KESTREL                DEVICE\n"
                       "0:3      ARCHIVE   Python 01931-XXX5.63  yes (Python family)    " +
                       bus.dir.file("in.tape") +
                       "\n"
                       "1:4      SONY      SDT-9000        1.13  yes (SDT-9000 family)  (no cassette)\n"
                       "1:5      ACME      Streamer              no                     /abs/x.tape\n"
                       "Give the ADDRESS to /INPUTID or /OUTPUTID, for example /INPUTID 0:4.\n");
}

TEST(KestrelDrives, SaysSoWhenTheProviderHasNoAdapter) {
  TempDir dir;
  ProcessResult r = run_process(build_path("kestrel-drives"), {}, bus_options(dir.file("none.ini")));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("No drives found"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("unset KESTREL_BUS"), std::string::npos) << "what to do";
}

// The drive check on every kind of drive: what it reports, its verdict as the
// last line, and a cassette file left as it was (a blank one not created).
TEST(KestrelDrives, ProbeChecksADriveAndLeavesItsCassetteAlone) {
  struct Case {
    BusDrive drive;
    bool recorded;  // the cassette holds a recording (else: blank, no file)
    std::vector<std::string> reported;
    std::string verdict;
    int exit_code;
  } cases[] = {
      {sony("0:4", "c.tape", {{"read_errors", "3"}}),
       true,
       {"INQUIRY: vendor SONY, product SDT-9000, firmware revision 1.13, device type 1 (tape)\n"
        "Known to kestrel: yes (SDT-9000 family)\nTEST UNIT READY: ready, a cassette is in\n"
        "Density: 0x13 (data mode)\nAudio mode: accepted\nTape load: done\n"
        "Reading 10 frames in audio mode: 9 read, 1 failed, 0 flagged by the drive\n"
        "  9 frames with subcode; sampling rate 48000 Hz; program 1; 9 with a start ID\n"
        "  absolute time 00:00:00:00 to 00:00:00:09\n  program time 00:00:00:00 to 00:00:00:09\n"
        "Rewind: done\nData mode: back\n"},
       "reads DAT audio", 0},
      {archive("0:4", "Python 25601-XXX2.63", "c.tape"), true,
       {"Known to kestrel: yes (Python family)\n", "Audio mode: accepted\nReading 10 frames", "program 1;"},
       "reads DAT audio", 0},
      {sony("0:4", "c.tape"), false,
       {"Reading 10 frames in audio mode: 0 read, 0 failed, 0 flagged by the drive; stopped at end of data\n"
        "  no audio subcode: a data tape or a blank\nRewind: done\n"},
       "reads DAT audio (audio mode works; this cassette holds no audio to show it)", 0},
      {archive("0:4", "Python", "c.tape"), false, {"  no audio subcode: a data tape or a blank\n"},
       "reads DAT audio (audio mode works; this cassette holds no audio to show it)", 0},
      // Reads that fail without a frame of audio: the verdict names them (a dirty head, a cassette it cannot read).
      {sony("0:4", "c.tape", {{"read_errors", "0 1 2 3 4 5 6 7 8 9"}}),
       true,
       {"Reading 10 frames in audio mode: 0 read, 10 failed, 0 flagged by the drive\n"
        "  10 of 10 reads failed with medium error 03/11/00: a dirty head, or a cassette this drive cannot read\n"
        "Rewind: done\nData mode: back\n"},
       "reads fail in audio mode (10 of 10 reads failed with medium error 03/11/00: a dirty head, or a cassette "
       "this drive cannot read)",
       1},
      {sony("0:4", ""), false, {"TEST UNIT READY: no cassette (02/3A/00)\n", "Data mode: back\n"},
       "no cassette (audio mode accepted; insert an audio cassette and check again)", 1},
      {archive("0:4", "Python", ""), false, {"TEST UNIT READY: no cassette (02/3A/00)\n"},
       "no cassette (audio mode accepted; insert an audio cassette and check again)", 1},
      {sony("0:4", "c.tape", {{"density_stuck", "yes"}}),
       true, {"Audio mode: refused, the density stays 0x13 (data mode)\nData mode: back\n"},
       "has no audio firmware (the density cannot be set to audio)", 1},
      {{"0:4", {{"vendor", "ACME"}, {"product", "Streamer        0.9"}, {"cassette", "c.tape"}}}, true,
       {"INQUIRY: vendor ACME, product Streamer, firmware revision 0.9,",
        "Known to kestrel: no (kestrel refuses it: \"drive is unknown\")\n"},
       "reads DAT audio; but kestrel does not know this model", 1},
      {{"0:4", {{"cassette", "c.tape"}, {"not_ready", "always"}}}, true,
       {"TEST UNIT READY: not ready after 60 seconds (02/04/01)\n"},
       "no cassette (the drive did not become ready within 60 seconds)", 1},
      {sony("0:5", "c.tape"), true, {}, "cannot be opened (no device at 0:4; kestrel-drives lists what there is)", 1},
  };
  for (const Case& c : cases) {
    Bus bus({c.drive});
    std::string cassette = bus.dir.file("c.tape");
    if (c.recorded) {
      ASSERT_TRUE(tape_write(tape_of_programs({{1, 100}}), cassette));
    }
    std::string before = c.recorded ? read_file(cassette) : "";
    ProcessOptions options = bus_options(bus.path);
    options.env.push_back("KESTREL_CLOCK=simulated");
    options.cwd = bus.dir.path();
    ProcessResult r = run_process(build_path("kestrel-drives"), {"--probe", "0:4"}, options);
    SCOPED_TRACE(c.verdict + "\n" + r.out);
    // Every check leaves its trace in the working folder, the commands it sent in it.
    EXPECT_NE(r.out.find("Trace of every command: kestrel-drives-probe-0-4.trace\n"), std::string::npos);
    std::string trace = read_file(bus.dir.file("kestrel-drives-probe-0-4.trace"));
    EXPECT_EQ(trace.rfind("kestrel-trace 1\n", 0), 0u);
    EXPECT_NE(trace.find(" 0:4:0 12"), std::string::npos) << "no INQUIRY traced";
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(r.out.rfind("kestrel-drives 1.3b: check of the drive at 0:4 (nothing is written to the tape)\n", 0), 0u);
    for (const std::string& text : c.reported) EXPECT_NE(r.out.find(text), std::string::npos) << text;
    const std::string last = "Verdict: " + c.verdict + "\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
    if (c.recorded) {
      EXPECT_EQ(read_file(cassette), before) << "the cassette changed";
    } else {
      EXPECT_FALSE(file_exists(cassette)) << "a blank cassette was written";
    }
  }
}

}  // namespace
