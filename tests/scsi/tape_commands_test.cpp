// SPDX-License-Identifier: MIT
// The tape commands: their CDBs, data phases and time-outs, how each turns
// the result word into its own result, their messages, the drive table and
// the unit-ready wait.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"
#include "tests/scsi/fake_provider.h"
#include "tests/support/console_messages.h"

namespace {

// The unit-ready wait sleeps through the platform clock; simulated here.
const int kSimulatedClock = setenv("KESTREL_CLOCK", "simulated", 1);

using Bytes = std::vector<uint8_t>;

const DriveAddress kDrive{0, 4, 0};

struct TapeCommands : ::testing::Test {
  ConsoleMessages messages;
  FakeProvider* fake = fake_install();
  ~TapeCommands() override { fake_uninstall(); }
  const RecordedCommand& last() const { return fake->commands.back(); }
};

struct CdbCase {
  const char* name;
  std::function<void()> call;
  Bytes cdb;
  uint8_t flags;
  uint32_t data_length;
  uint32_t timeout_ms;
};

TEST_F(TapeCommands, EachCommandSendsItsCdbDataPhaseAndTimeOut) {
  static uint8_t buffer[6000];
  const CdbCase cases[] = {
      {"read", [] { scsi_read_block(1, 4, 0, buffer, 5822); }, {0x08, 0, 0x00, 0x16, 0xBE, 0}, 0x48, 5822, 25000},
      {"write", [] { scsi_write_block(1, 4, 0, buffer, 5822); }, {0x0A, 0, 0x00, 0x16, 0xBE, 0}, 0x50, 5822, 25000},
      {"seek block", [] { scsi_seek_block(1, 4, 0, 0x123456); }, {0x0C, 0, 0x12, 0x34, 0x56, 0}, 0x48, 0, 25000},
      {"rewind", [] { scsi_rewind(1, 4, 0); }, {0x01, 0, 0, 0, 0, 0}, 0x48, 0, 300000},
      {"load", [] { do_load(1, 4, 0, 1); }, {0x1B, 0, 0, 0, 1, 0}, 0x48, 0, 300000},
      {"unload", [] { do_load(1, 4, 0, 0); }, {0x1B, 0, 0, 0, 0, 0}, 0x48, 0, 300000},
      {"locate", [] { scsi_locate(1, 4, 0, 0x01020304, 0); }, {0x2B, 0, 0, 1, 2, 3, 4, 0, 0, 0}, 0x48, 0, 300000},
      {"locate partition", [] { scsi_locate(1, 4, 0, 7, 0x101); }, {0x2B, 2, 0, 0, 0, 0, 7, 0, 1, 0}, 0x48, 0, 300000},
      {"read position", [] { scsi_read_position(1, 4, 0, buffer); }, {0x34, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0x48, 20, 25000},
      {"test unit ready", [] { scsi_test_unit_ready(1, 4, 0); }, {0, 0, 0, 0, 0, 0}, 0x48, 0, 25000},
      {"read buffer", [] { scsi_read_buffer(1, 4, 0, 2, 0x010203, buffer, 300); },
       {0x3C, 1, 2, 1, 2, 3, 0, 0, 0xFF, 0}, 0x48, 255, 25000},
      {"mode select 12", [] { scsi_mode_select_12(DriveAddress{1, 4, 0}, buffer, 12); }, {0x15, 0, 0, 0, 0x0C, 0}, 0x50, 12, 25000},
      {"mode sense", [] { scsi_mode_sense(DriveAddress{1, 4, 0}, 0x30, buffer, 100); }, {0x1A, 0, 0x30, 0, 100, 0}, 0x48, 100, 25000},
      {"mode sense capped", [] { scsi_mode_sense(DriveAddress{1, 4, 0}, 0, buffer, 1000); }, {0x1A, 0, 0, 0, 0xFF, 0}, 0x48, 255, 25000},
      {"inquiry", [] { scsi_inquiry(DriveAddress{1, 4, 0}, buffer, 36); }, {0x12, 0, 0, 0, 36, 0}, 0x48, 36, 25000},
      {"inquiry capped", [] { scsi_inquiry(DriveAddress{1, 4, 0}, buffer, 300); }, {0x12, 0, 0, 0, 0xFF, 0}, 0x48, 255, 25000},
  };
  for (const CdbCase& c : cases) {
    size_t before = fake->commands.size();
    c.call();
    ASSERT_EQ(fake->commands.size(), before + 1) << c.name;
    EXPECT_EQ(last().cdb, c.cdb) << c.name;
    EXPECT_EQ(last().flags, c.flags) << c.name;
    EXPECT_EQ(last().data_length, c.data_length) << c.name;
    EXPECT_EQ(last().timeout_ms, c.timeout_ms) << c.name;
    EXPECT_EQ(last().adapter, 1) << c.name;
    EXPECT_EQ(last().target, 4) << c.name;
  }
}

TEST_F(TapeCommands, AudioLocateEncodesProgramNumbersAndTimeCodes) {
  struct Case {
    uint32_t position;
    int type;
    Bytes cdb;
  } cases[] = {
      {7, 0, {0x2B, 0x05, 0, 0x00, 0, 0, 7, 0, 0, 0}},
      {123, 0, {0x2B, 0x05, 0, 0x00, 1, 2, 3, 0, 0, 0}},
      {0x01020304, 1, {0x2B, 0x05, 0, 0x20, 0x01, 0x02, 0x03, 0x04, 0, 0}},
      {0x000A1E05, 1, {0x2B, 0x05, 0, 0x20, 0x00, 0x10, 0x30, 0x05, 0, 0}},  // 0:10:30:5
      {0x00000C21, 2, {0x2B, 0x05, 0, 0x40, 0x00, 0x00, 0x12, 0x33, 0, 0}},
      {0x013B3B20, 3, {0x2B, 0x05, 0, 0x60, 0x01, 0x59, 0x59, 0x32, 0, 0}},
      {0x01020304, 5, {0x2B, 0x05, 0, 0x00, 0x01, 0x02, 0x03, 0x04, 0, 0}},  // unknown type: a time, T = 0
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scsi_locate2(0, 4, 0, c.position, c.type), 0);
    EXPECT_EQ(last().cdb, c.cdb) << c.position << " type " << c.type;
    EXPECT_EQ(last().timeout_ms, 300000u);
  }
}

TEST_F(TapeCommands, ResultConventions) {
  uint8_t buffer[5822];
  const uint32_t recovered = 0x01010000, failed = 0x04033B00, eom_warning = 0x01400000;
  auto with = [&](uint32_t word) { fake->replies.push_back(reply_word(word)); };

  with(recovered);
  EXPECT_EQ(scsi_read_block(0, 4, 0, buffer, 5822), recovered) << "READ returns the word unchanged";
  with(failed);
  EXPECT_EQ(scsi_read_block(0, 4, 0, buffer, 5822), failed);

  with(eom_warning);
  EXPECT_EQ(scsi_write_block(0, 4, 0, buffer, 5822), 0u) << "completed with sense is written";
  with(failed);
  EXPECT_EQ(scsi_write_block(0, 4, 0, buffer, 5822), failed);
  with(0);  // never completed: must not read as written
  EXPECT_EQ(scsi_write_block(0, 4, 0, buffer, 5822), ASPI_RESULT_NOT_COMPLETED);

  with(recovered);
  EXPECT_EQ(scsi_read_position(0, 4, 0, buffer), 0u);
  with(0x04080005);
  EXPECT_EQ(scsi_read_position(0, 4, 0, buffer), 0x04080005u);
  with(0);
  EXPECT_EQ(scsi_read_position(0, 4, 0, buffer), ASPI_RESULT_NOT_COMPLETED);

  with(0x02000000);
  EXPECT_EQ(scsi_test_unit_ready(0, 4, 0), 0x02000000u);

  for (auto command : {+[] { return scsi_seek_block(0, 4, 0, 1); }, +[] { return scsi_locate(0, 4, 0, 1, 0); },
                       +[] { return scsi_locate2(0, 4, 0, 1, 0); }}) {
    with(recovered);
    EXPECT_EQ(command(), 0);
    with(failed);
    EXPECT_EQ(command(), -1);
  }
  with(failed);
  EXPECT_EQ(scsi_read_buffer(0, 4, 0, 0, 0, buffer, 10), -1);

}

// kestrel's own forms: the status named from the word, and the word as the
// messages show it (WRITE and READ POSITION never give 0 for a failure).
TEST_F(TapeCommands, EachCommandNamesItsStatusAndKeepsItsWord) {
  static uint8_t buffer[6000];
  using Command = TapeResult (*)();
  const Command read = [] { return scsi_read_block(kDrive, buffer, 5822); };
  const Command write = [] { return scsi_write_block(kDrive, buffer, 5822); };
  const Command position = [] { return scsi_read_position(kDrive, buffer); };
  const Command inquiry = [] { return scsi_inquiry(kDrive, buffer, 36); };
  const Command locate = [] { return scsi_locate2(kDrive, 5, 0); };
  const Command ready = [] { return scsi_test_unit_ready(kDrive); };
  const Command select = [] { return scsi_mode_select(kDrive, buffer, 12); };
  struct Row {
    const char* what;
    Command command;
    uint32_t reply;
    TapeStatus status;
    uint32_t word;
  } rows[] = {
      {"read, recovered", read, 0x01010000, TAPE_RECOVERED, 0x01010000},
      {"read, never completed", read, 0, TAPE_PENDING, 0},
      {"read, unreadable frame", read, 0x04031100, TAPE_MEDIUM_ERROR, 0x04031100},
      {"write, end-of-medium warning", write, 0x01400000, TAPE_RECOVERED, 0x01400000},
      {"write, never completed", write, 0, TAPE_PENDING, ASPI_RESULT_NOT_COMPLETED},
      {"write, protected", write, 0x04072700, TAPE_WRITE_PROTECTED, 0x04072700},
      {"position, end of data", position, 0x04080005, TAPE_END_OF_DATA, 0x04080005},
      {"position, never completed", position, 0, TAPE_PENDING, ASPI_RESULT_NOT_COMPLETED},
      {"inquiry, good", inquiry, 0x01000000, TAPE_GOOD, 0x01000000},
      {"inquiry, no device", inquiry, 0x82000000, TAPE_NO_DEVICE, 0x82000000},
      {"inquiry, in use", inquiry, 0xE5000000, TAPE_IN_USE, 0xE5000000},
      {"locate, positioning error", locate, 0x04033B00, TAPE_POSITIONING, 0x04033B00},
      {"test unit ready, no cassette", ready, 0x04023A00, TAPE_NOT_READY, 0x04023A00},
      {"mode select, refused field", select, 0x04052600, TAPE_ILLEGAL_REQUEST, 0x04052600},
  };
  for (const Row& row : rows) {
    fake->replies.push_back(reply_word(row.reply));
    TapeResult r = row.command();
    EXPECT_EQ(r.status, row.status) << row.what;
    EXPECT_EQ(r.word, row.word) << row.what;
  }
}

// Sent again where the drive did not carry the command out and the SCSI
// standard says to; never a READ or WRITE after a UNIT ATTENTION (the tape's
// place is lost), never a TEST UNIT READY (its callers poll).
TEST_F(TapeCommands, RetriedAfterUnitAttentionAndWhileBecomingReady) {
  using Command = TapeResult (*)();
  static uint8_t buffer[6000];
  const uint32_t kAttention = 0x04062900, kMediumChanged = 0x04062800, kBecoming = 0x04020401;
  const uint32_t kNoMedium = 0x04023A00;
  const Command read = [] { return scsi_read_block(kDrive, buffer, 5822); };
  const Command write = [] { return scsi_write_block(kDrive, buffer, 5822); };
  const Command rewind = [] { return scsi_rewind(kDrive); };
  const Command sense = [] { return scsi_mode_sense(kDrive, 0, buffer, 12); };
  const Command ready = [] { return scsi_test_unit_ready(kDrive); };
  struct Row {
    const char* what;
    Command command;
    std::vector<uint32_t> replies;  // then GOOD
    size_t sent;
    TapeStatus status;
    uint32_t waited_ms;
  } rows[] = {
      {"rewind after a reset", rewind, {kAttention}, 2, TAPE_GOOD, 0},
      {"mode sense after a cassette change", sense, {kMediumChanged}, 2, TAPE_GOOD, 0},
      {"test unit ready after a reset", ready, {kAttention}, 2, TAPE_GOOD, 0},
      {"attention after attention, up to three", rewind, {kAttention, kAttention, kAttention}, 4, TAPE_GOOD, 0},
      {"a fourth is the answer", rewind, {kAttention, kAttention, kAttention, kAttention}, 4,
       TAPE_UNIT_ATTENTION, 0},
      {"read after a reset", read, {kAttention}, 1, TAPE_UNIT_ATTENTION, 0},
      {"write after a cassette change", write, {kMediumChanged}, 1, TAPE_UNIT_ATTENTION, 0},
      {"read while becoming ready", read, {kBecoming, kBecoming, kBecoming}, 4, TAPE_GOOD, 300},
      {"rewind becoming ready after a reset", rewind, {kAttention, kBecoming}, 3, TAPE_GOOD, 100},
      {"test unit ready becoming ready", ready, {kBecoming}, 1, TAPE_NOT_READY, 0},
      {"no cassette is not becoming ready", sense, {kNoMedium}, 1, TAPE_NOT_READY, 0},
      {"a read timed out", read, {0}, 1, TAPE_PENDING, 0},
  };
  for (const Row& row : rows) {
    fake->commands.clear();
    fake->replies.clear();
    for (uint32_t word : row.replies) fake->replies.push_back(reply_word(word));
    uint32_t start = platform_time_ms();
    TapeResult r = row.command();
    EXPECT_EQ(fake->commands.size(), row.sent) << row.what;
    EXPECT_EQ(r.status, row.status) << row.what;
    EXPECT_EQ(platform_time_ms() - start, row.waited_ms) << row.what;
  }
  // Becoming ready for longer than a tape takes to mount: the answer after a minute.
  fake->commands.clear();
  for (int i = 0; i < 1000; ++i) fake->replies.push_back(reply_word(kBecoming));
  EXPECT_EQ(rewind().status, TAPE_NOT_READY);
  EXPECT_EQ(fake->commands.size(), 601u);
}

TEST_F(TapeCommands, RefusedLengthsSendNothing) {
  uint8_t buffer[16] = {};
  const TapeResult refused[] = {
      scsi_inquiry(kDrive, buffer, -1),        scsi_mode_sense(kDrive, 0, buffer, 0),
      scsi_mode_select(kDrive, buffer, 0),     scsi_mode_select_12(kDrive, buffer, -3),
      scsi_read_block(kDrive, buffer, -1),     scsi_write_block(kDrive, buffer, 0x1000000),
      scsi_read_buffer(kDrive, 0, 0, buffer, -1),
  };
  for (const TapeResult& r : refused) {
    EXPECT_EQ(r.status, TAPE_OTHER);
    EXPECT_EQ(r.word, ASPI_RESULT_INVALID_REQUEST);
  }
  EXPECT_TRUE(fake->commands.empty());
}

TEST_F(TapeCommands, RewindAndLoadPrintTheirFailures) {
  fake->replies.push_back(reply_word(0x04023A00));
  fake->replies.push_back(reply_word(0x04033B00));
  testing::internal::CaptureStdout();
  EXPECT_EQ(scsi_rewind(0, 4, 0), -1);
  EXPECT_EQ(do_load(0, 4, 0, 1), -1);
  EXPECT_EQ(scsi_rewind(0, 4, 0), 0);
  EXPECT_EQ(do_load(0, 4, 0, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rewind failed: 04023a00\nload failed; 04033b00\n");
}

TEST_F(TapeCommands, ModeSenseReturnsTheModeDataLengthAndCopiesNoMoreThanAsked) {
  Bytes data(30, 0x77);
  data[0] = 19;  // 20 bytes of mode data
  fake->replies.push_back(reply_data(data));
  uint8_t destination[40];
  std::memset(destination, 0xEE, sizeof destination);
  int bytes = 0;
  EXPECT_EQ(scsi_mode_sense(kDrive, 0x30, destination, 40, &bytes).status, TAPE_GOOD);
  EXPECT_EQ(bytes, 20);
  EXPECT_EQ(destination[19], 0x77);
  EXPECT_EQ(destination[20], 0xEE) << "only the mode data is copied";

  fake->replies.push_back(reply_data(data));
  std::memset(destination, 0xEE, sizeof destination);
  bytes = 0;
  EXPECT_EQ(scsi_mode_sense(kDrive, 0x30, destination, 8, &bytes).status, TAPE_GOOD);
  EXPECT_EQ(bytes, 20);
  EXPECT_EQ(destination[7], 0x77);
  EXPECT_EQ(destination[8], 0xEE) << "never more than requested";

  fake->replies.push_back(reply_word(0x04052400));
  bytes = 0;
  EXPECT_EQ(scsi_mode_sense(kDrive, 0x30, destination, 8, &bytes).status, TAPE_ILLEGAL_REQUEST);
  EXPECT_EQ(bytes, 0) << "no mode data";
}

TEST_F(TapeCommands, ModeSelectSendsWhatTheFirstByteSaysButNeverBeyondTheBuffer) {
  uint8_t data[100] = {19, 0, 0x10, 8, 0x80};
  EXPECT_TRUE(tape_completed(scsi_mode_select(kDrive, data, 100)));
  EXPECT_EQ(last().cdb, Bytes({0x15, 0, 0, 0, 19, 0}));
  EXPECT_EQ(last().data_out, Bytes(data, data + 19));

  // The first byte claims more than the buffer holds.
  uint8_t small[4] = {200, 1, 2, 3};
  EXPECT_TRUE(tape_completed(scsi_mode_select(kDrive, small, 4)));
  EXPECT_EQ(last().cdb, Bytes({0x15, 0, 0, 0, 4, 0}));
  EXPECT_EQ(last().data_out, Bytes(small, small + 4));

  fake->replies.push_back(reply_word(0x04052600));
  EXPECT_EQ(scsi_mode_select(kDrive, data, 100).status, TAPE_ILLEGAL_REQUEST);
}

Bytes mode_data(uint8_t density, uint8_t mrs_flags = 0) {
  Bytes d(20, 0);
  d[0] = 19;
  d[3] = 8;
  d[4] = density;
  d[12] = 0x30;
  d[13] = 6;
  d[15] = mrs_flags;
  return d;
}

TEST_F(TapeCommands, SetDensitySendsItsListAndChecksTheDensityReadBack) {
  fake->replies.push_back(FakeReply());
  fake->replies.push_back(reply_data(mode_data(0x80)));
  EXPECT_TRUE(set_density(kDrive, 0x80));
  ASSERT_EQ(fake->commands.size(), 2u);
  EXPECT_EQ(fake->commands[0].data_out, Bytes({0, 0, 0x10, 8, 0x80, 0, 0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(fake->commands[1].cdb, Bytes({0x1A, 0, 0, 0, 100, 0}));

  fake->replies.push_back(FakeReply());
  fake->replies.push_back(reply_data(mode_data(0x13)));  // accepted, but the density stayed
  EXPECT_FALSE(set_density(kDrive, 0x80));

  fake->replies.push_back(reply_word(0x04052600));
  EXPECT_FALSE(set_density(kDrive, 0x80));
}

TEST_F(TapeCommands, AudioAndDataModeReportFailures) {
  testing::internal::CaptureStdout();
  fake->replies = {reply_data(mode_data(0x13)), FakeReply(), reply_data(mode_data(0x80)), reply_data(mode_data(0x80))};
  EXPECT_TRUE(set_audio_mode(kDrive));
  EXPECT_EQ(fake->commands.size(), 4u) << "density, select, read back, density";
  fake->replies = {reply_data(mode_data(0x80)), FakeReply(), reply_data(mode_data(0x80))};
  EXPECT_FALSE(set_data_mode(kDrive));
  fake->replies = {reply_word(0x04052400)};
  EXPECT_EQ(get_density(kDrive), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to set new density\nget mode page retval -1\n");
}

TEST_F(TapeCommands, MrsOffSetsTheBitOfPage30AndReportsWhatItReadsBack) {
  struct Case {
    std::vector<FakeReply> replies;
    std::string printed;
    size_t commands;
  } cases[] = {
      {{reply_data(mode_data(0x80, 0x08))}, "already off.\n", 1},
      {{reply_data(mode_data(0x80)), FakeReply(), reply_data(mode_data(0x80, 0x08))}, "done.\n", 3},
      {{reply_data(mode_data(0x80)), FakeReply(), reply_data(mode_data(0x80))}, "could not be turned off.\n", 3},
  };
  for (const Case& c : cases) {
    fake->commands.clear();
    fake->replies.assign(c.replies.begin(), c.replies.end());
    testing::internal::CaptureStdout();
    mrs_off(kDrive);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Turning off MRS mode..." + c.printed);
    ASSERT_EQ(fake->commands.size(), c.commands);
    EXPECT_EQ(fake->commands[0].cdb, Bytes({0x1A, 0, 0x30, 0, 100, 0}));
    if (c.commands == 3) {
      Bytes sent = mode_data(0x80, 0x08);
      sent.resize(19);  // the mode data length, one less than the bytes read
      EXPECT_EQ(fake->commands[1].data_out, sent);
    }
  }
}

TEST(DriveTable, LookupFindsTheLastMatchingRow) {
  EXPECT_EQ(lookup_drive("SONY    ", "SDT-9000        1.11"), DRIVE_SDT9000);
  EXPECT_EQ(lookup_drive("SONY    ", "SDT-9000        9.99"), DRIVE_SDT9000);
  EXPECT_EQ(lookup_drive("ARCHIVE ", "Python 01931-XXX5.63"), DRIVE_PYTHON);
  EXPECT_EQ(lookup_drive("ARCHIVE ", "Python 99999-XXX0.01"), DRIVE_PYTHON) << "through the Python row";
  EXPECT_EQ(lookup_drive("ARCHIVE ", "PYTHON 01931-XXX5.63"), DRIVE_UNKNOWN) << "case matters";
  EXPECT_EQ(lookup_drive("ARCHIVE ", "Viper 2525"), DRIVE_UNKNOWN);
  EXPECT_EQ(lookup_drive("SONY    ", "SDT-5000"), DRIVE_UNKNOWN);
  EXPECT_EQ(lookup_drive("HP      ", "SDT-9000        1.13"), DRIVE_UNKNOWN);
  EXPECT_EQ(lookup_drive("NULL", "NULL"), DRIVE_UNKNOWN) << "the end row matches nothing";
  EXPECT_EQ(lookup_drive("", ""), DRIVE_UNKNOWN);
}

TEST_F(TapeCommands, UnitReadyWaitPollsEvery100msUntilItsLimit) {
  ASSERT_EQ(kSimulatedClock, 0);
  ASSERT_TRUE(platform_clock_simulated());
  // Ready at once: one command, no sleep.
  uint32_t start = platform_time_ms();
  EXPECT_EQ(wait_unit_ready(kDrive, 60000).word, ASPI_RESULT_GOOD);
  EXPECT_EQ(platform_time_ms() - start, 0u);
  EXPECT_EQ(fake->commands.size(), 1u);

  // Never ready: the last result after the limit, one command each 100 ms.
  for (int i = 0; i < 1000; ++i) fake->replies.push_back(reply_word(0x04020401));
  fake->commands.clear();
  start = platform_time_ms();
  EXPECT_EQ(wait_unit_ready(kDrive, 60000).word, 0x04020401u);
  EXPECT_EQ(platform_time_ms() - start, 60000u);
  EXPECT_EQ(fake->commands.size(), 600u);

  // A limit of 0 or 2: one command and one 100 ms sleep.
  for (uint32_t limit : {0u, 2u}) {
    fake->commands.clear();
    start = platform_time_ms();
    wait_unit_ready(kDrive, limit);
    EXPECT_EQ(fake->commands.size(), 1u);
    EXPECT_EQ(platform_time_ms() - start, 100u);
  }

  // Recovered error counts as not ready here.
  fake->replies.clear();
  fake->replies.push_back(reply_word(0x01010000));
  fake->commands.clear();
  EXPECT_EQ(wait_unit_ready(kDrive, 1000).word, ASPI_RESULT_GOOD);
  EXPECT_EQ(fake->commands.size(), 2u);
}

}  // namespace
