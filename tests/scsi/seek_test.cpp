// The seek's position test, and the ways its watch ends that a virtual drive
// does not easily show.
#include <gtest/gtest.h>

#include <cstdlib>

#include "control/command_line.h"
#include "base/run_settings.h"
#include "scsi/seek.h"
#include "scsi/tape_commands.h"
#include "tests/scsi/fake_provider.h"
#include "tests/support/console_reports.h"

namespace {

const int kSimulatedClock = setenv("KESTREL_CLOCK", "simulated", 1);

using Bytes = std::vector<uint8_t>;

Bytes position(Bytes program, Bytes running, Bytes absolute, Bytes program_time) {
  Bytes p(20, 0);
  std::copy(program.begin(), program.end(), p.begin() + 4);
  std::copy(running.begin(), running.end(), p.begin() + 8);
  std::copy(absolute.begin(), absolute.end(), p.begin() + 12);
  std::copy(program_time.begin(), program_time.end(), p.begin() + 16);
  return p;
}

RunSettings request(int type, uint32_t target) {
  RunSettings s{};
  s.seek_type = type;
  s.seek_target = target;
  return s;
}

TEST(PositionMatches, ComparesTheRequestedFieldOnly) {
  Bytes p = position({0, 1, 2}, {0x00, 0x01, 0x02, 0x03}, {0x00, 0x10, 0x30, 0x00}, {0x01, 0x59, 0x33, 0x32});
  RunSettings s = request(SEEK_PROGNUM, 12);
  EXPECT_EQ(position_matches(&s, p.data()), 1);
  s = request(SEEK_PROGNUM, 102);
  EXPECT_EQ(position_matches(&s, p.data()), 0);
  s = request(SEEK_ABSTIME, 0x000A1E00);  // 0:10:30:0
  EXPECT_EQ(position_matches(&s, p.data()), 1);
  s = request(SEEK_RUNTIME, 0x00010203);
  EXPECT_EQ(position_matches(&s, p.data()), 1);
  s = request(SEEK_PROGTIME, 0x013B2120);  // 1:59:33:32
  EXPECT_EQ(position_matches(&s, p.data()), 1);
  s = request(SEEK_PROGTIME, 0x000A1E00);
  EXPECT_EQ(position_matches(&s, p.data()), 0);
  s = request(7, 0);
  EXPECT_EQ(position_matches(&s, p.data()), 0);
  // Lead-in (0BB), lead-out (0EE) and no program (0AA) are no program 121, 154 or 110.
  for (uint32_t target : {110u, 121u, 154u}) {
    s = request(SEEK_PROGNUM, target);
    for (uint8_t digit : {0xA, 0xB, 0xE})
      EXPECT_EQ(position_matches(&s, position({0, digit, digit}, {}, {}, {}).data()), 0) << target;
  }
  s = request(SEEK_PROGNUM, 121);
  EXPECT_EQ(position_matches(&s, position({1, 2, 1}, {}, {}, {}).data()), 1);
}

struct SeekWatch : ::testing::Test {
  ConsoleReports reports;
  FakeProvider* fake = fake_install();
  ~SeekWatch() override { fake_uninstall(); }
  std::string run(RunSettings s, int* result) {
    testing::internal::CaptureStdout();
    *result = seek_tape(0, 4, 0, &s);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(SeekWatch, FailedLocateIsReportedWithItsResult) {
  ASSERT_EQ(kSimulatedClock, 0);
  fake->replies.push_back(reply_word(0x04052400));
  int result = 0;
  EXPECT_EQ(run(request(SEEK_ABSTIME, 0x00010203), &result), " - seeking to tape time 00:01:02:03\nSeek failed ffffffff\n");
  EXPECT_EQ(result, -1);
}

TEST_F(SeekWatch, WithoutASinkTheSeekAndTheCommandsSayNothing) {
  report_set_sink(nullptr, nullptr);
  fake->replies = {reply_word(0x04052400), reply_word(0x04023A00)};
  int result = 0;
  EXPECT_EQ(run(request(SEEK_PROGNUM, 5), &result), "");
  EXPECT_EQ(result, -1) << "the failure still shows in the result";
  testing::internal::CaptureStdout();
  EXPECT_EQ(scsi_rewind(0, 4, 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(SeekWatch, PositionReadThatFailsRightAfterTheLocateEndsTheWatch) {
  fake->replies = {FakeReply(), reply_word(0x04030000)};
  int result = -1;
  EXPECT_EQ(run(request(SEEK_PROGNUM, 5), &result), " - seeking to tape program number 5\n\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fake->commands.size(), 2u);
}

TEST_F(SeekWatch, DriveReadyAtTheFirstTestEndsTheWatchWithoutProgress) {
  fake->replies = {FakeReply(), reply_data(position({0, 0, 1}, {}, {0, 0, 0, 0}, {})), FakeReply()};
  int result = -1;
  EXPECT_EQ(run(request(SEEK_PROGNUM, 5), &result), " - seeking to tape program number 5\n\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(fake->commands.back().cdb[0], 0x00) << "ended by TEST UNIT READY";
}

TEST_F(SeekWatch, ArrivalAfterTheAbsoluteTimeStoodStillTenSecondsCountsAsFailure) {
  // The absolute time changes once, then stays for twelve polls until the drive is ready.
  const uint32_t not_ready = 0x04020401;
  Bytes still = position({0, 0, 1}, {}, {0, 0, 0x20, 0}, {});
  fake->replies = {FakeReply(), reply_data(position({0, 0, 1}, {}, {0, 0, 0x10, 0}, {}))};
  for (int i = 0; i < 12; ++i) {
    fake->replies.push_back(reply_word(not_ready));
    fake->replies.push_back(reply_data(still));
  }
  fake->replies.push_back(FakeReply());
  int result = 0;
  std::string out = run(request(SEEK_PROGNUM, 5), &result);
  EXPECT_EQ(result, -1);
  std::string line = "   - Present seek position: PROGNUM: 001, ABSTIME: 00:00:20:00\r";
  std::string lines;
  for (int i = 0; i < 12; ++i) lines += line;
  EXPECT_EQ(out, " - seeking to tape program number 5\n" + lines + "\n\nSeek failed 0\n");
}

// A drive winding back from the end of the data reports BLANK CHECK while it
// still searches: that is no end of the search; the same word once the drive
// is ready is.
TEST_F(SeekWatch, EndOfDataWhileStillSearchingIsNoEndOfTheSearch) {
  const uint32_t not_ready = 0x04020401, end_of_data = 0x04080005;
  fake->replies = {FakeReply(), reply_word(end_of_data), reply_word(not_ready), reply_word(not_ready),
                   reply_data(position({0, 0, 5}, {}, {0, 0, 0x10, 0}, {}))};
  uint8_t at[SEARCH_POSITION_BYTES];
  EXPECT_EQ(search_tape(0, 4, 0, SEEK_PROGNUM, 5, at, false), SEARCH_ARRIVED);
  EXPECT_EQ(at[kPositionProgramDigits + 2], 5);

  fake->replies = {FakeReply(), reply_word(end_of_data), FakeReply()};
  EXPECT_EQ(search_tape(0, 4, 0, SEEK_PROGNUM, 5, at, false), SEARCH_END_OF_DATA);
}

}  // namespace
