// SPDX-License-Identifier: MIT
// The archival work end to end: a tape dumped once with /BITTERN and split
// from the image with /KESTREL /FROMIMAGE; /TOC on a drive and on an image.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "datframe/frame_build.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "tests/support/bytes.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/json.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// Every run keeps the drive's tally; kestrel runs in a folder of the tape's.
const BusKeys kStats = {{"stats", "stats.json"}};

// Every file of a folder, by name.
std::map<std::string, std::string> files_of(const std::string& folder) {
  std::map<std::string, std::string> files;
  DIR* d = opendir(folder.c_str());
  if (!d) return files;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') files[e->d_name] = read_file(folder + "/" + e->d_name);
  closedir(d);
  return files;
}

struct ImageCase {
  const char* name;
  std::function<Tape()> tape;
  std::vector<std::string> switches;
  int exit_code = 0;         // of the dump and of both readings
  const char* read_errors = "";  // frames the drive cannot read
};

Tape start_id_runs() {
  Tape tape;
  for (int p = 1; p <= 3; ++p) tape_record(&tape, Recording{.program = p, .start_id_frames = 20}, 400);
  tape_blank(&tape, 70);
  tape_record(&tape, Recording{.program = 4}, 50);  // beyond the blank stretch: read with /STOPEOT only
  return tape;
}

Tape rate_change() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 1}, 400);
  tape_record(&tape, Recording{.program = 2, .rate_code = 0}, 350);
  tape_record(&tape, Recording{.program = 3, .rate_code = 1}, 30);
  return tape;
}

Tape long_play() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .long_play = true, .start_id_frames = 10}, 340);
  tape_record(&tape, Recording{.program = 2, .start_id_frames = 10}, 40);
  return tape;
}

// Three programs, worn: the frames read_errors names cannot be read.
Tape worn() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 10}, 310);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1, .start_id_frames = 10}, 310);
  tape_record(&tape, Recording{.program = 3, .start_id_frames = 10}, 310);
  return tape;
}

Tape flagged() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .scms = 2}, 200);
  tape_record(&tape, Recording{.program = 2, .long_play = true}, 60);
  for (size_t i : {3u, 4u, 90u, 220u}) tape_flag(&tape, i, i == 4 ? 0x60 : 0x40);
  return tape;
}

// Blank tape, a lead-in, two programs, a blank stretch that ends the reading.
Tape lead_in() {
  Tape tape;
  tape_blank(&tape, 25);
  size_t first = tape_record(&tape, Recording{.program = 1, .rate_code = 1}, 90);
  tape_mark_lead_in(&tape, first, tape.frames.size());
  for (int p : {1, 2}) tape_record(&tape, Recording{.program = p, .rate_code = 1, .start_id_frames = 300}, 330);
  tape_blank(&tape, 80);
  return tape;
}

class FromImage : public testing::TestWithParam<ImageCase> {};

// The tape dumped once (with /STOPEOT, so the image holds all of it: a frame
// the drive cannot read as a stand-in at its place), then /KESTREL from the
// tape and from the image with the same switches and /REPORT: the same
// files, byte for byte, the same exit code, and reports that say the same
// of the tape (an unreadable frame as one, not as a damaged frame).
TEST_P(FromImage, GivesTheFilesOfTheTape) {
  const ImageCase& c = GetParam();
  Tape tape = c.tape();
  BusKeys keys;
  if (*c.read_errors) keys.push_back({"read_errors", c.read_errors});
  TapeRun a(kStats);
  a.load(tape, keys);
  ProcessResult dump = a.run_in("img", {"/BITTERN", "tape", "/STOPEOT", "/INPUTID", "0:4"});
  ASSERT_EQ(dump.exit_code, c.exit_code) << dump.out;
  std::vector<DatFrame> records = tape_read(a.dir.file("img/TAPE.img"));
  ASSERT_EQ(records.size(), tape.frames.size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (!frame_is_stand_in(&records[i])) {
      ASSERT_EQ(std::memcmp(&records[i], &tape.frames[i], sizeof(DatFrame)), 0) << i;
      continue;
    }
    ASSERT_NE((" " + std::string(c.read_errors) + " ").find(" " + std::to_string(i) + " "), std::string::npos) << i;
    FrameInfo want = decode_frame(&tape.frames[i]), got = decode_frame(&records[i]);
    EXPECT_EQ(got.absolute.code, want.absolute.code) << i;
    EXPECT_EQ(got.sub_id_program, want.sub_id_program) << i;
  }

  // The image lists the programs of the tape (a stand-in passed as a frame that cannot be read).
  ProcessResult toc_of_image = a.run_in("img", {"/TOC", "/FROMIMAGE", "TAPE.img"});
  ProcessResult toc_of_tape = a.run_in("img", {"/TOC", "/FROMIMAGE", "../tape.dat"});
  EXPECT_EQ(toc_of_image.exit_code, 0) << toc_of_image.out;
  auto listing = [](const std::string& out) { return out.substr(out.find("program  start")); };
  EXPECT_EQ(listing(toc_of_image.out), listing(toc_of_tape.out));

  std::vector<std::string> tape_args = {"/KESTREL", "Take", "/INPUTID", "0:4", "/REPORT"};
  std::vector<std::string> image_args = {"/KESTREL", "Take", "/FROMIMAGE", "../img/TAPE.img", "/REPORT"};
  for (const std::string& s : c.switches) {
    tape_args.push_back(s);
    image_args.push_back(s);
  }
  ProcessResult from_tape = a.run_in("tape", tape_args);
  ProcessResult from_image = a.run_in("image", image_args);
  EXPECT_EQ(from_tape.exit_code, c.exit_code) << from_tape.out;
  EXPECT_EQ(from_image.exit_code, from_tape.exit_code) << from_image.out;
  EXPECT_EQ(from_image.out.find("Configuring input drive"), std::string::npos);
  std::map<std::string, std::string> expected = files_of(a.dir.file("tape"));
  std::map<std::string, std::string> got = files_of(a.dir.file("image"));
  JsonFlat tape_report, image_report;
  ASSERT_TRUE(json_flatten(expected["TAKE.json"], &tape_report)) << from_tape.out;
  ASSERT_TRUE(json_flatten(got["TAKE.json"], &image_report)) << from_image.out;
  for (const auto& [path, value] : tape_report) {
    bool of_the_run = path.rfind("source", 0) == 0 || path.rfind("options", 0) == 0 || path == "started" ||
                      path == "finished" || path.rfind("files.", 0) == 0;
    if (!of_the_run) {
      EXPECT_EQ(image_report[path], value) << path;
    }
  }
  for (const char* report_file : {"TAKE.json", "TAKE.html", "TAKE.sha256"}) {
    expected.erase(report_file);
    got.erase(report_file);
  }
  ASSERT_GE(expected.size(), 2u) << from_tape.out;
  ASSERT_EQ(got.size(), expected.size()) << from_image.out;
  for (const auto& [name, bytes] : expected) EXPECT_TRUE(same_bytes(got[name], bytes)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Archive, FromImage,
    testing::Values(ImageCase{"StartIdRuns", start_id_runs, {"/STARTID"}},
                    ImageCase{"StartIdRunsReadOnToTheEnd", start_id_runs, {"/STARTID", "/STOPEOT"}},
                    ImageCase{"RateChange", rate_change, {}},
                    ImageCase{"RateChangeInOneFile", rate_change, {"/ONEWAV", "/BYPROGRAM"}},
                    ImageCase{"LongPlay", long_play, {"/STARTID"}},
                    ImageCase{"FlaggedFrames", flagged, {"/ERRORCORRECT"}, 5},
                    ImageCase{"UnreadableFrames", worn, {"/STOPEOT", "/STARTID"}, 5, "300 301 615 929"},
                    ImageCase{"RewindOverALeadIn", lead_in, {"/REWIND", "/STARTID"}}),
    [](const testing::TestParamInfo<ImageCase>& info) { return info.param.name; });

// Images that give no frames, or not all of them: a message and exit code 6.
TEST(FromImageFaults, EachSaysWhatIsWrongAndFails) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 10);
  struct Row {
    const char* name;
    std::function<void(const std::string&)> make;  // the image at this path
    const char* said;
    bool wav;  // the whole frames are written
  } rows[] = {
      {"Missing", [](const std::string&) {}, "Cannot open Lost.img\nNo such file or directory\n", false},
      {"Folder", [](const std::string& p) { mkdir(p.c_str(), 0755); }, "Lost.img is a folder, not an image file\n",
       false},
      {"Empty", [](const std::string& p) { write_file(p, ""); }, "Lost.img is empty", false},
      {"LessThanAFrame", [](const std::string& p) { write_file(p, std::string(100, 'x')); },
       "Lost.img holds 100 bytes, not one whole frame", false},
      {"Truncated",
       [&tape](const std::string& p) {
         tape_write(tape, p);
         write_file(p, read_file(p) + std::string(100, 'x'));
       },
       " - Lost.img ends in a short record of 100 bytes, less than a frame: it is ignored", true},
  };
  for (const Row& row : rows) {
    TapeRun a(kStats);
    a.load(tape);
    mkdir(a.dir.file("out").c_str(), 0755);
    row.make(a.dir.file("out/Lost.img"));
    ProcessResult r = a.run_in("out", {"/KESTREL", "T", "/FROMIMAGE", "Lost.img"});
    EXPECT_EQ(r.exit_code, 6) << row.name << r.out;
    EXPECT_NE(r.out.find(row.said), std::string::npos) << row.name << r.out;
    EXPECT_EQ(file_exists(a.dir.file("out/T001.wav")), row.wav) << row.name;
    if (row.wav) {
      EXPECT_TRUE(same_bytes(read_wav(a.dir.file("out/T001.wav")).data, tape_pcm(tape, 0, 10)));
    }
    r = a.run_in("out", {"/TOC", "/FROMIMAGE", "Lost.img"});
    EXPECT_EQ(r.exit_code, 6) << row.name << r.out;
    EXPECT_NE(r.out.find(row.said), std::string::npos) << row.name << r.out;
  }
}

// A run that reads an image never writes over it, nor over the report of
// the dump it came from: refused before anything is written (exit code 6),
// the image and every file of the folder as they were. Each row lays out
// the folder (the image is the dump of the tape, TAPE.img with its report
// TAPE.json, TAPE.html, TAPE.sha256) and runs kestrel there.
TEST(FromImageOutputs, NeitherTheImageNorTheDumpsReportIsWrittenOver) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 40);
  struct Row {
    const char* name;
    std::function<void(const std::string&)> lay_out;  // in the folder
    std::vector<std::string> args;
    const char* said;  // "": the run goes ahead (exit code 0)
  } rows[] = {
      {"ImageNamedAsTheFirstTrack",
       [](const std::string& d) { ASSERT_EQ(rename((d + "/TAPE.img").c_str(), (d + "/T001.wav").c_str()), 0); },
       {"/KESTREL", "T", "/FROMIMAGE", "T001.wav"},
       "T001.wav would be written over the image being read (T001.wav): nothing is written\n"},
      {"TrackLogASymbolicLinkToIt", [](const std::string& d) { ASSERT_EQ(symlink("TAPE.img", (d + "/T001.log").c_str()), 0); },
       {"/KESTREL", "T", "/FROMIMAGE", "TAPE.img"},
       "T001.log would be written over the image being read (TAPE.img): nothing is written\n"},
      {"LaterFlacTrackAHardLinkToIt",
       [](const std::string& d) { ASSERT_EQ(link((d + "/TAPE.img").c_str(), (d + "/T012.flac").c_str()), 0); },
       {"/KESTREL", "T", "/FROMIMAGE", "TAPE.img", "/FLAC"},
       "T012.flac would be written over the image being read (TAPE.img): nothing is written\n"},
      {"ReportPageAHardLinkToIt",
       [](const std::string& d) { ASSERT_EQ(link((d + "/TAPE.img").c_str(), (d + "/R.html").c_str()), 0); },
       {"/KESTREL", "R", "/FROMIMAGE", "TAPE.img", "/REPORT"},
       "R.html would be written over the image being read (TAPE.img): nothing is written\n"},
      {"TableOfContentsReportIsIt",
       [](const std::string& d) { ASSERT_EQ(rename((d + "/TAPE.img").c_str(), (d + "/TOC.json").c_str()), 0); },
       {"/TOC", "/FROMIMAGE", "TOC.json", "/REPORT"},
       "TOC.json would be written over the image being read (TOC.json): nothing is written\n"},
      {"RunLogOfThePlayerIsIt",
       [](const std::string& d) { ASSERT_EQ(rename((d + "/TAPE.img").c_str(), (d + "/log.txt").c_str()), 0); },
       {"/KESTREL", "T", "/FROMIMAGE", "log.txt", "/WAVEOUT"},
       "log.txt would be written over the image being read (log.txt): nothing is written\n"},
      {"FilesNamedAsTheDump", [](const std::string&) {}, {"/KESTREL", "TAPE", "/FROMIMAGE", "TAPE.img", "/REPORT"},
       "TAPE.json is the report of a reading of the tape in a drive, which a reading of the image does not replace: "
       "nothing is written; give the files another name\n"},
      {"TableOfContentsNamedAsTheDump", [](const std::string&) {}, {"/TOC", "TAPE", "/FROMIMAGE", "TAPE.img", "/REPORT"},
       "TAPE.json is the report of a reading of the tape in a drive"},
      // Files of the same name without a report, and a report of an earlier
      // reading of the image, are written as ever.
      {"TracksNamedAsTheDumpWithoutAReport", [](const std::string&) {}, {"/KESTREL", "TAPE", "/FROMIMAGE", "TAPE.img"},
       ""},
      {"ReportOfAnEarlierReadingOfTheImage",
       [](const std::string& d) {
         ProcessOptions options;
         options.cwd = d;
         ASSERT_EQ(run_kestrel({"/KESTREL", "AGAIN", "/FROMIMAGE", "TAPE.img", "/REPORT"}, options).exit_code, 0);
       },
       {"/KESTREL", "AGAIN", "/FROMIMAGE", "TAPE.img", "/REPORT"}, ""},
  };
  for (const Row& row : rows) {
    TapeRun a(kStats);
    a.load(tape);
    ProcessResult dump = a.run_in("out", {"/BITTERN", "TAPE", "/INPUTID", "0:4", "/REPORT"});
    ASSERT_EQ(dump.exit_code, 0) << dump.out;
    const std::string folder = a.dir.file("out");
    row.lay_out(folder);
    std::map<std::string, std::string> before = files_of(folder);
    ProcessOptions options;
    options.env.push_back("KESTREL_WAVEOUT=null");
    ProcessResult r = a.run_in("out", row.args, options);
    if (row.said[0] == '\0') {
      EXPECT_EQ(r.exit_code, 0) << row.name << r.out;
      continue;
    }
    EXPECT_EQ(r.exit_code, 6) << row.name << r.out;
    EXPECT_NE(r.out.find(row.said), std::string::npos) << row.name << r.out;
    EXPECT_TRUE(files_of(folder) == before) << row.name << ": the folder changed\n" << r.out;
  }
}

// ---------------------------------------------------------------- /TOC

std::string time_of_frames(size_t frames) { return tape_time_text(frames); }

struct TocCase {
  const char* name;
  std::function<Tape()> tape;
  std::vector<int> programs;  // the numbers listed, in order
  const char* said;           // besides the lines
  bool image = true;          // its frames make an image (an empty file does not)
  BusKeys drive_keys = {};    // searches that stop short of their frame
};

Tape mixed_rates() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 1, .start_id_frames = 20, .scms = 2}, 400);
  tape_record(&tape, Recording{.program = 2, .rate_code = 0, .start_id_frames = 20}, 250);
  size_t third = tape_record(&tape, Recording{.program = 3, .long_play = true, .start_id_frames = 20}, 300);
  for (size_t i = third; i < tape.frames.size(); ++i) tape.frames[i].main_id_format |= 0x10;  // pre-emphasis
  tape_date(&tape, 403, 406, FrameDate{2, 24, 3, 5, 12, 30, 0});  // a date in the fourth frame of program 2
  tape_blank(&tape, 70);
  return tape;
}

// After a lead-in, programs 1, 2, 3 and 5 of 400 frames, each with its own
// date and format, and a lead-out: the lengths count the programs' own frames.
Tape four_programs() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 40);
  tape_mark_lead_in(&tape, 0, 40);
  int day = 1;
  for (int p : {1, 2, 3, 5}) {
    size_t first = tape_record(&tape, Recording{.program = p, .rate_code = p % 2, .start_id_frames = 300, .scms = p % 4}, 400);
    tape_date(&tape, first, tape.frames.size(), FrameDate{2, 24, 3, day++, 12, 30, 0});
  }
  size_t lead_out = tape_record(&tape, Recording{.program = 5}, 300);
  tape_mark_lead_out(&tape, lead_out, tape.frames.size());
  return tape;
}

// Numbers above the first ten: found from the number of the tape's first
// program, past a blank leader and a lead-in.
Tape numbered_from(int first) {
  Tape tape;
  tape_blank(&tape, 20);
  tape_record(&tape, Recording{.program = first}, 30);
  tape_mark_lead_in(&tape, 20, 50);
  for (int p : {first, first + 1}) tape_record(&tape, Recording{.program = p, .start_id_frames = 10}, 200);
  return tape;
}

Tape numbering_gap() {
  Tape tape;
  tape_blank(&tape, 30);
  for (int p : {1, 2, 4, 13}) tape_record(&tape, Recording{.program = p, .start_id_frames = 10}, 150);
  return tape;
}

Tape no_numbers() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 300);
  for (DatFrame& f : tape.frames) {
    f.sid_pno1 = static_cast<uint8_t>(f.sid_pno1 & 0x0F);
    f.sid_pno23 = 0xAA;
  }
  return tape;
}

Tape one_program() {
  Tape tape;
  tape_record(&tape, Recording{.program = 7, .start_id_frames = 300}, 3000);
  return tape;
}

class Toc : public testing::TestWithParam<TocCase> {};

// /TOC on the drive and on the same frames as an image: the lines of the
// composed tape; on the drive at most 10 frames read a program (with an
// exact drive), and the tape put back at the program /SEEK found.
TEST_P(Toc, ListsTheProgramsOfTheComposedTape) {
  const TocCase& c = GetParam();
  Tape tape = c.tape();
  TapeRun a(kStats);
  a.load(tape, c.drive_keys);
  std::string lines = toc_lines(tape.frames, c.programs);
  std::string total = c.programs.empty() ? "" : "total: " + std::to_string(c.programs.size()) + " programs, " +
                                                   time_of_frames(tape.frames.size()) + " (" +
                                                   std::to_string(tape.frames.size()) + " frames)\n";
  std::vector<std::string> drive_args = {"/TOC", "list", "/INPUTID", "0:4", "/REPORT"};
  if (!c.programs.empty()) drive_args.insert(drive_args.end(), {"/SEEK", "PROGNUM", std::to_string(c.programs.back())});
  std::vector<ProcessResult> runs = {a.run_in("run", drive_args)};
  // Without a program among the first ten numbers the tape's first 1000
  // frames are read for the number of its first program.
  if (c.drive_keys.empty()) {
    double leader = c.programs.empty() || c.programs.front() > 10 ? 1000.0 : 0.0;
    EXPECT_LE(a.stat("reads"), leader + 10.0 * static_cast<double>(c.programs.size()));
  }
  if (c.image) runs.push_back(a.run_in("run", {"/TOC", "/FROMIMAGE", "../tape.dat"}));
  for (const ProcessResult& r : runs) {
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find(lines + total), std::string::npos) << lines + total << "\n----\n" << r.out;
    EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
  }
  // With /REPORT the programs are in LIST.json as the transfer report lists them.
  JsonFlat json;
  ASSERT_TRUE(json_flatten(read_file(a.dir.file("run/LIST.json")), &json)) << runs[0].out;
  EXPECT_EQ(json["mode"], "TOC");
  ASSERT_EQ(json["programs#"], std::to_string(c.programs.size()));
  for (size_t i = 0; i < c.programs.size(); ++i) {
    std::string at = "programs." + std::to_string(i) + ".";
    EXPECT_EQ(json[at + "number"], std::to_string(c.programs[i]));
    EXPECT_EQ(json[at + "first_frame"], std::to_string(tape_first_of(tape.frames, c.programs[i])));
  }
  // The tape is put back where /SEEK left it.
  if (!c.programs.empty()) {
    size_t found_at = tape_first_of(tape.frames, c.programs.back());
    std::string put_back = found_at == 0 ? " - rewinding the tape\n"
                                         : " - putting the tape back at frame " + std::to_string(found_at) + "\n";
    EXPECT_NE(runs[0].out.find(put_back), std::string::npos) << runs[0].out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Archive, Toc,
    testing::Values(TocCase{"MixedRates", mixed_rates, {1, 2, 3}, ""},
                    TocCase{"GapInTheNumbering", numbering_gap, {1, 2, 4, 13}, ""},
                    TocCase{"NoProgramNumbers", no_numbers, {},
                            "The tape holds no program numbers: 00:00:09:00 of recording (300 frames)\n"},
                    TocCase{"EmptyTape", [] { return Tape{}; }, {}, "The tape is empty: no frame is recorded on it\n",
                            false},
                    TocCase{"OneProgram", one_program, {7}, "total: 1 programs, 00:01:30:00 (3000 frames)\n"},
                    TocCase{"FirstProgramEleven", [] { return numbered_from(11); }, {11, 12}, ""},
                    TocCase{"FirstProgram798", [] { return numbered_from(798); }, {798, 799}, ""},
                    TocCase{"OwnFramesBeforeALeadOut", four_programs, {1, 2, 3, 5}, ""},
                    TocCase{"SearchesThatStopShort1", four_programs, {1, 2, 3, 5}, "", true,
                            {{"locate_slop", "8"}, {"seed", "1"}}},
                    TocCase{"SearchesThatStopShort2", four_programs, {1, 2, 3, 5}, "", true,
                            {{"locate_slop", "8"}, {"seed", "2"}}},
                    TocCase{"SearchesThatStopShort3", four_programs, {1, 2, 3, 5}, "", true,
                            {{"locate_slop", "8"}, {"seed", "3"}}}),
    [](const testing::TestParamInfo<TocCase>& info) { return info.param.name; });

// ESC ends the listing also in the middle of a search that takes long (a
// thousand polls, seconds each): the run ends at once, says so, and sends
// the tape back to where it was found.
TEST(TocInterrupted, EscEndsALongSearch) {
  Tape tape;
  for (int p = 1; p <= 3; ++p) tape_record(&tape, Recording{.program = p}, 300);
  TapeRun a(kStats);
  a.load(tape, {{"search_polls", "1000"}});
  ProcessOptions options;
  options.stdin_data = "kk\x1b";  // read at the third poll of the keyboard
  ProcessResult r = a.run_in("run", {"/TOC", "/INPUTID", "0:4"}, options);
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("Interrupted before a program was found\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" - rewinding the tape\n"), std::string::npos) << r.out;
  EXPECT_EQ(a.stat("locates"), 2) << "the search for program 1 and the rewind";
}

}  // namespace
