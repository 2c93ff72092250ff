// SPDX-License-Identifier: MIT
// The seek's position test, and the ways its watch ends that a virtual drive
// does not easily show.
#include <gtest/gtest.h>

#include <cstdlib>

#include "control/command_line.h"
#include "base/run_settings.h"
#include "platform/clock.h"
#include "scsi/seek.h"
#include "scsi/tape_commands.h"
#include "base/dat_format.h"
#include "tests/scsi/fake_provider.h"
#include "tests/support/console_messages.h"

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

// The helpers the table of contents and the re-read stage position with.
TEST(PositionHelpers, TimeCodesOfPositionDataAndGoalsOfFrameCounts) {
  const Bytes p = position({0, 1, 2}, {0x00, 0x01, 0x02, 0x33}, {0x01, 0x59, 0x58, 0x32}, {0x00, 0x00, 0x00, 0xAA});
  struct Field {
    int field;
    uint32_t code;
  } fields[] = {
      {kPositionRunningTime, 0x00010233},
      {kPositionAbsoluteTime, 0x01595832},
      {kPositionProgramTime, TIME_CODE_NONE},  // frame number 0xAA: no time
  };
  for (const Field& f : fields) EXPECT_EQ(position_time_code(p.data(), f.field), f.code) << f.field;

  struct Goal {
    int64_t frames;
    uint32_t goal;  // one plain value a byte
  } goals[] = {
      {0, 0x00000000},  {-5, 0x00000000},  {32, 0x00000020},      {33, 0x00000100},
      {99, 0x00000221}, {100, 0x00000300}, {120000, 0x01000000}, {119999, 0x003B3B21},
  };
  for (const Goal& g : goals) EXPECT_EQ(time_goal(g.frames), g.goal) << g.frames;
}

bool g_stop_now = false;
bool stop_now() { return g_stop_now; }

// After locate_time, the wait polls READ POSITION and TEST UNIT READY every
// 100 ms until the drive is ready, its limit has passed or stop says so.
TEST(PositionHelpers, WaitForSearchPollsUntilReadyLimitOrStop) {
  ASSERT_EQ(kSimulatedClock, 0);
  const uint32_t not_ready = 0x04020401;
  struct Row {
    const char* what;
    int not_ready_polls;  // polls before the drive is ready (-1: never)
    uint32_t limit_ms;
    bool stop;
    SearchEnd end;
    size_t commands;
    uint32_t elapsed_ms;
  } rows[] = {
      {"ready at once", 0, 1000, false, SEARCH_ARRIVED, 2, 0},
      {"ready at the third poll", 2, 1000, false, SEARCH_ARRIVED, 6, 200},
      {"never ready", -1, 300, false, SEARCH_FAILED, 8, 300},
      {"stopped", -1, 1000, true, SEARCH_STOPPED, 2, 0},
      {"ready wins over stop", 0, 1000, true, SEARCH_ARRIVED, 2, 0},
  };
  for (const Row& row : rows) {
    FakeProvider* fake = fake_install();
    for (int i = 0; i < (row.not_ready_polls < 0 ? 100 : row.not_ready_polls); ++i) {
      fake->replies.push_back(FakeReply());
      fake->replies.push_back(reply_word(not_ready));
    }
    g_stop_now = row.stop;
    uint32_t start = platform_time_ms();
    EXPECT_EQ(wait_for_search(DriveAddress{0, 4, 0}, row.limit_ms, stop_now), row.end) << row.what;
    EXPECT_EQ(platform_time_ms() - start, row.elapsed_ms) << row.what;
    ASSERT_EQ(fake->commands.size(), row.commands) << row.what;
    for (size_t i = 0; i < row.commands; ++i)
      EXPECT_EQ(fake->commands[i].cdb[0], i % 2 == 0 ? 0x34 : 0x00) << row.what << " command " << i;
    fake_uninstall();
  }
  g_stop_now = false;
}

struct SeekWatch : ::testing::Test {
  ConsoleMessages messages;
  FakeProvider* fake = fake_install();
  ~SeekWatch() override { fake_uninstall(); }
  std::string run(RunSettings s, int* result) {
    testing::internal::CaptureStdout();
    *result = seek_tape(DriveAddress{0, 4, 0}, &s) ? 0 : -1;
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
  message_set_sink(nullptr, nullptr);
  fake->replies = {reply_word(0x04052400), reply_word(0x04023A00)};
  int result = 0;
  EXPECT_EQ(run(request(SEEK_PROGNUM, 5), &result), "");
  EXPECT_EQ(result, -1) << "the failure still shows in the result";
  testing::internal::CaptureStdout();
  EXPECT_EQ(scsi_rewind(0, 4, 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// A drive that never says where it stands is taken to be at the position,
// as the watch takes it: nothing is read.
TEST_F(SeekWatch, PositionReadThatFailsRightAfterTheLocateEndsTheWatch) {
  fake->replies = {FakeReply(), reply_word(0x04030000), FakeReply(), reply_word(0x04030000)};
  int result = -1;
  EXPECT_EQ(run(request(SEEK_PROGNUM, 5), &result), " - seeking to tape program number 5\n\n");
  EXPECT_EQ(result, 0);
  ASSERT_EQ(fake->commands.size(), 4u) << "the watch, then the look at where the drive rests";
  EXPECT_EQ(fake->commands[2].cdb[0], 0x00);
  EXPECT_EQ(fake->commands[3].cdb[0], 0x34);
}

TEST_F(SeekWatch, DriveReadyAtTheFirstTestEndsTheWatchWithoutProgress) {
  fake->replies = {FakeReply(), reply_data(position({0, 0, 1}, {}, {0, 0, 0, 0}, {})), FakeReply(), FakeReply(),
                   reply_data(position({0, 0, 5}, {0, 0, 3, 0}, {0, 0, 3, 0}, {0, 0, 0, 0}))};
  int result = -1;
  EXPECT_EQ(run(request(SEEK_PROGNUM, 5), &result), " - seeking to tape program number 5\n\n");
  EXPECT_EQ(result, 0);
  ASSERT_EQ(fake->commands.size(), 5u);
  EXPECT_EQ(fake->commands[2].cdb[0], 0x00) << "ended by TEST UNIT READY";
}

// Where the search comes to rest is checked: the tape is brought to the first
// frame that shows the position, reading on to it (the frame itself is not
// read) or taken back first. A drive at rest: TEST UNIT READY, then READ
// POSITION; each frame read on: READ, then READ POSITION.
struct Correction {
  const char* name;
  int type;
  uint32_t goal;
  std::vector<FakeReply> replies;
  std::string said;                // after the request line and the watch's "\n"
  int result;
  int reads;                       // frames read
  int64_t taken_back_to = -1;      // the running time of the search that takes the tape back
};

const uint32_t kNotReady = 0x04020401, kEndOfData = 0x04080005;

FakeReply at(int program, int running, int program_time) {
  uint8_t r[4], p[4];
  dat_time_code_of_frames(static_cast<uint64_t>(running), r);
  dat_time_code_of_frames(static_cast<uint64_t>(program_time < 0 ? 0 : program_time), p);
  Bytes digits = {static_cast<uint8_t>(program / 100), static_cast<uint8_t>(program / 10 % 10),
                  static_cast<uint8_t>(program % 10)};
  Bytes pt(p, p + 4);
  if (program_time < 0) pt = {0xAA, 0xAA, 0xAA, 0xAA};
  return reply_data(position(digits, Bytes(r, r + 4), Bytes(r, r + 4), pt));
}

// Replies to reading on over the frames [from, to) of program 1, each READ
// followed by READ POSITION at the next frame.
std::vector<FakeReply> reading_on(int from, int to) {
  std::vector<FakeReply> replies;
  for (int f = from + 1; f <= to; ++f) {
    replies.push_back(FakeReply());
    replies.push_back(at(f < 100 ? 1 : 2, f, f < 100 ? f : f - 100));
  }
  return replies;
}

std::vector<FakeReply> joined(std::vector<FakeReply> a, const std::vector<FakeReply>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(SeekWatch, SearchThatStopsElsewhereIsCorrected) {
  const FakeReply good;
  // A search that arrives: the LOCATE, the watch's READ POSITION and, when it
  // does not show the goal, TEST UNIT READY; then TEST UNIT READY and READ
  // POSITION at rest.
  auto stops_at = [&](FakeReply p, bool shows) {
    return shows ? std::vector<FakeReply>{good, p, good, p} : std::vector<FakeReply>{good, p, good, good, p};
  };
  const Correction rows[] = {
      {"ShortOfAProgram", SEEK_PROGNUM, 2, joined(stops_at(at(1, 98, 98), false), reading_on(98, 100)),
       " - the search stopped 2 frames short of it: read on to it\n", 0, 2},
      {"ShortOfATime", SEEK_ABSTIME, 0x00000400,  // 0:0:4:0, frame 133
       joined(stops_at(at(2, 132, 32), false), reading_on(132, 133)),
       " - the search stopped 1 frame short of it: read on to it\n", 0, 1},
      // Program time 5: not the program's first frame. Taken back 64 frames
      // (the drive stops at 99), then read on.
      {"InsideTheProgram", SEEK_PROGNUM, 2,
       joined(joined(stops_at(at(2, 105, 5), true), stops_at(at(1, 99, 99), false)), reading_on(99, 100)),
       " - the search stopped 5 frames past it: taken back and read on to it\n", 0, 1, 41},
      // Without program time nothing tells: taken back, and read on to where it stood.
      {"NoProgramTime", SEEK_PROGNUM, 2,
       joined(joined(stops_at(at(2, 100, -1), true), stops_at(at(1, 99, -1), false)),
              {good, at(2, 100, -1)}),
       "", 0, 1, 36},
      {"PastATime", SEEK_RUNTIME, 0x00000400,  // frame 133
       joined(joined(stops_at(at(2, 140, 40), false), stops_at(at(1, 76, 76), true)), reading_on(76, 133)),
       " - the search stopped 7 frames past it: taken back and read on to it\n", 0, 57, 76},
      {"EndOfTheDataOnTheWay", SEEK_PROGNUM, 2, joined(stops_at(at(1, 0, 0), false), {reply_word(kEndOfData)}),
       " - no frame within 150 frames of where the search stopped shows that position\n", -1, 1},
      // At rest only after a READ POSITION on the way.
      {"StillMoving", SEEK_PROGNUM, 2, {good, at(2, 100, 0), reply_word(kNotReady), at(2, 100, 0), good, at(2, 100, 0)},
       "", 0, 0},
  };
  for (const Correction& row : rows) {
    fake->commands.clear();
    fake->replies.assign(row.replies.begin(), row.replies.end());
    int result = 9;
    std::string out = run(request(row.type, row.goal), &result);
    EXPECT_EQ(out.substr(out.find("\n", out.find("\n") + 1) + 1), row.said) << row.name << ": " << out;
    EXPECT_EQ(result, row.result) << row.name;
    int reads = 0;
    for (const RecordedCommand& c : fake->commands) reads += c.cdb[0] == 0x08;
    EXPECT_EQ(reads, row.reads) << row.name;
    std::vector<const RecordedCommand*> locates;
    for (const RecordedCommand& c : fake->commands)
      if (c.cdb[0] == 0x2B) locates.push_back(&c);
    ASSERT_EQ(locates.size(), row.taken_back_to < 0 ? 1u : 2u) << row.name;
    if (row.taken_back_to >= 0) {
      uint8_t t[4];
      dat_time_code_of_frames(static_cast<uint64_t>(row.taken_back_to), t);
      EXPECT_EQ(locates[1]->cdb[3], 0x40) << row.name << ": a search for a running time";
      for (int i = 0; i < 4; ++i) EXPECT_EQ(locates[1]->cdb[4 + i], t[i]) << row.name;
    }
    EXPECT_TRUE(fake->replies.empty()) << row.name << ": " << fake->replies.size() << " replies left";
  }
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
  uint8_t at[AUDIO_POSITION_BYTES];
  EXPECT_EQ(search_tape(DriveAddress{0, 4, 0}, SEEK_PROGNUM, 5, at, false), SEARCH_ARRIVED);
  EXPECT_EQ(at[kPositionProgramDigits + 2], 5);

  fake->replies = {FakeReply(), reply_word(end_of_data), FakeReply()};
  EXPECT_EQ(search_tape(DriveAddress{0, 4, 0}, SEEK_PROGNUM, 5, at, false), SEARCH_END_OF_DATA);
}

}  // namespace
