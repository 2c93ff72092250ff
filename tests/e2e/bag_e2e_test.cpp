// SPDX-License-Identifier: MIT
// /BAG end to end: a reading bagged, the bag checked as an intake would check
// it (tests/support/e2e/bag_check.h), and that checker shown to find a bag
// changed in any of the ways an intake must notice.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/support/e2e/bag_check.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

Tape two_programs() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 60);
  tape_record(&tape, Recording{.program = 2}, 40);
  return tape;
}

bool has_problem(const std::vector<std::string>& problems, const std::string& wanted) {
  for (const std::string& p : problems)
    if (p.find(wanted) != std::string::npos) return true;
  return false;
}

std::string joined(const std::vector<std::string>& problems) {
  std::string out;
  for (const std::string& p : problems) out += p + "\n";
  return out;
}

std::vector<std::string> with_drive(std::vector<std::string> args) {
  args.insert(args.end(), {"-d", "0:4"});
  return args;
}

struct BagRun {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<std::string> payload;  // under TAPE/data/
  std::string organization;
  std::vector<std::string> first = {};  // a run before this one: the dump an image's reading needs
};

TEST(Bag, AReadingBaggedIsAValidBagWithTheReportAsTagFiles) {
  const BagRun runs[] = {
      {{"/KESTREL", "TAPE", "/BYPROGRAM", "/BAG"}, {}, {"TAPE001.wav", "TAPE002.wav"}, "kestrel"},
      {{"/KESTREL", "TAPE", "/BWF", "/BAG", "/REPORT"}, {"KESTREL_ORGANIZATION=XY-ARC\nnext"}, {"TAPE001.wav"},
       "XY-ARC next"},
      {{"/BITTERN", "TAPE", "/BAG"}, {}, {"TAPE.img"}, "kestrel"},
      // The image's record goes with a reading of it, and stays beside the image.
      {{"/KESTREL", "TAPE", "/FROMIMAGE", "SAVE.img", "/BAG"}, {}, {"TAPE001.wav"}, "kestrel", {"/BITTERN", "SAVE"}},
      // The verbs' option.
      {{"read", "TAPE", "--format", "bwf", "--bag"}, {}, {"TAPE001.wav"}, "kestrel"},
      {{"dump", "TAPE", "--bag"}, {}, {"TAPE.img"}, "kestrel"},
  };
  for (const BagRun& b : runs) {
    SCOPED_TRACE(b.args[0] + " " + b.args[2]);
    TapeRun t;
    ProcessOptions options;
    options.env = b.env;
    if (!b.first.empty()) {
      ASSERT_EQ(t.run(two_programs(), b.first).exit_code, 0);
    }
    bool verb = b.args[0][0] != '/';
    if (verb) t.load(two_programs());
    ProcessResult r = verb ? t.run_in("", with_drive(b.args), options) : t.run(two_programs(), b.args, {}, options);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find(" - bag: TAPE/ ("), std::string::npos) << r.out;
    if (!b.first.empty()) {
      EXPECT_EQ(read_file(t.path("TAPE/SAVE.img.json")), read_file(t.path("SAVE.img.json")));
      EXPECT_NE(read_file(t.path("TAPE/tagmanifest-sha256.txt")).find("  SAVE.img.json\n"), std::string::npos);
    }
    EXPECT_EQ(joined(bag_problems(t.path("TAPE"))), "");
    for (const std::string& name : b.payload) {
      EXPECT_TRUE(file_exists(t.path("TAPE/data/" + name))) << name;
      EXPECT_FALSE(file_exists(t.path(name))) << name;  // moved, not copied
    }
    for (const char* tag : {"TAPE.json", "TAPE.html", "TAPE.sha256", "tagmanifest-sha256.txt"})
      EXPECT_TRUE(file_exists(t.path(std::string("TAPE/") + tag))) << tag;
    std::string info = read_file(t.path("TAPE/bag-info.txt"));
    for (const std::string& line : {"Source-Organization: " + b.organization + "\n", std::string("External-Identifier: TAPE\n"),
                                    std::string("Transfer-Verdict: clean\n")})
      EXPECT_NE(info.find(line), std::string::npos) << info;
    // The report's own checksum list still holds where the files now lie.
    ProcessOptions in_data;
    in_data.cwd = t.path("TAPE/data");
    ProcessResult check = run_process("/bin/sh", {"-c", "grep -v 'TAPE\\.\\(json\\|html\\)$' ../TAPE.sha256 | sha256sum -c"}, in_data);
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  }
}

struct Damage {
  const char* name;
  std::function<void(const fs::path&)> apply;
  const char* found;  // "" : the bag stays valid
};

void flip_byte(const fs::path& file, std::streamoff at) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(at);
  char c = 0;
  f.get(c);
  f.seekp(at);
  f.put(static_cast<char>(c ^ 1));
}

TEST(Bag, TheCheckerFindsEveryChangeAnIntakeMustNotice) {
  TapeRun t;
  ProcessResult r = t.run(two_programs(), {"/KESTREL", "TAPE", "/BYPROGRAM", "/BAG"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const Damage rows[] = {
      {"untouched", [](const fs::path&) {}, ""},
      {"one changed byte of audio", [](const fs::path& b) { flip_byte(b / "data/TAPE002.wav", 5000); },
       "checksum differs (manifest-sha256.txt): data/TAPE002.wav"},
      {"a payload file missing", [](const fs::path& b) { fs::remove(b / "data/TAPE001.wav"); },
       "missing (manifest-sha256.txt): data/TAPE001.wav"},
      {"a payload file missing, its size", [](const fs::path& b) { fs::remove(b / "data/TAPE001.wav"); },
       "Payload-Oxum"},
      {"an extra payload file", [](const fs::path& b) { write_file((b / "data/notes.txt").string(), "x"); },
       "not in the manifest: data/notes.txt"},
      {"an extra file in a folder of the payload",
       [](const fs::path& b) {
         fs::create_directory(b / "data/more");
         write_file((b / "data/more/a.wav").string(), "");
       },
       "not in the manifest: data/more/a.wav"},
      {"one changed byte of the report", [](const fs::path& b) { flip_byte(b / "TAPE.json", 3); },
       "checksum differs (tagmanifest-sha256.txt): TAPE.json"},
      {"a changed bag-info", [](const fs::path& b) { write_file((b / "bag-info.txt").string(), "Payload-Oxum: 1.1\n"); },
       "checksum differs (tagmanifest-sha256.txt): bag-info.txt"},
      {"no payload manifest (a bag cut short)", [](const fs::path& b) { fs::remove(b / "manifest-sha256.txt"); },
       "no payload manifest"},
      {"no declaration", [](const fs::path& b) { fs::remove(b / "bagit.txt"); }, "not a bag declaration"},
  };
  for (const Damage& d : rows) {
    TempDir copy;
    fs::path bag = fs::path(copy.path()) / "TAPE";
    fs::copy(t.path("TAPE"), bag, fs::copy_options::recursive);
    d.apply(bag);
    std::vector<std::string> problems = bag_problems(bag.string());
    if (*d.found) EXPECT_TRUE(has_problem(problems, d.found)) << d.name << ":\n" << joined(problems);
    else EXPECT_EQ(joined(problems), "") << d.name;
  }
}

TEST(Bag, ABagThatCannotBeMadeLeavesTheFilesAndTheReportAsTheyWere) {
  TapeRun t;
  ASSERT_TRUE(write_file(t.path("TAPE"), "in the way"));  // the bag's name is taken
  ProcessResult r = t.run(two_programs(), {"/KESTREL", "TAPE", "/BYPROGRAM", "/BAG"});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("The bag could not be made:\nwrite to TAPE failed: File exists\n"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(t.path("TAPE")), "in the way");
  ProcessOptions in_dir;
  in_dir.cwd = t.dir.path();
  ProcessResult check = run_process("/usr/bin/sha256sum", {"-c", "TAPE.sha256"}, in_dir);
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("TAPE002.wav: OK"), std::string::npos) << check.out;
}

}  // namespace
