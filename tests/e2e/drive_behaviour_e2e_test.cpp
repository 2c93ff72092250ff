// SPDX-License-Identifier: MIT
// What real drives do and kestrel must meet: a UNIT ATTENTION after power-on
// or a cassette change, NOT READY while the tape is threaded, a REWIND that
// takes minutes, a transfer cut short, a drive that stops answering, a bus
// reset. Every row runs on the virtual drive directly and behind the SCSI
// generic loopback, and must come out the same on both.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"

namespace {

const size_t kFrames = 200;

Tape one_program() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, kFrames);
  return tape;
}

struct Row {
  const char* what;
  BusKeys drive_keys;
  std::vector<std::string> args;  // after /KESTREL TAPE
  // Retried: the run ends well with every frame. Otherwise it ends early,
  // with the frames before the fault in the file and not one after it.
  bool retried;
  const char* says;  // in the console text
  size_t frames_kept;  // when not retried
};

const Row kRows[] = {
    {"unit attention after power-on", {{"unit_attention", "power_on"}}, {}, true, "", 0},
    {"unit attention after a cassette change", {{"unit_attention", "medium_changed"}}, {"/REWIND"}, true, "", 0},
    {"becoming ready after the load", {{"becoming_ready", "30"}}, {"/REWIND"}, true, "", 0},
    {"both after the load", {{"becoming_ready", "20"}, {"unit_attention", "yes"}}, {"/REWIND"}, true, "", 0},
    // Two minutes of REWIND are within its time-out; more than five are not,
    // and the set-up says so and goes on.
    {"a rewind of two minutes", {{"locate_seconds", "120"}}, {"/REWIND"}, true, "tape to beginning...done\n", 0},
    {"a rewind beyond its time-out", {{"locate_seconds", "400"}}, {"/REWIND"}, true,
     "tape to beginning...rewind failed: 00000000\nfailed, continuing anyway\n", 0},
    {"a transfer cut short", {{"short_read", "60"}}, {}, false, "cut off on the way", 59},
    {"a transfer cut short, /STOPEOT", {{"short_read", "60:5000"}}, {"/STOPEOT"}, false, "cut off on the way", 59},
    {"a drive that stops answering", {{"hang_at", "80"}}, {"/STOPEOT"}, false, "did not answer in time", 79},
    {"a bus reset in mid-read", {{"bus_reset_at", "40"}}, {"/STOPEOT"}, false, "cut off on the way", 39},
};

class DriveBehaviour : public testing::TestWithParam<const char*> {};

TEST_P(DriveBehaviour, EachIsRetriedOrEndsTheReadInPlainWords) {
  const BusKeys transport = {{"transport", GetParam()}};
  Tape tape = one_program();
  TapeRun clean;
  ProcessResult reference = clean.run(tape, {"/KESTREL", "TAPE"}, {}, {}, transport);
  ASSERT_EQ(reference.exit_code, 0) << reference.out;
  const std::string all = clean.wav("TAPE001.wav").data;
  ASSERT_TRUE(same_bytes(all, tape_pcm(tape, 0, kFrames)));
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    TapeRun t(BusKeys{{"stats", "stats.json"}});
    std::vector<std::string> args = {"/KESTREL", "TAPE"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ProcessResult r = t.run(tape, args, row.drive_keys, {}, transport);
    EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    WavFile wav = t.wav("TAPE001.wav");
    ASSERT_TRUE(wav.valid) << r.out;
    if (row.retried) {
      EXPECT_EQ(r.exit_code, 0) << r.out;
      EXPECT_TRUE(same_bytes(wav.data, all));
      continue;
    }
    EXPECT_NE(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out.find("read audio block failed"), std::string::npos) << "taken for an unreadable frame\n" << r.out;
    EXPECT_TRUE(same_bytes(wav.data, tape_pcm(tape, 0, row.frames_kept)));
  }
}

// /BITTERN saves the frames themselves: a frame that did not come is never
// saved, not even as a stand-in under /STOPEOT, and the dump says why it ends.
TEST_P(DriveBehaviour, ADumpEndsInPlainWordsWhereTheDrivesPlaceIsLost) {
  const BusKeys transport = {{"transport", GetParam()}};
  Tape tape = one_program();
  const struct {
    BusKeys drive_keys;
    const char* says;
  } rows[] = {
      {{{"hang_at", "50"}}, "the drive did not answer in time"},
      {{{"bus_reset_at", "30"}}, "a read was cut off on the way"},
      {{{"short_read", "20"}}, "a read was cut off on the way"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.says);
    TapeRun t;
    ProcessResult r = t.run(tape, {"/BITTERN", "DUMP", "/STOPEOT"}, row.drive_keys, {}, transport);
    EXPECT_EQ(r.exit_code, 6) << r.out;
    EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("stand-in"), std::string::npos) << r.out;
  }
}

// The place lost before the first frame is written (at the first read, in
// the scan past the lead-in) or while a damaged stretch is read again: the
// run ends in the same plain words, never as an unreadable frame.
TEST_P(DriveBehaviour, APlaceLostAtTheStartOrInAReReadEndsInPlainWords) {
  const BusKeys transport = {{"transport", GetParam()}};
  Tape led_in = one_program();
  tape_mark_lead_in(&led_in, 0, 29);
  const struct {
    const char* what;
    const Tape& tape;
    BusKeys drive_keys;
    std::vector<std::string> args;
    const char* before;  // said before it
    const char* says;
  } rows[] = {
      {"at the first read", led_in, {{"hang_at", "1"}}, {}, "", "did not answer in time"},
      {"in the lead-in", led_in, {{"hang_at", "10"}}, {"/REWIND"}, "", "did not answer in time"},
      {"reset in the lead-in", led_in, {{"bus_reset_at", "10"}}, {"/REWIND"}, "", "cut off on the way"},
      {"while a stretch is read again", led_in, {{"flaky", "100:1"}, {"hang_at", "140"}},
       {"/REREAD", "3", "/STOPEOT"}, "re-reading a damaged stretch", "did not answer in time"},
      {"while the tape is put back", led_in, {{"flaky", "100:1"}, {"hang_at", "160"}},
       {"/REREAD", "3", "/STOPEOT"}, "stretch re-read in", "did not answer in time"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TapeRun t;
    std::vector<std::string> args = {"/KESTREL", "TAPE"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ProcessResult r = t.run(row.tape, args, row.drive_keys, {}, transport);
    EXPECT_NE(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("read audio block failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("cannot be put back"), std::string::npos) << r.out;
    EXPECT_LT(r.out.find(row.before), r.out.find(row.says)) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, DriveBehaviour, testing::Values("direct", "sg"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
