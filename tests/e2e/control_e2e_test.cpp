// SPDX-License-Identifier: MIT
// kestrel run as a process: the banner, the argument check, the parser's
// rejections and a missing provider.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kBanner = "KESTREL - version 1.3b\n";

TEST(RunSequence, FewerThanTwoArgumentsAsksForParameters) {
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"/KESTREL"}}) {
    ProcessResult r = run_kestrel(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.rfind(kBanner + "Missing command line parameters....\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("/INPUTID"), std::string::npos) << "usage summary";
    EXPECT_EQ(r.out.find("ASPI"), std::string::npos);
  }
}

// Asked alone, --help, -h and --version are answered; with anything after
// them they are words of the command line like any other.
TEST(RunSequence, HelpAndVersionAreAnsweredAlone) {
  for (const char* help : {"--help", "-h"}) {
    ProcessResult r = run_kestrel({help});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind(kBanner + "\nUsage: kestrel MODE", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("/ERRORCORRECT"), std::string::npos);
  }
  ProcessResult r = run_kestrel({"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("kestrel 1.3b\nlibmpg123 ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nlibsoxr 0."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nALSA library 1."), std::string::npos) << r.out;

  r = run_kestrel({"--help", "/KESTREL"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, kBanner + "KESTREL\nNo filename entered\nProblem parsing command line\n");
}

TEST(RunSequence, RejectedCommandLinesEndWithExitCode2) {
  struct Case {
    std::vector<std::string> args;
    std::string printed;
  } cases[] = {
      {{"/INPUTID", "0:1", "/KESTREL"}, "KESTREL\nNo filename entered\n"},
      {{"/KESTREL", "/INPUTID", "0:4"}, "KESTREL\nNo filename entered: /INPUTID is a switch, not a file name\n"},
      {{"/KESTREL", "T", "/INPUTID", "8:1"}, "KESTREL\ninput SCSI Adapter number: 8, out of range 0-7\n"},
      {{"/KESTREL", "T", "/INPUTID", "1:9"}, "KESTREL\ninput SCSI ID number: 9, out of range 0-7\n"},
      {{"/KESTREL", "T", "/INPUTID"}, "KESTREL\nNo ID entered\n"},
      {{"/KESTREL", "T"}, "KESTREL\nNo input ID entered\n"},
      {{"/GOSHAWK", "T"}, "GOSHAWK\nNo output ID entered\n"},
      {{"/PINTAIL", "/INPUTID", "0:3", "/OUTPUTID", "0:3"},
       "PINTAIL\nInput SCSI adapter 0, ID number: 3\nOutput SCSI adapter 0, ID number: 3\n"
       "Input and Output IDs must be different \n"},
      {{"/REWIND", "/STARTID"}, "No mode entered (eg: /kestrel, /goshawk etc.)\n"},
      {{"/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "PROGNUM"},
       "KESTREL\nInput SCSI adapter 0, ID number: 1\nNo seek info entered\n"},
      {{"/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "TRACK", "1"},
       "KESTREL\nInput SCSI adapter 0, ID number: 1\nUnknown seek type\n"},
      {{"/KESTREL", std::string(400, 'x'), "/INPUTID", "0:1"},
       "KESTREL\nFilename too long: 400 characters, at most 313 allowed\n"},
  };
  for (const Case& c : cases) {
    ProcessResult r = run_kestrel(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.printed;
    EXPECT_EQ(r.out, kBanner + c.printed + "Problem parsing command line\n");
  }
}

TEST(RunSequence, MissingProviderEndsWithExitCode3) {
  // kestrel and its two libraries, under the names it loads them by, copied
  // to a folder without the provider.
  TempDir dir;
  for (const char* name : {"kestrel", "libthistle.so.2", "libsorrel.so.2"})
    std::filesystem::copy_file(build_path(name), dir.file(name));
  ProcessOptions options;
  options.env.push_back("KESTREL_CLOCK=simulated");
  ProcessResult r = run_process(dir.file("kestrel"), {"/bittern", "x", "/kestrel", "t", "/inputid", "0:4"}, options);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, kBanner + "BITTERN\nKESTREL\nInput SCSI adapter 0, ID number: 4\n"
                             "Can't find WNASPI32.DLL file\nNo ASPI drivers found\n");

  // A provider that is there but does not load is not called missing: the
  // loader's reason is given.
  write_file(dir.file("libwnaspi32.so"), "not a library\n");
  r = run_process(dir.file("kestrel"), {"/kestrel", "t", "/inputid", "0:4"}, options);
  EXPECT_EQ(r.exit_code, 3);
  const std::string head = kBanner + "KESTREL\nInput SCSI adapter 0, ID number: 4\nCan't load WNASPI32.DLL file (" +
                           dir.file("libwnaspi32.so") + ": ";
  EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
  EXPECT_TRUE(r.out.ends_with(")\nNo ASPI drivers found\n")) << r.out;
}

}  // namespace
