// SPDX-License-Identifier: MIT
// The verbs and their options beside the slash switches: each verb run and
// the slash command it stands for, on the same cassette in two folders of
// their own, leave the same files, byte for byte, and the same tape written.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/json.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/report_schema.h"
#include "tests/support/temp_dir.h"

namespace {

using Files = std::map<std::string, std::string>;

// Two programs, a start ID each, a flagged frame and a rate change, then blank tape.
Tape composed_tape() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 10}, 80);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1, .start_id_frames = 10}, 60);
  tape_flag(&tape, 30, 0x40);
  tape_blank(&tape, 40);
  return tape;
}

const char kCue[] = "[CONFIG]\nSCMS=00\nINTERTRACK_SILENCE=1\nLEADOUT_SILENCE=1\n[FILES]\nFILE_001=demo_strings.wav\n";

const std::string kBanner = "KESTREL - version 1.3b\n";

// No defaults of the machine's or the user's: only those a test sets.
ProcessOptions without_defaults(ProcessOptions options = {}) {
  options.env.insert(options.env.begin(),
                     {"KESTREL_DRIVE=", "XDG_CONFIG_HOME=/nonexistent", "KESTREL_SYSTEM_CONFIG=/nonexistent"});
  return options;
}

struct FolderRun {
  ProcessResult result;
  Files files;  // every file of the folder after the run but the bus file
};

// A Broadcast WAV file's reference: random bits, new in every run.
std::string without_references(const std::string& bytes) {
  static const std::regex reference("KESTREL-[0-9a-f]{16}-");
  return std::regex_replace(bytes, reference, "KESTREL-REFERENCE-");
}

struct Console {
  std::string lasting;           // the lines that end in "\n" and say more than a status line
  int status = 0;                // the status lines: rewritten in place ("\r"), or a line of their own
  std::set<std::string> texts;   // what they said, without the spaces around
};

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(' '), last = text.find_last_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// What out shows. A line of its own that says what a status line said (in
// out, or in known) counts as one, wherever it came from: a mode also ends
// the status line of its last frame with a lasting line's "\n".
Console console_of(const std::string& out, const std::set<std::string>& known = {}) {
  Console c;
  c.texts = known;
  size_t start = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r' || out[i] == '\n') {
      if (out[i] == '\r') c.texts.insert(trimmed(out.substr(start, i - start)));
      start = i + 1;
    }
  }
  c.texts.erase("");
  start = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] != '\n' && out[i] != '\r') continue;
    if (c.texts.count(trimmed(out.substr(start, i - start)))) ++c.status;
    else if (out[i] == '\n') c.lasting += out.substr(start, i + 1 - start);
    start = i + 1;
  }
  return c;
}

// program with args in a fresh folder: 0:4 holds the composed cassette, 0:5
// an empty one; SRC.img (the cassette's image), DEMO.CUE and its WAV beside.
FolderRun run_in_fresh_folder(const std::string& program, const std::vector<std::string>& args, const std::string& image) {
  TempDir dir;
  EXPECT_TRUE(tape_write(composed_tape(), dir.file("source.tape")));
  EXPECT_TRUE(write_file(dir.file("SRC.img"), image));
  EXPECT_TRUE(write_file(dir.file("DEMO.CUE"), kCue));
  std::filesystem::copy_file(std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/demo_strings.wav",
                             dir.file("demo_strings.wav"));
  EXPECT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "source.tape"}}},
                                                   {"0:5", {{"cassette", "target.tape"}}}}));
  ProcessOptions options = without_defaults(bus_options(dir.file("bus.ini")));
  options.cwd = dir.path();
  options.env.insert(options.env.end(), {"KESTREL_CLOCK=simulated", "SOURCE_DATE_EPOCH=1700000000"});
  FolderRun run;
  run.result = run_process(build_path(program), args, options);
  // The folder's own name, which kestrel-drives shows, is the one difference of its listing.
  for (size_t at; (at = run.result.out.find(dir.path())) != std::string::npos;)
    run.result.out.replace(at, dir.path().size(), "FOLDER");
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    std::string name = entry.path().filename().string();
    if (name != "bus.ini") run.files[name] = without_references(read_file(entry.path().string()));
  }
  return run;
}

// The cassette's image, as /BITTERN saves it.
const std::string& source_image() {
  static const std::string image = [] {
    FolderRun dump = run_in_fresh_folder("kestrel", {"/BITTERN", "SRC", "/INPUTID", "0:4", "/STOPEOT"}, "");
    return dump.files["SRC.img"];
  }();
  return image;
}

TEST(Verbs, EachVerbLeavesTheFilesOfItsSlashForm) {
  ASSERT_FALSE(source_image().empty());
  struct Case {
    std::vector<std::string> verb;
    std::vector<std::string> slash;  // of kestrel, or of the sibling program named first
    int exit_code;
  } cases[] = {
      {{"read", "TAPE", "-d", "0:4"}, {"/KESTREL", "TAPE", "/INPUTID", "0:4"}, 5},
      // Options in any order, long, short and joined; the switches follow the options' table.
      {{"read", "--report", "--split", "start-id", "TAPE", "--format", "flac", "--rewind", "--drive=0:4", "--conceal"},
       {"/KESTREL", "TAPE", "/INPUTID", "0:4", "/REWIND", "/STARTID", "/FLAC", "/ERRORCORRECT", "/REPORT"}, 5},
      // A Broadcast WAV file's random reference is masked: no report of its checksums here.
      {{"read", "--format", "bwf", "TAPE", "-d", "0:4"}, {"/KESTREL", "TAPE", "/INPUTID", "0:4", "/BWF"}, 5},
      {{"read", "-d0:4", "--seek", "program:2", "--one-file", "--read-on", "--de-emphasis", "TAPE", "--report"},
       {"/KESTREL", "TAPE", "/INPUTID", "0:4", "/ONEWAV", "/SEEK", "PROGNUM", "2", "/DEEMPHASIS", "/STOPEOT", "/REPORT"}, 0},
      {{"read", "--from-image", "SRC.img", "--split=program", "--split", "start-id", "--format", "flac", "OUT"},
       {"/KESTREL", "OUT", "/FROMIMAGE", "SRC.img", "/STARTID", "/BYPROGRAM", "/FLAC"}, 5},
      {{"read", "TAPE", "-d", "0:4", "--reread", "2", "--seek", "abs:0:0:0:20", "--report"},
       {"/KESTREL", "TAPE", "/INPUTID", "0:4", "/SEEK", "ABSTIME", "0:0:0:20", "/REREAD", "2", "/REPORT"}, 5},
      // The archive's identity, and the transfer time fixed: the reports are alike too.
      {{"read", "TAPE", "-d", "0:4", "--format", "bwf", "--originator", "US-ABC", "--reference", "T42", "--identifier",
        "shelf 42", "--archive-location", "US, ABC", "--copyright", "CC0", "--transfer-time", "2026-12-09T10:00:00Z",
        "--report"},
       {"/KESTREL", "TAPE", "/INPUTID", "0:4", "/BWF", "/REPORT", "/ORIGINATOR", "US-ABC", "/REFERENCE", "T42",
        "/IDENTIFIER", "shelf 42", "/LOCATION", "US, ABC", "/COPYRIGHT", "CC0", "/TRANSFERTIME", "2026-12-09T10:00:00Z"},
       5},
      {{"toc", "-d", "0:4"}, {"/TOC", "/INPUTID", "0:4"}, 0},
      {{"toc", "LIST", "--from-image", "SRC.img"}, {"/TOC", "LIST", "/FROMIMAGE", "SRC.img"}, 0},
      {{"dump", "IMG", "--read-on", "-d", "0:4", "--report"}, {"/BITTERN", "IMG", "/INPUTID", "0:4", "/STOPEOT", "/REPORT"}, 5},
      {{"dump", "--overwrite", "SRC", "-d", "0:4"}, {"/BITTERN", "SRC", "/INPUTID", "0:4", "/OVERWRITE"}, 5},
      {{"rescue", "SRC", "-d", "0:4"}, {"/RESCUE", "SRC", "/INPUTID", "0:4"}, 6},  // no map: nothing to read again
      {{"restore", "SRC", "-d", "0:5"}, {"/BUNTING", "SRC", "/OUTPUTID", "0:5"}, 5},
      {{"restore", "--rewind", "SRC", "--to-drive", "0:5"}, {"/BUNTING", "SRC", "/OUTPUTID", "0:5", "/REWIND"}, 5},
      {{"copy", "--to-drive", "0:5", "--report", "-d", "0:4"}, {"/PINTAIL", "/INPUTID", "0:4", "/OUTPUTID", "0:5", "/REPORT"}, 5},
      {{"record", "DEMO", "-d", "0:5"}, {"/GOSHAWK", "DEMO", "/OUTPUTID", "0:5"}, 0},
      {{"record", "--rewind", "--to-drive", "0:5", "DEMO"}, {"/GOSHAWK", "DEMO", "/OUTPUTID", "0:5", "/REWIND"}, 0},
      {{"merge", "OUT.img", "SRC.img", "SRC.img"}, {"kestrel-merge", "OUT.img", "SRC.img", "SRC.img"}, 0},
      {{"drives"}, {"kestrel-drives"}, 0},
  };
  for (const Case& c : cases) {
    std::string program = "kestrel";
    std::vector<std::string> slash = c.slash;
    bool sibling = slash[0].rfind("kestrel-", 0) == 0;
    if (sibling) {
      program = slash[0];
      slash.erase(slash.begin());
    }
    SCOPED_TRACE(testing::PrintToString(c.verb));
    FolderRun verb = run_in_fresh_folder("kestrel", c.verb, source_image());
    FolderRun old = run_in_fresh_folder(program, slash, source_image());
    EXPECT_EQ(verb.result.exit_code, c.exit_code) << verb.result.out;
    EXPECT_EQ(old.result.exit_code, c.exit_code) << old.result.out;
    // The same run says the same, but for the slash form's banner and status lines.
    std::string said = old.result.out;
    if (!sibling && said.rfind(kBanner, 0) == 0) said.erase(0, kBanner.size());
    const char* verdict = c.exit_code == 0 ? "clean" : c.exit_code == 5 ? "damaged" : "incomplete";
    std::smatch summary;
    std::string shown = verb.result.out;
    if (!sibling) {  // the verb ends with its summary line
      ASSERT_TRUE(std::regex_search(shown, summary, std::regex(c.verb[0] + " " + verdict + "[:a-z0-9 ,]* in 0:00:0[0-9]\n$")))
          << shown;
      shown.erase(static_cast<size_t>(summary.position(0)));
    }
    if (sibling) {
      EXPECT_EQ(verb.result.out, said);
    } else if (c.verb[0] == "read") {  // the frames' events in plain words
      EXPECT_EQ(shown.find("loop2"), std::string::npos) << shown;
      EXPECT_EQ(shown.find("Error detected"), std::string::npos) << shown;
      EXPECT_NE(shown.find(" - writing "), std::string::npos) << shown;
      EXPECT_EQ(shown.find("damaged frame from 00:00:0") != std::string::npos, c.exit_code == 5) << shown;
    } else {  // off a terminal the verb paces its status lines
      Console expected = console_of(said);
      EXPECT_EQ(console_of(shown, expected.texts).lasting, expected.lasting);
    }
    ASSERT_EQ(verb.files.size(), old.files.size());
    for (const auto& [name, bytes] : old.files) {
      auto it = verb.files.find(name);
      ASSERT_NE(it, verb.files.end()) << name << " written by the slash form only";
      if (it->second == bytes) continue;
      size_t at = 0;
      while (at < bytes.size() && at < it->second.size() && bytes[at] == it->second[at]) ++at;
      ADD_FAILURE() << name << " differs from byte " << at << ": slash form '" << bytes.substr(at, 40)
                    << "', verb '" << it->second.substr(at, 40) << "'";
    }
  }
}

// The names are taken as typed, -- ends the options and the verbs print no banner.
TEST(Verbs, NamesAreTakenAsTyped) {
  struct Case {
    std::vector<std::string> args;
    const char* file;
  } cases[] = {
      {{"read", "-d", "0:4", "--", "-Mixed"}, "-Mixed001.wav"},
      {{"dump", "lower", "-d", "0:4"}, "lower.img"},
      {{"read", "sub/Tape", "-d", "0:4"}, "sub/Tape001.wav"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("sub"));
    ASSERT_TRUE(tape_write(composed_tape(), dir.file("source.tape")));
    ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "source.tape"}}}}));
    ProcessOptions options = without_defaults(bus_options(dir.file("bus.ini")));
    options.cwd = dir.path();
    ProcessResult r = run_kestrel(c.args, options);
    EXPECT_EQ(r.exit_code, 5) << r.out;
    EXPECT_TRUE(file_exists(dir.file(c.file))) << c.file << "\n" << r.out;
    EXPECT_EQ(r.out.find("KESTREL - version"), std::string::npos);
  }
}

TEST(Verbs, BadOptionsGetOneLineAndExitCode2) {
  struct Case {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"read", "-d", "0:4"}, "read: NAME missing (kestrel read --help)"},
      {{"read", "T"}, "read: which drive? give --drive ADAPTER:ID, or --from-image PATH"},
      {{"read", "T", "U", "-d", "0:4"}, "read: one name too many: 'U'"},
      {{"read", "T", "-d", "8:1"}, "read: --drive takes ADAPTER:ID, each 0 to 7, not '8:1'"},
      {{"read", "T", "-d", "0:4x"}, "read: --drive takes ADAPTER:ID, each 0 to 7, not '0:4x'"},
      {{"read", "T", "-d"}, "read: --drive needs a value"},
      {{"read", "T", "-d", "0:4", "--seek"}, "read: --seek needs a value"},
      {{"read", "T", "-d", "0:4", "--bogus"}, "read: unknown option --bogus (kestrel read --help)"},
      {{"read", "T", "-d", "0:4", "-x"}, "read: unknown option -x (kestrel read --help)"},
      {{"read", "T", "-d", "0:4", "--format", "mp3"}, "read: --format takes wav, bwf, flac, not 'mp3'"},
      {{"read", "T", "-d", "0:4", "--split", "track"}, "read: --split takes start-id, program, rate, not 'track'"},
      {{"read", "T", "-d", "0:4", "--seek", "track:1"}, "read: --seek takes program, abs, run, program-time, not 'track:1'"},
      {{"read", "T", "-d", "0:4", "--seek", "7"}, "read: --seek takes program:N, abs:, run: or program-time:H:M:S:F, not '7'"},
      {{"read", "T", "-d", "0:4", "--seek", "program:x"}, "read: --seek position 'x' is not a program number"},
      {{"read", "T", "-d", "0:4", "--seek", "abs:1:2:3"}, "read: --seek position '1:2:3' is not H:M:S:F"},
      {{"read", "T", "-d", "0:4", "--reread", "100"}, "read: --reread takes 1 to 99 passes, not '100'"},
      {{"read", "T", "-d", "0:4", "--one-file", "--split", "rate"},
       "read: --one-file keeps one file across rate changes: not with --split rate"},
      {{"read", "T", "--from-image", "x.img", "-d", "0:4"}, "read: --from-image reads a file, no drive: not with --drive"},
      {{"read", "T", "--from-image", "x.img", "--reread", "2"}, "read: --from-image reads a file, no drive: not with --reread"},
      {{"read", "T", "-d", "0:4", "--length", "1:75:00"}, "read: --length takes H:M:S, not '1:75:00'"},
      {{"read", "T", "-d", "0:4", "--events", "json:99"}, "read: --events takes json, or json:FD with FD open, not 'json:99'"},
      {{"read", "T", "-d", "0:4", "--events", "xml"}, "read: --events takes json, or json:FD with FD open, not 'xml'"},
      {{"dump", "T", "-d", "0:4", "--length", "1:00:00"}, "dump: --length is not an option of dump"},
      {{"read", "T", "-d", "0:4", "--name-template", "%n"}, "read: --name-template '%n' gives every file the same name: add %f, the file number"},
      {{"read", "T", "-d", "0:4", "--name-template", "%n_%x"},
       "read: --name-template: '%x' is no field (%n name, %f file number, %p program, %d date, %t time, %a absolute time, %% a percent sign)"},
      {{"dump", "T", "-d", "0:4", "--format", "flac"}, "dump: --format is not an option of dump"},
      {{"toc", "-d", "0:4", "--to-drive", "0:5"}, "toc: --to-drive is not an option of toc"},
      {{"copy", "-d", "0:4"}, "copy: which drive is written? give --to-drive ADAPTER:ID"},
      {{"copy", "-d", "0:4", "--to-drive", "0:4"}, "copy: the drive read and the drive written must differ, both are 0:4"},
      {{"restore", "T", "-d", "0:5", "--to-drive", "0:5"}, "restore: one drive: --drive or --to-drive, not both"},
      {{"record", "-d", "0:5"}, "record: CUE missing (kestrel record --help)"},
      {{"drives", "--probe", "9:9"}, "drives: --probe takes ADAPTER:ID, each 0 to 7, not '9:9'"},
      {{"merge", "OUT.img"}, "merge: OUT IN... missing (kestrel merge --help)"},
  };
  for (const Case& c : cases) {
    ProcessResult r = run_kestrel(c.args, without_defaults());
    EXPECT_EQ(r.exit_code, 2) << c.line;
    EXPECT_EQ(r.out, std::string("kestrel ") + c.line + "\n");
  }
}

TEST(Verbs, EachVerbsHelpFitsOnOneScreen) {
  for (const char* verb : {"read", "toc", "dump", "restore", "copy", "record", "play", "drives", "merge"}) {
    ProcessResult r = run_kestrel({verb, "--help"});
    EXPECT_EQ(r.exit_code, 0) << verb;
    EXPECT_EQ(r.out.rfind(std::string("Usage: kestrel ") + verb, 0), 0u) << r.out;
    EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 24) << r.out;
    EXPECT_NE(r.out.find("--help"), std::string::npos) << r.out;
  }
  ProcessResult r = run_kestrel({"--help"});
  EXPECT_NE(r.out.find("\n  kestrel read    NAME"), std::string::npos) << r.out;
}

// The defaults from the system's file, the user's file and KESTREL_DRIVE, each
// over the one before, and the command line over all: what --show-config
// says is in force, and the slash command the run then stands for.
TEST(Verbs, DefaultsGiveWayInTheirOrder) {
  struct Case {
    std::string system, user, drive;  // the files' [kestrel] lines, KESTREL_DRIVE
    std::vector<std::string> args;    // after kestrel read X
    std::string config;               // --show-config's four lines, sources as SYS, USER
    std::string slash;                // the first line of --verbose
  } cases[] = {
      {"", "", "", {"-d", "0:4"},
       "drive    0:4     command line\nformat   wav     default\nreport   no      default\nread-on  no      default\n",
       "kestrel /KESTREL X /INPUTID 0:4"},
      {"drive=0:1\nformat=bwf\nreport=yes\n", "", "", {},
       "drive    0:1     SYS\nformat   bwf     SYS\nreport   yes     SYS\nread-on  no      default\n",
       "kestrel /KESTREL X /INPUTID 0:1 /BWF /REPORT"},
      {"drive=0:1\nformat=bwf\nread-on=on\n", "drive=0:2\nformat=flac\n", "", {},
       "drive    0:2     USER\nformat   flac    USER\nreport   no      default\nread-on  on      SYS\n",
       "kestrel /KESTREL X /INPUTID 0:2 /FLAC /STOPEOT"},
      {"drive=0:1\n", "drive=0:2\n", "0:3", {},
       "drive    0:3     KESTREL_DRIVE\nformat   wav     default\nreport   no      default\nread-on  no      default\n",
       "kestrel /KESTREL X /INPUTID 0:3"},
      {"report=yes\nread-on=yes\n", "format=flac\n", "0:3", {"-d", "0:6", "--format", "wav", "--no-report", "--no-read-on"},
       "drive    0:6     command line\nformat   wav     command line\nreport   no      command line\n"
       "read-on  no      command line\n",
       "kestrel /KESTREL X /INPUTID 0:6"},
      // The archive's texts and a fixed time, set once.
      {"originator=US-ABC\ncopyright=CC0\n", "archive-location=US, ABC\ntransfer-time=2026-12-09T10:00:00Z\n", "",
       {"-d", "0:4"},
       "drive    0:4     command line\nformat   wav     default\nreport   no      default\nread-on  no      default\n"
       "originator US-ABC  SYS\narchive-location US, ABC USER\ncopyright CC0     SYS\n"
       "transfer-time 2026-12-09T10:00:00Z USER\n",
       "kestrel /KESTREL X /INPUTID 0:4 /ORIGINATOR US-ABC /LOCATION US, ABC /COPYRIGHT CC0 /TRANSFERTIME "
       "2026-12-09T10:00:00Z"},
      // An image needs no drive: the default one is left out, not refused.
      {"", "drive=0:2\nreport=1\n", "", {"--from-image", "T.img"},
       "drive    0:2     USER\nformat   wav     default\nreport   1       USER\nread-on  no      default\n",
       "kestrel /KESTREL X /FROMIMAGE T.img /REPORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.system + "|" + c.user + "|" + c.drive);
    TempDir dir;
    std::filesystem::create_directories(dir.file("user/kestrel"));
    ASSERT_TRUE(write_file(dir.file("system.conf"), "[kestrel]\n" + c.system));
    ASSERT_TRUE(write_file(dir.file("user/kestrel/kestrel.conf"), "# mine\n[KESTREL]\n" + c.user));
    ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {}));  // no drive: the run ends after saying its command
    ProcessOptions options = bus_options(dir.file("bus.ini"));
    options.env.insert(options.env.end(), {"KESTREL_SYSTEM_CONFIG=" + dir.file("system.conf"),
                                           "XDG_CONFIG_HOME=" + dir.file("user"), "KESTREL_DRIVE=" + c.drive});
    std::vector<std::string> args = {"read", "X"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("--show-config");
    ProcessResult shown = run_kestrel(args, options);
    // The archive's texts unset unless the case sets them.
    const std::string kNoIdentity =
        "originator kestrel default\narchive-location (none)  default\ncopyright (none)  default\n"
        "transfer-time (now)   default\n";
    std::string config = c.config + (c.config.find("originator") == std::string::npos ? kNoIdentity : "");
    std::string expected = std::regex_replace(config, std::regex("SYS"), dir.file("system.conf"));
    expected = std::regex_replace(expected, std::regex("USER"), dir.file("user/kestrel/kestrel.conf"));
    EXPECT_EQ(shown.exit_code, 0);
    EXPECT_EQ(shown.out, expected);
    args.back() = "--verbose";
    ProcessResult run = run_kestrel(args, options);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), c.slash);
  }
}

TEST(Verbs, AWrongDefaultIsNamedWithItsSource) {
  struct Case {
    std::string user, drive, line;
  } cases[] = {
      {"drive=8:1\n", "", "USER: drive '8:1' is not ADAPTER:ID, each 0 to 7"},
      {"format=mp3\n", "", "USER: format 'mp3' is not wav, bwf or flac"},
      {"report=maybe\n", "", "USER: report 'maybe' is not yes or no"},
      {"transfer-time=tomorrow\n", "",
       "USER: transfer-time 'tomorrow' is not a time as YYYY-MM-DDTHH:MM:SSZ (or with an offset)"},
      {"originator=" + std::string(33, 'x') + "\n", "",
       "USER: originator '" + std::string(33, 'x') + "' is not a text of 1 to 32 characters"},
      {"", "4", "KESTREL_DRIVE: drive '4' is not ADAPTER:ID, each 0 to 7"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("kestrel"));
    ASSERT_TRUE(write_file(dir.file("kestrel/kestrel.conf"), "[kestrel]\n" + c.user));
    ProcessOptions options;
    options.env = {"KESTREL_SYSTEM_CONFIG=/nonexistent", "XDG_CONFIG_HOME=" + dir.path(), "KESTREL_DRIVE=" + c.drive};
    std::string line = "kestrel: " + std::regex_replace(c.line, std::regex("USER"), dir.file("kestrel/kestrel.conf")) + "\n";
    for (std::vector<std::string> args : {std::vector<std::string>{"--show-config"}, {"read", "X", "-d", "0:4"}}) {
      ProcessResult r = run_kestrel(args, options);
      EXPECT_EQ(r.exit_code, 2);
      EXPECT_EQ(r.out, line);
    }
  }
}

// kestrel with args on a pseudo-terminal: what the terminal shows, its
// "\r\n" line ends as "\n".
std::string run_on_terminal(const std::vector<std::string>& args, const ProcessOptions& options) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv = {const_cast<char*>("kestrel")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(build_path("kestrel").c_str(), argv.data());
    _exit(127);
  }
  std::string shown;
  char buffer[4096];
  for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(got));
  close(master);
  waitpid(pid, nullptr, 0);
  return std::regex_replace(shown, std::regex("\r\n"), "\n");
}

// On a terminal a verb rewrites one status line in place (where the tape
// is, what was read, the file, the time; a bar once the length is known);
// off one, a plain line at most every 10 seconds among a line for each
// event; with --quiet, the summary alone. The slash form keeps its own.
TEST(Verbs, StatusLinesArePacedOffATerminal) {
  Tape tape;
  for (int program = 1; program <= 4; ++program) tape_record(&tape, Recording{.program = program, .start_id_frames = 10}, 500);
  tape_blank(&tape, 70);
  TapeRun t;
  t.load(tape);
  ProcessOptions options = without_defaults(bus_options(t.path("bus.ini")));
  options.cwd = t.dir.path();
  options.env.push_back("KESTREL_CLOCK=simulated");
  ProcessResult slash = run_kestrel({"/KESTREL", "TAPE", "/INPUTID", "0:4", "/STARTID"}, options);
  ASSERT_EQ(slash.exit_code, 0) << slash.out;
  ASSERT_GE(console_of(slash.out.substr(kBanner.size())).status, 2000);
  const std::string summary = "read clean: 2062 frames read, 0 damaged, 0 unreadable, 4 files, in 0:00:0";
  const std::string events = " - writing TAPE001.wav from 00:00:00:00\n - writing TAPE002.wav from 00:00:15:00\n"
                             " - writing TAPE003.wav from 00:00:30:00\n - writing TAPE004.wav from 00:00:45:00\n"
                             " - end of the recorded data after 00:00:59:33\n";

  struct Case {
    std::vector<std::string> more;
    bool terminal;
    const char* listing;  // TAPE.toc beside the name, or nullptr
    int least_status, most_status;  // the status lines shown
    bool bar;
    bool quiet;
    size_t most_bytes;
  } cases[] = {
      // Under the simulated clock the status line comes every 500 frames and after each event.
      {{}, true, nullptr, 5, 8, false, false, 2000},
      {{"--length", "0:1:0"}, true, nullptr, 5, 8, true, false, 3000},
      {{}, true, "...\ntotal: 4 programs, 00:01:00:00 of recording (2000 frames)\n", 5, 8, true, false, 3000},
      // The simulated clock stands still while the frames are read: the first status line and the last.
      {{"--length", "0:1:0"}, false, nullptr, 2, 2, true, false, 1200},
      {{"--quiet"}, false, nullptr, 0, 0, false, true, summary.size() + 3},
      {{"-q"}, true, nullptr, 0, 0, false, true, summary.size() + 3},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(t.path("TAPE.toc"));
    if (c.listing) {
      ASSERT_TRUE(write_file(t.path("TAPE.toc"), c.listing));
    }
    std::vector<std::string> args = {"read", "TAPE", "-d", "0:4", "--split", "start-id"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    SCOPED_TRACE(testing::PrintToString(args) + (c.terminal ? " on a terminal" : " to a pipe"));
    std::string out = c.terminal ? run_on_terminal(args, options) : run_kestrel(args, options).out;
    // The status lines: "A " and the tape's absolute time, each ended in place
    // on a terminal, or as a line of its own off one.
    std::regex status(c.terminal ? "A [0-9:]{11} P00[1-4]  [0-9]+ frames, 0 damaged, 0 unreadable[^\r\n]*\x1b\\[K\r"
                                 : "\nA [0-9:]{11} P00[1-4]  [0-9]+ frames, 0 damaged, 0 unreadable[^\r\n]*\n");
    auto shown = std::distance(std::sregex_iterator(out.begin(), out.end(), status), std::sregex_iterator());
    EXPECT_GE(shown, c.least_status) << out;
    EXPECT_LE(shown, c.most_status) << out;
    EXPECT_EQ(out.find("] 100%") != std::string::npos, c.bar) << out;
    EXPECT_EQ(std::regex_search(out, std::regex("\\[#{5}\\.{15}\\]  25%")), c.bar && c.terminal) << out;
    // The lasting lines, without the status lines in place and the clearing of them.
    std::string lasting = std::regex_replace(std::regex_replace(out, std::regex("\x1b\\[K"), ""), std::regex("[^\r\n]*\r"), "");
    EXPECT_EQ(lasting.find(events) != std::string::npos, !c.quiet) << lasting;
    EXPECT_NE(out.find(summary), std::string::npos) << out;
    if (c.quiet) {
      EXPECT_EQ(out.rfind(summary, 0), 0u) << out;
    }
    EXPECT_EQ(out.find("start_id start"), std::string::npos) << out;
    EXPECT_LE(out.size(), c.most_bytes);
    EXPECT_TRUE(c.terminal || out.find('\r') == std::string::npos) << "a status line off a terminal ends its line";
  }
}

// --events json: one object a line on standard error, as the published
// schema says, from started to finished, with each file's checksum as it was
// left; the console (--quiet) keeps to the warnings and the summary.
TEST(Verbs, EventsAreOneJsonObjectALineAsTheSchemaSays) {
  TapeRun t;
  t.load(composed_tape(), {{"flaky_unreadable", "100:1"}, {"seed", "5"}});
  ProcessOptions options = without_defaults(bus_options(t.path("bus.ini")));
  options.cwd = t.dir.path();
  ProcessResult r = run_kestrel({"read", "TAPE", "-d", "0:4", "--read-on", "--reread", "2", "--events", "json", "-q"}, options);
  EXPECT_EQ(r.exit_code, 5) << r.out;
  EXPECT_EQ(event_schema_problems(r.err), "") << r.err;
  std::vector<JsonFlat> events;
  std::string kinds;
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    JsonFlat e;
    ASSERT_TRUE(json_flatten(line, &e)) << line;
    events.push_back(e);
    kinds += (kinds.empty() ? "" : " ") + e["event"];
  }
  // The flagged frame 30 stays damaged over its re-reads; frame 100 is never read.
  EXPECT_TRUE(std::regex_match(kinds, std::regex("started file_opened (reread )+damaged (file_closed file_opened )*"
                                                 "(reread )*unreadable (file_closed file_opened )*end_of_data file_closed finished")))
      << kinds;
  for (const JsonFlat& e : events) {
    if (e.at("event") != "file_closed") continue;
    ProcessResult sum = run_process("/usr/bin/sha256sum", {t.path(e.at("file"))});
    EXPECT_EQ(sum.out.substr(0, 64), e.at("sha256")) << e.at("file");
  }
  EXPECT_EQ(events.back().at("verdict"), "damaged");
  EXPECT_EQ(events.back().at("unreadable"), "1");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;  // the damaged frame, the unreadable one, the summary
  EXPECT_NE(r.out.find("could not be read: silence in its place in TAPE00"), std::string::npos) << r.out;
}

// A run that fails under --quiet says what failed (the lines held back), then
// the summary; its events go to the descriptor --events json:FD names.
TEST(Verbs, AFailedQuietRunSaysWhatFailedAndItsEventsGoToTheDescriptorGiven) {
  TapeRun t;
  t.load(composed_tape());
  ProcessOptions options = without_defaults(bus_options(t.path("bus.ini")));
  options.cwd = t.dir.path();
  options.env.push_back("KESTREL_CLOCK=simulated");
  ProcessResult r = run_process("/bin/bash", {"-c", "exec 3>events.txt && exec \"$0\" \"$@\"", build_path("kestrel"), "read",
                                              "TAPE", "-d", "0:6", "-q", "--events", "json:3"}, options);
  EXPECT_EQ(r.exit_code, 4) << r.out;
  EXPECT_NE(r.out.find("Drive didn't initialize\nread incomplete: 0 frames read, 0 damaged, 0 unreadable, 0 files, in 0:00:0"),
            std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  std::string events = t.read("events.txt");
  EXPECT_EQ(event_schema_problems(events), "") << events;
  EXPECT_EQ(events.rfind("{\"event\":\"started\",\"verb\":\"read\",\"name\":\"TAPE\",\"source\":\"drive 0:6\"", 0), 0u) << events;
  EXPECT_NE(events.find("\n{\"event\":\"finished\",\"verdict\":\"incomplete\",\"exit_code\":4,"), std::string::npos) << events;
}

// The bash completion the package installs, asked as bash asks it: the words
// typed so far, the one being completed, and what the completion offers.
TEST(Verbs, BashCompletesVerbsOptionsAndDriveAddresses) {
  TempDir dir;
  ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "a.tape"}}}, {"0:5", {{"cassette", "b.tape"}}}}));
  ASSERT_TRUE(write_file(dir.file("TAPE.img"), ""));
  struct Case {
    std::vector<std::string> words;  // the last is the word being completed
    std::string offered;             // sorted, one a line
  } cases[] = {
      {{"kestrel", "re"}, "read\nrecord\nrescue\nrestore\n"},
      {{"kestrel", "--s"}, "--show-config\n"},
      {{"kestrel", "read", "--f"}, "--format\n--from-image\n"},
      {{"kestrel", "read", "TAPE", "--e"}, "--events\n"},
      {{"kestrel", "dump", "--f"}, ""},
      {{"kestrel", "read", "-d", ""}, "0:4\n0:5\n"},
      {{"kestrel", "copy", "-d", "0:4", "--to-drive", "0:5"}, "0:5\n"},
      {{"kestrel", "drives", "--probe", "0:"}, "0:4\n0:5\n"},
      {{"kestrel", "read", "--split", "p"}, "program\n"},
      {{"kestrel", "read", "--format", ""}, "bwf\nflac\nwav\n"},
      {{"kestrel", "read", "--from-image", "TA"}, "TAPE.img\n"},
      {{"kestrel", "/KESTREL", "TA"}, "TAPE.img\n"},
  };
  for (const Case& c : cases) {
    std::string words;
    for (const std::string& w : c.words) words += " '" + w + "'";
    std::string script = "source '" + std::string(KESTREL_SOURCE_DIR) + "/packaging/completion/kestrel'\n" +
                         "COMP_WORDS=(" + words + ")\nCOMP_CWORD=" + std::to_string(c.words.size() - 1) +
                         "\n_kestrel\nprintf '%s\\n' \"${COMPREPLY[@]}\" | sort\n";
    ProcessOptions options = without_defaults(bus_options(dir.file("bus.ini")));
    options.cwd = dir.path();
    options.env.push_back("PATH=" + build_path("") + ":/usr/bin:/bin");
    ProcessResult r = run_process("/bin/bash", {"-c", script}, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string offered = r.out == "\n" ? "" : r.out;
    EXPECT_EQ(offered, c.offered) << testing::PrintToString(c.words) << r.err;
  }
}

// --name-template: the names from the fields of each file's first frame.
// One that no field tells apart is refused before the run; one whose fields
// repeat is refused as the file that repeats it opens, nothing written to it.
TEST(Verbs, NameTemplatesNameTheFilesFromTheirFirstFrames) {
  Tape tape;
  tape_record(&tape, Recording{.program = 7, .start_id_frames = 10, .date = FrameDate{7, 24, 3, 9, 14, 25, 1}}, 300);
  tape_record(&tape, Recording{.program = 8, .start_id_frames = 10}, 300);
  tape_record(&tape, Recording{.program = 9, .start_id_frames = 10}, 300);
  tape_blank(&tape, 70);
  struct Case {
    std::vector<std::string> more;
    int exit_code;
    std::vector<std::string> files;  // the audio files left, sorted
  } cases[] = {
      {{"--name-template", "%n_%p_%f"}, 0, {"TAPE_007_001.wav", "TAPE_008_002.wav", "TAPE_009_003.wav"}},
      {{"--name-template", "%d_%t-%a%%"}, 0,
       {"2024-03-09_142501-00-00-00-00%.wav", "nodate_notime-00-00-09-00%.wav", "nodate_notime-00-00-18-00%.wav"}},
      {{"--name-template", "x%f", "--format", "flac"}, 0, {"x001.flac", "x002.flac", "x003.flac"}},
      {{"--name-template", "%n%p", "--split", "program"}, 0, {"TAPE007.wav", "TAPE008.wav", "TAPE009.wav"}},
      // The third file would take the second's name: refused as it opens.
      {{"--name-template", "%n_%d"}, 6, {"TAPE_2024-03-09.wav", "TAPE_nodate.wav"}},
      {{}, 0, {"TAPE001.wav", "TAPE002.wav", "TAPE003.wav"}},
  };
  for (const Case& c : cases) {
    TapeRun t;
    t.load(tape);
    ProcessOptions options = without_defaults(bus_options(t.path("bus.ini")));
    options.cwd = t.dir.path();
    std::vector<std::string> args = {"read", "TAPE", "-d", "0:4", "--split", "start-id"};
    args.insert(args.end(), c.more.begin(), c.more.end());
    ProcessResult r = run_kestrel(args, options);
    EXPECT_EQ(r.exit_code, c.exit_code) << testing::PrintToString(c.more) << r.out;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(t.dir.path())) {
      std::string name = entry.path().filename().string();
      if (name.size() > 4 && (name.ends_with(".wav") || name.ends_with(".flac"))) files.push_back(name);
      if (name.ends_with(".wav")) {
        EXPECT_TRUE(file_exists(t.path(name.substr(0, name.size() - 4) + ".log"))) << name;
      }
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, c.files) << testing::PrintToString(c.more);
  }
}

}  // namespace
