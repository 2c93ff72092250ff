// SPDX-License-Identifier: MIT
// The map beside a dump's image: a dump interrupted and run again goes on
// where it stopped, on the same tape only; a finished image is kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datframe/frame_copy.h"
#include "datframe/rescue_map.h"
#include "tests/support/bytes.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/json.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"

namespace {

// Three programs, a few flagged frames, then blank tape that ends the dump.
Tape three_programs() {
  Tape tape = tape_of_programs({{1, 1200}, {2, 900}, {3, 1100}});
  tape_flag(&tape, 1500, 0x40);
  tape_flag(&tape, 2500, 0x60);
  tape_blank(&tape, 70);
  return tape;
}

RescueMap map_of(const TapeRun& t, const char* name) {
  RescueMap map;
  std::string why;
  EXPECT_EQ(rescue_map_read(t.path(name), &map, &why), 0) << why;
  return map;
}

// The map agrees with the image: each record listed is in it, in its state.
void expect_map_agrees(const RescueMap& map, const std::string& image) {
  ASSERT_LE(map.records.size() * DAT_FRAME_BYTES, image.size());
  for (size_t i = 0; i < map.records.size(); ++i) {
    const DatFrame* record = reinterpret_cast<const DatFrame*>(image.data() + i * DAT_FRAME_BYTES);
    ASSERT_EQ(map.records[i].state, map_state_of(record)) << "record " << i;
  }
}

struct ResumeRow {
  const char* what;
  std::vector<std::string> interrupts;  // where each run is cut, in its own reads: interrupt_at N, or N:2 (a second Ctrl-C, at once)
  BusKeys drive;                        // the drive's faults
  std::vector<std::string> switches;
};

const ResumeRow kResumeRows[] = {
    {"once, at a checkpoint's edge", {"1001"}, {}, {}},
    {"three times", {"700", "800", "900"}, {}, {}},
    {"killed at once, the map behind the image", {"2500:2"}, {}, {}},
    {"in the blank stretch that ends the dump", {"3230"}, {}, {}},
    {"a drive whose searches stop short", {"900", "1200"}, {{"locate_slop", "6"}, {"seed", "3"}}, {}},
    {"unreadable frames kept as stand-ins", {"1210", "800"},
     {{"read_errors", "1199 1200 1201 2000"}}, {"/STOPEOT"}},
};

TEST(RescueMap, AnInterruptedDumpGoesOnToTheImageOfAnUninterruptedOne) {
  Tape tape = three_programs();
  for (const ResumeRow& row : kResumeRows) {
    SCOPED_TRACE(row.what);
    TapeRun whole;
    std::vector<std::string> args = {"/BITTERN", "TAPE"};
    args.insert(args.end(), row.switches.begin(), row.switches.end());
    ProcessResult r = whole.run(tape, args, row.drive);
    ASSERT_EQ(r.exit_code, 5) << r.out;
    RescueMap finished = map_of(whole, "TAPE.map");
    EXPECT_TRUE(finished.finished);
    expect_map_agrees(finished, whole.read("TAPE.img"));

    TapeRun cut;
    for (const std::string& at : row.interrupts) {
      BusKeys bus = {{"interrupt_at", at.substr(0, at.find(':'))}};
      if (at.find(':') != std::string::npos) bus.push_back({"interrupts", "2"});
      r = cut.run(tape, args, row.drive, {}, bus);
      EXPECT_NE(r.exit_code, 5) << r.out;
      RescueMap map = map_of(cut, "TAPE.map");
      EXPECT_FALSE(map.finished);
      expect_map_agrees(map, cut.read("TAPE.img"));
    }
    r = cut.run(tape, args, row.drive);
    ASSERT_EQ(r.exit_code, 5) << r.out;
    EXPECT_NE(r.out.find("Going on with the dump in TAPE.img after "), std::string::npos) << r.out;
    EXPECT_TRUE(same_bytes(cut.read("TAPE.img"), whole.read("TAPE.img")));
    RescueMap map = map_of(cut, "TAPE.map");
    EXPECT_TRUE(map.finished);
    EXPECT_EQ(map.records.size(), finished.records.size());
    EXPECT_EQ(map.passes.size(), row.interrupts.size() + 1);
    expect_map_agrees(map, cut.read("TAPE.img"));
  }
}

TEST(RescueMap, AnotherTapeAFinishedImageAndAPartialOneAreRefusedOrSaid) {
  Tape tape = three_programs();
  TapeRun t;
  ProcessResult r = t.run(tape, {"/BITTERN", "TAPE"}, {}, {}, {{"interrupt_at", "1700"}});
  ASSERT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("the same command goes on from there"), std::string::npos) << r.out;
  std::string image = t.read("TAPE.img"), map = t.read("TAPE.map");

  // Files from the partial image: said, and incomplete.
  r = t.run(tape, {"/KESTREL", "PART", "/FROMIMAGE", "TAPE.img", "/REPORT"});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find(" - TAPE.img is a partial image: its map says the dump stopped after "),
            std::string::npos)
      << r.out;
  JsonFlat json;
  ASSERT_TRUE(json_flatten(t.read("PART.json"), &json));
  EXPECT_EQ(json["verdict"], "incomplete");

  // Another tape with the same times: its programs differ, and then its audio.
  for (Tape other : {tape_of_programs({{1, 1000}, {4, 2200}}), three_programs()}) {
    if (other.frames.size() == tape.frames.size()) other.frames[1699].audio[7] ^= 1;
    r = t.run(other, {"/BITTERN", "TAPE"});
    EXPECT_EQ(r.exit_code, 6) << r.out;
    EXPECT_NE(r.out.find("TAPE.img was dumped from another tape ("), std::string::npos) << r.out;
    EXPECT_TRUE(same_bytes(t.read("TAPE.img"), image));
    EXPECT_EQ(t.read("TAPE.map"), map);
  }

  // Finished, it is kept; /OVERWRITE dumps again.
  r = t.run(tape, {"/BITTERN", "TAPE"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  image = t.read("TAPE.img");
  for (const char* name : {"TAPE", "BARE"}) {
    if (std::string(name) == "BARE") {
      ASSERT_TRUE(write_file(t.path("BARE.img"), image));
    }
    r = t.run(tape, {"/BITTERN", name});
    EXPECT_EQ(r.exit_code, 6) << r.out;
    EXPECT_NE(r.out.find("(/OVERWRITE dumps the tape again over it)"), std::string::npos) << r.out;
    EXPECT_TRUE(same_bytes(t.read(std::string(name) + ".img"), image));
    r = t.run(tape, {"/BITTERN", name, "/OVERWRITE"});
    EXPECT_EQ(r.exit_code, 5) << r.out;
    EXPECT_TRUE(same_bytes(t.read(std::string(name) + ".img"), image));
  }
}

// Two drives with one cassette: the dump's at 0:4 misreads some frames on
// every read, the rescue's at 0:5 others; a few frames are flagged on the
// tape itself, one frame misreads on both. The rescue reads again only what
// the map lists, keeps what either drive read clean, and the map classes each
// damaged frame: misread by one drive only, the drive's; flagged on every
// pass, the tape's.
TEST(RescueMap, ARescueOnASecondDriveKeepsWhatEitherReadsAndTellsWhoseTheDamageIs) {
  Tape tape = tape_of_programs({{1, 3000}, {2, 3000}});
  const std::vector<size_t> on_tape = {700, 4100, 4101};
  const std::vector<size_t> drive_a = {5, 6, 1500, 1501, 1502, 2990, 3005, 5000, 5999};
  const std::vector<size_t> drive_b = {100, 1502, 3006, 4500};
  for (size_t i : on_tape) tape_flag(&tape, i, 0x60);
  auto flaky = [](const std::vector<size_t>& frames) {
    std::string list;
    for (size_t f : frames) list += std::to_string(f) + ":1 ";
    return list;
  };
  TapeRun t;
  ASSERT_TRUE(tape_write(tape, t.path("tape.dat")));
  ASSERT_TRUE(write_bus_file(t.path("bus.ini"),
                             {{"0:4", {{"cassette", "tape.dat"}, {"flaky", flaky(drive_a)}}},
                              {"0:5", {{"cassette", "tape.dat"}, {"flaky", flaky(drive_b)}, {"locate_slop", "3"}}}},
                             {{"stats", "stats.json"}}));
  ProcessResult r = t.run_in("", {"/BITTERN", "TAPE", "/INPUTID", "0:4"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  double dump_seconds = t.stat("drive_seconds");
  r = t.run_in("", {"rescue", "TAPE", "--drive", "0:5", "--report"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  EXPECT_NE(r.out.find("Rescue pass 2 over TAPE.img: 12 damaged frames in 7 stretches, read again on "), std::string::npos)
      << r.out;
  EXPECT_LT(t.stat("drive_seconds"), dump_seconds / 10);

  std::string image = t.read("TAPE.img");
  ASSERT_EQ(image.size(), tape.frames.size() * DAT_FRAME_BYTES);
  RescueMap map = map_of(t, "TAPE.map");
  ASSERT_EQ(map.passes.size(), 2u);
  EXPECT_EQ(map.passes[1].kind, "rescue");
  expect_map_agrees(map, image);
  for (size_t i = 0; i < tape.frames.size(); ++i) {
    bool a = std::count(drive_a.begin(), drive_a.end(), i), b = std::count(drive_b.begin(), drive_b.end(), i);
    bool flagged = std::count(on_tape.begin(), on_tape.end(), i);
    const DatFrame* record = reinterpret_cast<const DatFrame*>(image.data() + i * DAT_FRAME_BYTES);
    MapDamageClass expected = flagged || (a && b) ? MAP_TAPES : a ? MAP_DRIVES : MAP_UNDAMAGED;
    EXPECT_EQ(rescue_map_class(&map.records[i]), expected) << "frame " << i;
    if (a && b)
      EXPECT_EQ(record_rank(record), COPY_BOTH_FLAGGED) << "frame " << i;
    else
      EXPECT_EQ(std::memcmp(record, &tape.frames[i], sizeof *record), 0) << "frame " << i;
  }
  EXPECT_NE(r.out.find(" - whose damage: 4 frames the tape's (damaged on every pass), 8 the drives' (read clean on "
                       "another pass or drive), 0 read on one pass only; damaged frames per pass 1: 12, 2: 4\n"),
            std::string::npos)
      << r.out;

  // The pass's report: the image as it leaves it, whose each damaged frame is, per pass and drive.
  JsonFlat json;
  ASSERT_TRUE(json_flatten(t.read("TAPE-pass2.json"), &json));
  EXPECT_EQ(json["mode"], "RESCUE");
  EXPECT_EQ(json["passes.0.frames_damaged"] + " " + json["passes.1.frames_damaged"] + " " + json["drives#"], "12 4 2");
  EXPECT_EQ(json["damage.tape"] + " " + json["damage.drive"] + " " + json["damage.undecided"], "4 8 0");
  size_t classed = 0;
  for (const char* list : {"events", "recovered"})
    for (int k = 0; k < std::stoi(json[std::string(list) + "#"]); ++k) {
      std::string at = std::string(list) + "." + std::to_string(k) + ".";
      size_t i = std::stoul(json[at + "frame"]);
      bool a = std::count(drive_a.begin(), drive_a.end(), i), b = std::count(drive_b.begin(), drive_b.end(), i);
      bool flagged = std::count(on_tape.begin(), on_tape.end(), i);
      EXPECT_EQ(json[at + "damage"], flagged || (a && b) ? "tape" : "drive") << at;
      ++classed;
    }
  EXPECT_EQ(classed, 12u);
  EXPECT_NE(t.read("TAPE-pass2.html").find("<g class=\"pass\" id=\"pass-2\">"), std::string::npos);

  // A dump on the second drive merged with the rescued image: the merge
  // takes both maps and writes one with their three passes, every frame classed.
  r = t.run_in("", {"/BITTERN", "TAPE2", "/INPUTID", "0:5"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  ProcessOptions in_dir;
  in_dir.cwd = t.path("");
  r = run_process(build_path("kestrel-merge"), {"BOTH.img", "TAPE.img", "TAPE2.img"}, in_dir);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  RescueMap both = map_of(t, "BOTH.map");
  ASSERT_EQ(both.passes.size(), 3u);
  EXPECT_EQ(both.passes[2].drive, map.passes[1].drive);
  EXPECT_TRUE(both.finished);
  ASSERT_EQ(both.records.size(), tape.frames.size());
  expect_map_agrees(both, t.read("BOTH.img"));
  for (size_t i = 0; i < tape.frames.size(); ++i) {
    bool a = std::count(drive_a.begin(), drive_a.end(), i), b = std::count(drive_b.begin(), drive_b.end(), i);
    bool flagged = std::count(on_tape.begin(), on_tape.end(), i);
    MapDamageClass expected = flagged || (a && b) ? MAP_TAPES : a || b ? MAP_DRIVES : MAP_UNDAMAGED;
    EXPECT_EQ(rescue_map_class(&both.records[i]), expected) << "frame " << i;
  }
}

}  // namespace
