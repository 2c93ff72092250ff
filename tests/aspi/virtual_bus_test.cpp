// SPDX-License-Identifier: MIT
// Virtual DAT drives: every bus-file key and the behaviour of each command.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "aspi/virtual_bus.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/cassette.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kGood = 0x01000000;
const uint32_t kNoMedium = 0x04023A00;
const uint32_t kBecomingReady = 0x04020401;
const uint32_t kNotAudio = 0x04033000;
const uint32_t kEndOfData = 0x04080005;
const uint32_t kReadError = 0x04031100;
const uint32_t kIllegalCommand = 0x04052000;

const Bytes kTur = {0x00, 0, 0, 0, 0, 0};
const Bytes kRewind = {0x01, 0, 0, 0, 0, 0};
const Bytes kRead = {0x08, 0, 0x00, 0x16, 0xBE, 0};
const Bytes kWrite = {0x0A, 0, 0x00, 0x16, 0xBE, 0};
const Bytes kInquiry = {0x12, 0, 0, 0, 36, 0};
const Bytes kSelect12 = {0x15, 0, 0, 0, 12, 0};
const Bytes kSensePage0 = {0x1A, 0, 0, 0, 100, 0};
const Bytes kReadPosition = {0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0};

Bytes locate_audio(uint8_t type_bits, Bytes value, bool immediate = true) {
  return {0x2B, static_cast<uint8_t>(immediate ? 0x05 : 0x04), 0, type_bits, value[0], value[1], value[2], value[3], 0, 0};
}

using KeyList = std::initializer_list<std::pair<std::string, std::string>>;

struct Drive {
  TempDir dir;
  VirtualBus bus;
  DatFrame frame{};
  uint8_t position[20] = {};

  explicit Drive(KeyList keys) : Drive(BusKeys(keys)) {}
  explicit Drive(const BusKeys& keys) {
    EXPECT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", keys}}));
    EXPECT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  }
  ~Drive() { vbus_close(&bus); }

  uint32_t exec(const Bytes& cdb, void* data = nullptr, uint32_t length = 0, bool out = false, uint8_t target = 4) {
    AspiExecRequest b{};
    b.command = ASPI_CMD_EXEC_SCSI;
    b.target = target;
    b.flags = out ? 0x50 : 0x48;
    b.data = data;
    b.data_length = length;
    b.sense_length = ASPI_SENSE_LENGTH;
    b.cdb_length = static_cast<uint8_t>(cdb.size());
    std::memcpy(b.cdb, cdb.data(), cdb.size());
    vbus_execute(&bus, &b);
    return static_cast<uint32_t>(b.status) << 24 | b.sense[2] << 16 | b.sense[12] << 8 | b.sense[13];
  }
  uint32_t set_density(uint8_t density) {
    uint8_t list[12] = {0, 0, 0x10, 8, density, 0, 0, 0, 0, 0, 0, 2};
    return exec(kSelect12, list, sizeof list, true);
  }
  int density() {
    uint8_t data[100] = {};
    exec(kSensePage0, data, sizeof data);
    return data[4];
  }
  uint32_t read() { return exec(kRead, &frame, sizeof frame); }
  uint32_t write(uint8_t fill) {
    std::memset(&frame, fill, sizeof frame);
    return exec(kWrite, &frame, sizeof frame, true);
  }
  uint32_t read_position() { return exec(kReadPosition, position, sizeof position); }
  Bytes position_bytes(int from, int count) const { return Bytes(position + from, position + from + count); }
};

// A drive with three recorded programs of 100 frames, in audio mode.
struct RecordedDrive : Drive {
  explicit RecordedDrive(KeyList keys = {}) : Drive(with_cassette(keys)) {
    EXPECT_TRUE(tape_write(recorded(), dir.file("rec.tape")));
    vbus_close(&bus);
    EXPECT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
    EXPECT_EQ(set_density(0x80), kGood);
  }
  static BusKeys with_cassette(KeyList list) {
    BusKeys keys(list);
    keys.push_back({"cassette", "rec.tape"});
    return keys;
  }
  static const Tape& recorded() {
    static const Tape tape = tape_of_programs({{1, 100}, {2, 100}, {3, 100}});
    return tape;
  }
  // The place on the cassette of the frame read last, by its audio (every
  // frame's is its own); -1 when no frame holds that audio.
  int index() const {
    const std::vector<DatFrame>& frames = recorded().frames;
    for (size_t i = 0; i < frames.size(); ++i)
      if (std::memcmp(frame.audio, frames[i].audio, DAT_AUDIO_BYTES) == 0) return static_cast<int>(i);
    return -1;
  }
};

TEST(VirtualBus, InquiryShowsTheListedIdentityPaddedWithSpaces) {
  Drive plain({});
  uint8_t data[64];
  std::memset(data, 0xEE, sizeof data);
  EXPECT_EQ(plain.exec(kInquiry, data, sizeof data), kGood);
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 28), "SONY    SDT-9000        1.13");
  EXPECT_EQ(data[36], 0xEE) << "36 bytes of INQUIRY data";

  Drive custom({{"vendor", "ACME"}, {"product", "Box"}, {"type", "5"}});
  uint8_t shortened[20] = {};
  EXPECT_EQ(custom.exec({0x12, 0, 0, 0, 12, 0}, shortened, sizeof shortened), kGood);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(shortened + 8), 4), "ACME");
  EXPECT_EQ(shortened[12], 0) << "no more than the allocation length";
  EXPECT_EQ(custom.exec(kInquiry, data, sizeof data), kGood);
  EXPECT_EQ(data[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 28), "ACME    Box                 ");
}

TEST(VirtualBus, AdapterCountAddressesAndUnknownCommands) {
  TempDir dir;
  write_bus_file(dir.file("bus.ini"), {{"2:1", {}}, {"0:6", {}}});
  VirtualBus bus;
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  EXPECT_EQ(bus.adapter_count, 3);
  EXPECT_NE(vbus_find(&bus, 2, 1, 0), nullptr);
  EXPECT_EQ(vbus_find(&bus, 2, 1, 1), nullptr) << "logical unit 0 only";
  EXPECT_EQ(vbus_find(&bus, 1, 1, 0), nullptr);
  EXPECT_EQ(vbus_load(dir.file("missing.ini").c_str(), &bus), -1);

  Drive d({});
  EXPECT_EQ(d.exec(kTur, nullptr, 0, false, 5), 0x82000000u);
  EXPECT_EQ(d.exec({0x03, 0, 0, 0, 18, 0}), kIllegalCommand);
  EXPECT_EQ(d.exec({0x3C, 1, 0, 0, 0, 0, 0, 0, 10, 0}), kIllegalCommand);
}

TEST(VirtualBus, ProblemsInTheBusFileArePassedOverWithAWarning) {
  TempDir dir;
  write_file(dir.file("bus.ini"),
             "[0:4]\nvendor = ARCHIVE\ncolour = blue\nnot_ready = soon\nsearch_speed = 0\nlocate_seconds = -1\n"
             "flaky = 3:1.5\nlocate_slop = some\n[tape]\n[0:4]\nvendor = HP\n[bus]\ninterrupt_at = 7\nspeed = 2\n");
  VirtualBus bus;
  testing::internal::CaptureStderr();
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  std::string err = testing::internal::GetCapturedStderr();
  for (const char* word : {"colour", "not_ready", "search_speed", "locate_seconds", "flaky", "locate_slop", "[tape]", "listed twice", "] key speed"})
    EXPECT_NE(err.find(word), std::string::npos) << word << " in " << err;
  // Given a sink, the provider hands it the same warnings, one whole line each.
  std::string sunk;
  vbus_set_message_sink([](const char* text, void* context) {
    EXPECT_EQ(std::strchr(text, '\n'), text + std::strlen(text) - 1) << text;
    *static_cast<std::string*>(context) += text;
  }, &sunk);
  testing::internal::CaptureStderr();
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  vbus_set_message_sink(nullptr, nullptr);
  EXPECT_EQ(sunk, err);
  ASSERT_EQ(bus.drives.size(), 1u);
  EXPECT_EQ(std::string(bus.drives[0].vendor, 8), "ARCHIVE ");
  EXPECT_EQ(bus.drives[0].not_ready_left, 0u);
  EXPECT_EQ(bus.interrupt_at, 7u);
  EXPECT_EQ(bus.drives[0].search_speed, 200.0);
  vbus_close(&bus);
}

TEST(VirtualBus, DriveWithoutCassetteHasNoTape) {
  Drive d({});
  EXPECT_EQ(d.exec(kTur), kNoMedium);
  EXPECT_EQ(d.set_density(0x80), kGood) << "mode pages work without a tape";
  EXPECT_EQ(d.read(), kNoMedium);
  EXPECT_EQ(d.write(1), kNoMedium);
  EXPECT_EQ(d.exec(kRewind), kNoMedium);
  EXPECT_EQ(d.exec({0x1B, 0, 0, 0, 1, 0}), kNoMedium);
  EXPECT_EQ(d.read_position(), kNoMedium);
}

TEST(VirtualBus, MissingCassetteIsBlankAndTheFirstWriteCreatesIt) {
  Drive d({{"cassette", "new.tape"}});
  std::string path = d.dir.file("new.tape");
  EXPECT_EQ(d.exec(kTur), kGood);
  EXPECT_EQ(d.write(1), kNotAudio) << "writing needs audio mode";
  ASSERT_EQ(d.set_density(0x80), kGood);
  EXPECT_EQ(d.read(), kEndOfData);
  EXPECT_EQ(read_file(path), "") << "made empty to carry the drive's lock";
  vbus_close(&d.bus);
  EXPECT_FALSE(file_exists(path)) << "nothing written: nothing left";
  ASSERT_EQ(vbus_load(d.dir.file("bus.ini").c_str(), &d.bus), 0);
  ASSERT_EQ(d.set_density(0x80), kGood);
  for (uint8_t fill : {1, 2, 3}) EXPECT_EQ(d.write(fill), kGood);
  EXPECT_EQ(read_file(path).size(), 3u * DAT_FRAME_BYTES);

  // Writing goes in place: a shorter recording leaves the older tail.
  EXPECT_EQ(d.exec(kRewind), kGood);
  EXPECT_EQ(d.write(9), kGood);
  EXPECT_EQ(d.exec(kRewind), kGood);
  for (uint8_t want : {9, 2, 3}) {
    EXPECT_EQ(d.read(), kGood);
    EXPECT_EQ(d.frame.audio[100], want);
  }
  EXPECT_EQ(d.read(), kEndOfData);
  EXPECT_EQ(d.read(), kEndOfData) << "the position stays at the end of data";
}

// Two holders of one cassette (two processes, or here two buses, whose flock
// locks exclude each other as two processes' do): the first command claims
// the drive, and the other's every command is refused while it holds it,
// whichever drive entry names the cassette; drives of one bus that name the
// same cassette share its claim, and another cassette is another drive.
TEST(VirtualBus, ADriveIsHeldByTheFirstBusToSendItACommand) {
  TempDir dir;
  ASSERT_TRUE(tape_write(tape_of_programs({{1, 10}}), dir.file("a.tape")));
  ASSERT_TRUE(write_bus_file(dir.file("one.ini"),
                             {{"0:4", {{"cassette", "a.tape"}}}, {"0:5", {{"cassette", "a.tape"}}},
                              {"0:6", {{"cassette", "b.tape"}}}}));
  ASSERT_TRUE(write_bus_file(dir.file("two.ini"), {{"1:2", {{"cassette", "a.tape"}}}, {"0:6", {{"cassette", "b.tape"}}}}));
  VirtualBus one, two;
  ASSERT_EQ(vbus_load(dir.file("one.ini").c_str(), &one), 0);
  ASSERT_EQ(vbus_load(dir.file("two.ini").c_str(), &two), 0);
  auto status = [](VirtualBus* bus, uint8_t adapter, uint8_t target) {
    AspiExecRequest b{};
    b.command = ASPI_CMD_EXEC_SCSI;
    b.adapter = adapter;
    b.target = target;
    b.cdb_length = 6;
    vbus_execute(bus, &b);  // TEST UNIT READY
    return b.status;
  };
  const std::string before = read_file(dir.file("a.tape"));
  EXPECT_EQ(status(&one, 0, 4), ASPI_STATUS_COMPLETED);
  EXPECT_EQ(status(&one, 0, 5), ASPI_STATUS_COMPLETED) << "the same cassette, the same holder";
  EXPECT_EQ(status(&two, 1, 2), ASPI_STATUS_IN_USE) << "another entry of the held cassette";
  EXPECT_EQ(status(&two, 0, 6), ASPI_STATUS_COMPLETED) << "another cassette is another drive";
  EXPECT_EQ(status(&one, 0, 6), ASPI_STATUS_IN_USE);
  EXPECT_EQ(read_file(dir.file("a.tape")), before);
  EXPECT_TRUE(file_exists(dir.file("b.tape"))) << "a missing cassette is made to carry the lock";
  vbus_close(&one);
  EXPECT_EQ(status(&two, 1, 2), ASPI_STATUS_COMPLETED) << "free once the holder has let go";
  vbus_close(&two);
  EXPECT_FALSE(file_exists(dir.file("b.tape")));
}

TEST(VirtualBus, ReadsDeliverTheCassettesFramesInAudioModeOnly) {
  RecordedDrive d;
  d.set_density(0x13);
  EXPECT_EQ(d.read(), kNotAudio);
  d.set_density(0x80);
  const Tape& recorded = RecordedDrive::recorded();
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(std::memcmp(&d.frame, &recorded.frames[0], sizeof(DatFrame)), 0);
  // A shorter request gets what fits and the incorrect-length flag.
  uint8_t part[100];
  EXPECT_EQ(d.exec({0x08, 0, 0, 0, 100, 0}, part, sizeof part), 0x01200000u);
  EXPECT_EQ(std::memcmp(part, &recorded.frames[1], sizeof part), 0);
}

TEST(VirtualBus, WriteProtectRefusesEveryWrite) {
  RecordedDrive d({{"write_protect", "yes"}});
  EXPECT_EQ(d.write(1), 0x04072700u);
  uint8_t data[100] = {};
  d.exec(kSensePage0, data, sizeof data);
  EXPECT_EQ(data[2] & 0x80, 0x80) << "the mode header shows write protection";
  EXPECT_EQ(d.read(), kGood);
}

TEST(VirtualBus, NotReadyForTheFirstTestsOrAlways) {
  RecordedDrive twice({{"not_ready", "2"}});
  EXPECT_EQ(twice.exec(kTur), kBecomingReady);
  EXPECT_EQ(twice.exec(kTur), kBecomingReady);
  EXPECT_EQ(twice.exec(kTur), kGood);

  RecordedDrive never({{"not_ready", "always"}});
  for (int i = 0; i < 100; ++i) ASSERT_EQ(never.exec(kTur), kBecomingReady);
}

TEST(VirtualBus, StuckDensityAcceptsModeSelectButKeepsTheDensity) {
  RecordedDrive d({{"density_stuck", "yes"}});  // its constructor asked for audio mode
  EXPECT_EQ(d.density(), 0x13);
  EXPECT_EQ(d.read(), kNotAudio);
}

TEST(VirtualBus, ReadErrorsFailTheirFramesAndMovePastThem) {
  RecordedDrive d({{"read_errors", "1, 3"}});
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.read(), kReadError);
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.frame.sid_pno23, 0x01);
  EXPECT_EQ(d.index(), 2) << "frame 2 follows the failed frame 1";
  EXPECT_EQ(d.read(), kReadError);
  EXPECT_EQ(d.read(), kGood);
}

// Flaky frames misread by draws that depend only on the seed, the frame and
// the count of its reads; an audio LOCATE under locate_slop stops early by
// the same kind of draw.
TEST(VirtualBus, FlakyFramesAndLocateSlopDrawRepeatably) {
  RecordedDrive d({{"flaky", "1:1 3:0 5"}, {"flaky_unreadable", "2:1"}, {"seed", "7"}});
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.frame.interpolate_flags, 0);
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.frame.interpolate_flags, 0x60) << "P = 1: every read of frame 1 is damaged";
  EXPECT_NE(std::memcmp(d.frame.audio, RecordedDrive::recorded().frames[1].audio, DAT_AUDIO_BYTES), 0)
      << "and its samples altered";
  EXPECT_EQ(d.read(), kReadError) << "frame 2 unreadable, the tape moves past";
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.frame.interpolate_flags, 0) << "P = 0 never misreads";
  EXPECT_EQ(d.index(), 3);

  // Frame 5 at the default P = 0.5: the same seed gives the same pattern,
  // another seed another, and about half the reads misread.
  auto pattern = [](const char* seed) {
    RecordedDrive drive({{"flaky", "5"}, {"seed", seed}});
    std::string marks;
    for (int i = 0; i < 64; ++i) {
      EXPECT_EQ(drive.exec({0x2B, 0, 0, 0, 0, 0, 5, 0, 0, 0}), kGood);
      EXPECT_EQ(drive.read(), kGood);
      marks += drive.frame.interpolate_flags ? 'x' : '.';
    }
    return marks;
  };
  std::string first = pattern("7");
  EXPECT_EQ(first, pattern("7"));
  EXPECT_NE(first, pattern("8"));
  auto damaged = std::count(first.begin(), first.end(), 'x');
  EXPECT_GT(damaged, 16);
  EXPECT_LT(damaged, 48);

  // Absolute time 4 s is frame 133: a LOCATE there stops 0 to 5 frames early.
  auto stops = [](const char* seed) {
    RecordedDrive drive({{"locate_slop", "5"}, {"seed", seed}});
    std::vector<int> at;
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(drive.exec(locate_audio(0x20, {0x00, 0x00, 0x04, 0x00})), kGood);
      EXPECT_EQ(drive.read(), kGood);
      at.push_back(drive.index());
    }
    return at;
  };
  std::vector<int> at = stops("1");
  EXPECT_EQ(at, stops("1"));
  EXPECT_GE(*std::min_element(at.begin(), at.end()), 128);
  EXPECT_EQ(*std::max_element(at.begin(), at.end()), 133);
  EXPECT_LT(*std::min_element(at.begin(), at.end()), 131);
}

TEST(VirtualBus, WriteErrorFailsTheNthWriteOnce) {
  struct Case {
    const char* value;
    uint32_t word;
  } cases[] = {{"2", 0x04033B00}, {"2:positioning", 0x04033B00}, {"2:medium", 0x04030C00}};
  for (const Case& c : cases) {
    RecordedDrive d({{"write_error", c.value}});
    EXPECT_EQ(d.write(1), kGood);
    EXPECT_EQ(d.write(2), c.word) << c.value;
    EXPECT_EQ(d.write(3), kGood);
    d.exec(kRewind);
    d.read();
    d.read();
    EXPECT_EQ(d.frame.audio[0], 3) << "the failed write left no frame";
  }
}

// Lowers the file-size limit of this process for the life of the object
// (SIGXFSZ ignored meanwhile, so a write beyond the limit fails with EFBIG).
struct FileSizeLimit {
  rlimit saved{};
  void (*saved_handler)(int);
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    saved_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit lower{bytes, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, saved_handler);
  }
};

TEST(VirtualBus, WriteTheFileTakesOnlyInPartLeavesTheCassetteAsItWas) {
  // A new cassette: the frame that crosses the limit is not left in part.
  Drive blank({{"cassette", "new.tape"}});
  blank.set_density(0x80);
  {
    FileSizeLimit limit(2 * DAT_FRAME_BYTES + 100);
    EXPECT_EQ(blank.write(1), kGood);
    EXPECT_EQ(blank.write(2), kGood);
    EXPECT_EQ(blank.write(3), 0x04030C00u);
  }
  EXPECT_EQ(read_file(blank.dir.file("new.tape")).size(), 2u * DAT_FRAME_BYTES);

  // A recorded one: the frame written over in part keeps what it held.
  RecordedDrive recorded;
  std::string before = read_file(recorded.dir.file("rec.tape"));
  {
    FileSizeLimit limit(DAT_FRAME_BYTES + 100);
    EXPECT_EQ(recorded.write(7), kGood);
    EXPECT_EQ(recorded.write(8), 0x04030C00u);
  }
  std::string after = read_file(recorded.dir.file("rec.tape"));
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.compare(DAT_FRAME_BYTES, std::string::npos, before, DAT_FRAME_BYTES, std::string::npos), 0)
      << "only the first frame was written";
}

TEST(VirtualBus, CapacityEndsTheTapeWithVolumeOverflow) {
  Drive d({{"cassette", "c.tape"}, {"capacity", "2"}});
  d.set_density(0x80);
  EXPECT_EQ(d.write(1), kGood);
  EXPECT_EQ(d.write(2), kGood);
  EXPECT_EQ(d.write(3), 0x044D0002u) << "VOLUME OVERFLOW with end-of-medium";
  EXPECT_EQ(read_file(d.dir.file("c.tape")).size(), 2u * DAT_FRAME_BYTES);
}

TEST(VirtualBus, LoadUnloadAndRewind) {
  RecordedDrive d;
  d.read();
  d.read();
  EXPECT_EQ(d.exec({0x1B, 0, 0, 0, 0, 0}), kGood);
  EXPECT_EQ(d.exec(kTur), kNoMedium) << "unloaded";
  EXPECT_EQ(d.read(), kNoMedium);
  EXPECT_EQ(d.exec({0x1B, 0, 0, 0, 1, 0}), kGood);
  EXPECT_EQ(d.exec(kTur), kGood);
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.index(), 0) << "a load starts at the beginning";
  d.read();
  EXPECT_EQ(d.exec(kRewind), kGood);
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.index(), 0);
}

TEST(VirtualBus, AudioLocateFindsTheFirstFrameShowingThePosition) {
  struct Case {
    uint8_t type_bits;
    Bytes value;
    uint64_t frame;
  } cases[] = {
      {0x00, {0, 0, 2, 0}, 100},                 // program 2
      {0x00, {0, 0, 3, 0}, 200},                 // program 3
      {0x20, {0x00, 0x00, 0x04, 0x00}, 133},     // absolute time 4 s
      {0x60, {0x00, 0x00, 0x01, 0x00}, 33},      // program time 1 s: first in program 1
      {0x40, {0x00, 0x00, 0x06, 0x00}, 200},     // running time 6 s
      {0x40, {0x00, 0x00, 0x02, 0x33}, 99},      // the 34-frame second
  };
  for (const Case& c : cases) {
    RecordedDrive d;
    EXPECT_EQ(d.exec(locate_audio(c.type_bits, c.value)), kGood);
    EXPECT_EQ(d.exec(kTur), kGood) << "no search polls: arrived at once";
    ASSERT_EQ(d.read(), kGood);
    EXPECT_EQ(d.index(), static_cast<int>(c.frame));
  }
}

TEST(VirtualBus, LocateWithoutAMatchEndsAtTheEndOfData) {
  RecordedDrive d;
  EXPECT_EQ(d.exec(locate_audio(0x00, {0, 0, 9, 0})), kGood) << "immediate: returns at once";
  EXPECT_EQ(d.read_position(), kEndOfData);
  EXPECT_EQ(d.exec(locate_audio(0x20, {0x01, 0x00, 0x00, 0x00}, false)), kEndOfData);
  EXPECT_EQ(d.exec(locate_audio(0x40, {0x00, 0x00, 0x00, 0x40})), kGood) << "not a time code";
  EXPECT_EQ(d.read(), kEndOfData);

  d.set_density(0x13);
  EXPECT_EQ(d.exec(locate_audio(0x00, {0, 0, 1, 0})), kNotAudio);
  EXPECT_EQ(d.exec({0x2B, 0, 0, 0, 0, 0, 5, 0, 0, 0}), kGood) << "by block number in any mode";
  d.set_density(0x80);
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.index(), 5);
}

TEST(VirtualBus, ReadPositionReportsTheFrameAtThePosition) {
  RecordedDrive d;
  for (int i = 0; i < 134; ++i) d.read();
  ASSERT_EQ(d.read_position(), kGood);
  EXPECT_EQ(d.position_bytes(4, 3), Bytes({0, 0, 2}));
  EXPECT_EQ(d.position_bytes(8, 4), Bytes({0x00, 0x00, 0x04, 0x01}));   // running time of frame 134
  EXPECT_EQ(d.position_bytes(12, 4), Bytes({0x00, 0x00, 0x04, 0x01}));  // absolute time
  EXPECT_EQ(d.position_bytes(16, 4), Bytes({0x00, 0x00, 0x01, 0x01}));  // program time: frame 34 of program 2

  Drive bare({{"cassette", "bare.tape"}, {"read_errors", ""}});
  Tape untimed;
  tape_record(&untimed, Recording{.program = 12, .start_id_frames = 10, .times = false}, 5);
  tape_write(untimed, bare.dir.file("bare.tape"));
  vbus_close(&bare.bus);
  vbus_load(bare.dir.file("bus.ini").c_str(), &bare.bus);
  bare.set_density(0x80);
  ASSERT_EQ(bare.read_position(), kGood);
  EXPECT_EQ(bare.position_bytes(4, 3), Bytes({0, 1, 2}));
  EXPECT_EQ(bare.position_bytes(12, 4), Bytes(4, 0xAA)) << "no absolute time recorded";
  EXPECT_EQ(bare.position_bytes(16, 4), Bytes(4, 0xAA));
}

TEST(VirtualBus, SearchTakesItsPollsAndReportsPositionsOnTheWay) {
  RecordedDrive d({{"search_polls", "2"}});
  EXPECT_EQ(d.exec(locate_audio(0x00, {0, 0, 2, 0})), kGood);
  EXPECT_EQ(d.exec(kTur), kBecomingReady);
  ASSERT_EQ(d.read_position(), kGood);  // a third of the way
  EXPECT_EQ(d.position_bytes(12, 4), Bytes({0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(d.exec(kTur), kBecomingReady);
  ASSERT_EQ(d.read_position(), kGood);  // two thirds
  EXPECT_EQ(d.position_bytes(12, 4), Bytes({0x00, 0x00, 0x02, 0x00}));
  ASSERT_EQ(d.read_position(), kGood);  // arrived
  EXPECT_EQ(d.position_bytes(4, 3), Bytes({0, 0, 2}));
  EXPECT_EQ(d.position_bytes(12, 4), Bytes({0x00, 0x00, 0x03, 0x00}));
  EXPECT_EQ(d.exec(kTur), kGood);

  // A READ during the search waits for its end.
  EXPECT_EQ(d.exec(locate_audio(0x00, {0, 0, 3, 0})), kGood);
  EXPECT_EQ(d.read(), kGood);
  EXPECT_EQ(d.frame.sid_pno23, 0x03);
}

TEST(VirtualBus, TransportTallyCountsTapeMotionAndItsTime) {
  struct Case {
    const char* name;
    KeyList keys;
    bool recorded;
    std::function<void(Drive&)> run;
    uint64_t reads, writes, locates, frames_searched;
    double seconds;
  } cases[] = {
      {"reads", {}, true, [](Drive& d) { for (int i = 0; i < 10; ++i) d.read(); }, 10, 0, 0, 0, 0.3},
      // The failed frame passes the head; a READ at the end of data does not move the tape.
      {"read error, end of data", {{"read_errors", "299"}}, true,
       [](Drive& d) {
         d.exec({0x2B, 0, 0, 0, 0, 0x01, 0x2A, 0, 0, 0});  // to block 298
         for (int i = 0; i < 4; ++i) d.read();
       },
       2, 0, 1, 298, 0.06 + 298 * 0.03 / 200 + 1.0},
      {"writes at speed 2, refused ones cost nothing", {{"cassette", "c.tape"}, {"capacity", "3"}, {"speed", "2"}},
       false, [](Drive& d) { for (uint8_t i = 0; i < 5; ++i) d.write(i); }, 0, 3, 0, 0, 0.045},
      {"locate at the default search speed", {}, true,
       [](Drive& d) { d.exec(locate_audio(0x00, {0, 0, 3, 0}, false)); }, 0, 0, 1, 200, 1.03},
      {"search speed and settling are the drive's own; speed is for transfers",
       {{"search_speed", "100"}, {"locate_seconds", "0.5"}, {"speed", "2"}, {"search_polls", "3"}}, true,
       [](Drive& d) {
         d.exec(locate_audio(0x00, {0, 0, 3, 0}));
         for (int i = 0; i < 4; ++i) d.read_position();
       },
       0, 0, 1, 200, 0.56},
      {"no match winds to the end of data; data mode refuses", {}, true,
       [](Drive& d) {
         d.exec(locate_audio(0x00, {0, 0, 9, 0}));
         d.set_density(0x13);
         d.exec(locate_audio(0x00, {0, 0, 1, 0}));
       },
       0, 0, 1, 300, 1.045},
      {"rewind", {}, true,
       [](Drive& d) {
         for (int i = 0; i < 50; ++i) d.read();
         d.exec(kRewind);
         d.exec(kTur);
         d.exec(kInquiry);
       },
       50, 0, 1, 50, 1.5 + 50 * 0.03 / 200 + 1.0},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Drive> d(c.recorded ? new RecordedDrive(c.keys) : new Drive(c.keys));
    if (!c.recorded) d->set_density(0x80);
    c.run(*d);
    const VirtualDrive& v = d->bus.drives[0];
    EXPECT_EQ(v.tape_reads, c.reads) << c.name;
    EXPECT_EQ(v.tape_writes, c.writes) << c.name;
    EXPECT_EQ(v.locates, c.locates) << c.name;
    EXPECT_EQ(v.frames_searched, c.frames_searched) << c.name;
    EXPECT_NEAR(vdrive_seconds(&v), c.seconds, 1e-9) << c.name;
  }
}

TEST(VirtualBus, StatsFileHoldsEveryDrivesTallyOrIsNotWrittenAtAll) {
  TempDir dir;
  tape_write(tape_of_programs({{1, 10}}), dir.file("t.tape"));
  write_bus_file(dir.file("bus.ini"),
                 {{"0:4", {{"cassette", "t.tape"}}}, {"1:2", {}}}, {{"stats", "stats.json"}});
  VirtualBus bus;
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  EXPECT_EQ(bus.stats, dir.file("stats.json")) << "relative to the bus file's folder";
  bus.drives[0].tape_reads = 11;
  bus.drives[0].locates = 2;
  bus.drives[0].frames_searched = 400;
  ASSERT_EQ(vbus_write_stats(&bus), 0);
  EXPECT_EQ(read_file(dir.file("stats.json")),
            "{\"drives\": [\n"
            "  {\"address\": \"0:4\", \"reads\": 11, \"writes\": 0, \"locates\": 2, \"frames_searched\": 400, "
            "\"drive_seconds\": 2.390, \"loaded\": true, \"density\": 19},\n"
            "  {\"address\": \"1:2\", \"reads\": 0, \"writes\": 0, \"locates\": 0, \"frames_searched\": 0, "
            "\"drive_seconds\": 0.000, \"loaded\": false, \"density\": 19}\n"
            "]}\n");

  // A name taken by a folder, a folder that does not exist: a warning each,
  // and nothing left behind.
  ASSERT_EQ(mkdir(dir.file("taken").c_str(), 0755), 0);
  for (std::string path : {dir.file("taken"), dir.file("missing/stats.json")}) {
    bus.stats = path;
    testing::internal::CaptureStderr();
    EXPECT_EQ(vbus_write_stats(&bus), -1) << path;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path + ": cannot write the stats file"), std::string::npos) << err;
  }
  std::vector<std::string> names;
  DIR* folder = opendir(dir.path().c_str());
  while (dirent* e = readdir(folder))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(folder);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, std::vector<std::string>({"bus.ini", "stats.json", "t.tape", "taken"}));
  vbus_close(&bus);
}

int g_interrupts = 0;
void count_interrupt(int) { ++g_interrupts; }

TEST(VirtualBus, InterruptAtRaisesSigintJustBeforeTheNthTransferOrPoll) {
  TempDir dir;
  tape_write(tape_of_programs({{1, 10}}), dir.file("t.tape"));
  write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "t.tape"}}}, {"0:5", {{"cassette", "u.tape"}}}},
                 {{"interrupt_at", "3"}, {"interrupt_at_poll", "2"}});
  VirtualBus bus;
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  auto previous = std::signal(SIGINT, count_interrupt);
  DatFrame frame{};
  auto run = [&](uint8_t target, const Bytes& cdb) {
    AspiExecRequest b{};
    b.target = target;
    b.data = &frame;
    b.data_length = sizeof frame;
    b.cdb_length = 6;
    std::memcpy(b.cdb, cdb.data(), 6);
    vbus_execute(&bus, &b);
  };
  for (int target : {4, 5}) bus.drives[target - 4].density = DENSITY_AUDIO;
  run(4, kRead);
  run(4, kTur);  // not a transfer
  run(5, kWrite);
  EXPECT_EQ(g_interrupts, 0);
  run(4, kRead);
  EXPECT_EQ(g_interrupts, 1);
  run(4, kRead);
  EXPECT_EQ(g_interrupts, 1) << "once";
  run(5, kTur);  // the second poll
  EXPECT_EQ(g_interrupts, 2);
  run(5, kTur);
  EXPECT_EQ(g_interrupts, 2) << "once";
  std::signal(SIGINT, previous);
  vbus_close(&bus);
}

TEST(VirtualBus, ModePage30KeepsTheMrsBit) {
  Drive d({});
  uint8_t page[100] = {};
  EXPECT_EQ(d.exec({0x1A, 0, 0x30, 0, 100, 0}, page, sizeof page), kGood);
  EXPECT_EQ(page[0], 19);
  EXPECT_EQ(page[12], 0x30);
  EXPECT_EQ(page[15], 0);
  page[15] = 0x08;
  EXPECT_EQ(d.exec({0x15, 0, 0, 0, 19, 0}, page, 19, true), kGood);
  std::memset(page, 0, sizeof page);
  d.exec({0x1A, 0, 0x30, 0, 100, 0}, page, sizeof page);
  EXPECT_EQ(page[15], 0x08);
  EXPECT_EQ(d.exec({0x1A, 0, 0x21, 0, 100, 0}, page, sizeof page), 0x04052400u) << "no such page";
}

TEST(VirtualBus, RunningTimeCodesCountHundredFramesInThreeSeconds) {
  for (uint64_t index = 0; index < 20000; ++index) {
    uint8_t code[4];
    vbus_index_to_time_code(index, code);
    ASSERT_EQ(vbus_time_code_to_index(code), static_cast<int64_t>(index)) << index;
  }
  uint8_t code[4];
  vbus_index_to_time_code(100, code);
  EXPECT_EQ(Bytes(code, code + 4), Bytes({0x00, 0x00, 0x03, 0x00}));
  vbus_index_to_time_code(119999, code);  // one hour = 120000 frames
  EXPECT_EQ(Bytes(code, code + 4), Bytes({0x00, 0x59, 0x59, 0x33}));
  const uint8_t frame33_in_second0[4] = {0, 0, 0x00, 0x33};
  const uint8_t frame33_in_second2[4] = {0, 0, 0x02, 0x33};
  const uint8_t not_bcd[4] = {0, 0x0A, 0, 0};
  EXPECT_EQ(vbus_time_code_to_index(frame33_in_second0), -1);
  EXPECT_EQ(vbus_time_code_to_index(frame33_in_second2), 99);
  EXPECT_EQ(vbus_time_code_to_index(not_bcd), -1);
}

}  // namespace
