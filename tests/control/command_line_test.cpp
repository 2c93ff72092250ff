// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control/command_line.h"

namespace {

// Parses a command line given as words (program name first) and captures
// what the parser printed.
struct Parsed {
  int result;
  std::string printed;
  RunSettings settings;
};

Parsed parse(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  Parsed p{};
  std::memset(&p.settings, 0, sizeof p.settings);
  char* text = nullptr;
  size_t size = 0;
  FILE* capture = open_memstream(&text, &size);
  FILE* saved = stdout;
  stdout = capture;
  p.result = parse_command_line(static_cast<int>(argv.size()), argv.data(), &p.settings);
  stdout = saved;
  std::fclose(capture);
  p.printed.assign(text, size);
  std::free(text);
  return p;
}

TEST(CommandLine, AcceptsLowerCaseAndUpperCasesTheName) {
  Parsed p = parse({"kestrel", "/kestrel", "tape1", "/inputid", "1:4"});
  EXPECT_EQ(p.result, 0);
  EXPECT_STREQ(p.settings.base_name, "TAPE1");
  EXPECT_EQ(p.settings.kestrel_arg, 1);
  EXPECT_EQ(p.settings.inputid_arg, 3);
  EXPECT_EQ(p.settings.input_adapter, 1);
  EXPECT_EQ(p.settings.input_target, 4);
  EXPECT_EQ(p.settings.input_lun, 0);
  EXPECT_EQ(p.printed, "KESTREL\nInput SCSI adapter 1, ID number: 4\n");
}

TEST(CommandLine, FoldersOfTheFileNameKeepTheirCase) {
  // Only the stem is upper-cased: a folder's name on Linux depends on its case.
  Parsed p = parse({"kestrel", "/KESTREL", "/home/me/Tapes/tape1", "/INPUTID", "0:4"});
  EXPECT_EQ(p.result, 0);
  EXPECT_STREQ(p.settings.base_name, "/home/me/Tapes/TAPE1");
  p = parse({"kestrel", "/bittern", "out/set.2", "/inputid", "0:4"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.settings.bittern_arg, 1);
  EXPECT_STREQ(p.settings.base_name, "out/SET.2");
  // A word with a folder in front is not a switch, whatever its case.
  p = parse({"kestrel", "/KESTREL", "T", "x/stopeot", "/INPUTID", "0:4"});
  EXPECT_EQ(p.settings.stopeot_arg, 0);
}

TEST(CommandLine, RecordsEverySwitchPositionAndTheLastOccurrenceWins) {
  Parsed p = parse({"k", "/REWIND", "/BITTERN", "T", "/INPUTID", "0:4", "/ONEWAV", "/STARTID", "/MRSOFF",
                    "/STOPEOT", "/ERRORCORRECT", "/WAVEOUT", "/REWIND"});
  ASSERT_EQ(p.result, 0);
  const RunSettings& s = p.settings;
  EXPECT_EQ(s.rewind_arg, 12);
  EXPECT_EQ(s.bittern_arg, 2);
  EXPECT_EQ(s.onewav_arg, 6);
  EXPECT_EQ(s.startid_arg, 7);
  EXPECT_EQ(s.mrsoff_arg, 8);
  EXPECT_EQ(s.stopeot_arg, 9);
  EXPECT_EQ(s.errorcorrect_arg, 10);
  EXPECT_EQ(s.waveout_arg, 11);
  EXPECT_EQ(s.kestrel_arg, 0);
}

TEST(CommandLine, FileNameIsTheArgumentAfterTheLastFileMode) {
  // A switch where the name should be is a forgotten name, whatever its case.
  for (const char* name : {"/INPUTID", "/stopeot", "/PINTAIL"}) {
    Parsed p = parse({"k", "/KESTREL", name, "0:3"});
    EXPECT_EQ(p.result, 2) << name;
    EXPECT_EQ(p.settings.base_name[0], '\0') << name;
  }
  Parsed p = parse({"k", "/BUNTING", "/GOSHAWK", "/OUTPUTID", "0:3"});  // /GOSHAWK's name is missing
  EXPECT_EQ(p.printed, "BUNTING\nGOSHAWK\nNo filename entered: /OUTPUTID is a switch, not a file name\n");

  p = parse({"k", "/BITTERN", "FIRST", "/KESTREL", "SECOND", "/INPUTID", "0:1"});
  EXPECT_EQ(p.result, 0);
  EXPECT_STREQ(p.settings.base_name, "SECOND");
  EXPECT_EQ(p.printed, "BITTERN\nKESTREL\nInput SCSI adapter 0, ID number: 1\n");
}

TEST(CommandLine, RejectsMissingFileNameAndOverlongName) {
  Parsed p = parse({"k", "/INPUTID", "0:1", "/KESTREL"});
  EXPECT_EQ(p.result, 2);
  EXPECT_EQ(p.printed, "KESTREL\nNo filename entered\n");

  std::string longest(313, 'A');
  p = parse({"k", "/KESTREL", longest, "/INPUTID", "0:1"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(std::string(p.settings.base_name), longest);

  p = parse({"k", "/KESTREL", longest + "B", "/INPUTID", "0:1"});
  EXPECT_EQ(p.result, 2);
  EXPECT_NE(p.printed.find("Filename too long: 314 characters, at most 313 allowed\n"), std::string::npos);
  EXPECT_EQ(p.settings.base_name[0], '\0');
}

TEST(CommandLine, AddressRangesAndMalformedAddresses) {
  struct Case {
    const char* address;
    const char* message;
  } cases[] = {
      {"8:1", "input SCSI Adapter number: 8, out of range 0-7\n"},
      {"1:9", "input SCSI ID number: 9, out of range 0-7\n"},
      {"-1:2", "input SCSI Adapter number: -1, out of range 0-7\n"},
      {"3", "input SCSI ID number: -1, out of range 0-7\n"},
      {"X:1", "input SCSI Adapter number: -1, out of range 0-7\n"},
      {"", "input SCSI Adapter number: -1, out of range 0-7\n"},
      // Numbers beyond an int must not wrap into the range.
      {"4294967297:1", "input SCSI Adapter number: 2147483647, out of range 0-7\n"},
      {"1:-4294967292", "input SCSI ID number: -2147483648, out of range 0-7\n"},
  };
  for (const Case& c : cases) {
    Parsed p = parse({"k", "/KESTREL", "T", "/INPUTID", c.address});
    EXPECT_EQ(p.result, 1) << c.address;
    EXPECT_EQ(p.printed, std::string("KESTREL\n") + c.message) << c.address;
  }
  Parsed p = parse({"k", "/GOSHAWK", "T", "/OUTPUTID", "2:8"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "GOSHAWK\noutput SCSI ID number: 8, out of range 0-7\n");

  p = parse({"k", "/GOSHAWK", "T", "/OUTPUTID"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "GOSHAWK\nNo ID entered\n");
}

TEST(CommandLine, SeekRequests) {
  Parsed p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "ABSTIME", "0:10:30:0"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.settings.seek_type, 1);
  EXPECT_EQ(p.settings.seek_target, 0x000A1E00u);

  p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "PROGNUM", "1234"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.settings.seek_type, 0);
  EXPECT_EQ(p.settings.seek_target, 123u);

  p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "PROGTIME", "1:2:3:300"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.settings.seek_type, 3);
  EXPECT_EQ(p.settings.seek_target, 0x0102042Cu);  // 300 spills into the seconds byte

  // An hour count beyond an int must not wrap to hour 0.
  p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "ABSTIME", "4294967296:0:0:0"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.settings.seek_target, 0xFF000000u);

  p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "RUNTIME"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed.substr(p.printed.size() - 21), "No seek info entered\n");

  p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "TRACK", "3"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed.substr(p.printed.size() - 18), "Unknown seek type\n");

  for (const char* position : {"0:10:30", "1:2", "X", ""}) {
    p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "ABSTIME", position});
    EXPECT_EQ(p.result, 1) << position;
    EXPECT_EQ(p.printed.substr(p.printed.size() - 21), "No seek info entered\n") << position;
  }
  p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "PROGNUM", "X"});
  EXPECT_EQ(p.result, 1);
  // A negative program number would reach the drive as the digits of a huge one.
  p = parse({"k", "/KESTREL", "T", "/INPUTID", "0:1", "/SEEK", "PROGNUM", "-5"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed.substr(p.printed.size() - 21), "No seek info entered\n");
}

TEST(CommandLine, RereadTakesOneToNinetyNinePassesForTheReadingModes) {
  struct Case {
    std::vector<std::string> tail;
    int result;
    int passes;
    const char* printed;
  } cases[] = {
      {{"/REREAD", "8"}, 0, 8, "KESTREL\nInput SCSI adapter 0, ID number: 1\n"},
      {{"/reread", "99"}, 0, 99, "KESTREL\nInput SCSI adapter 0, ID number: 1\n"},
      {{"/REREAD", "1"}, 0, 1, "KESTREL\nInput SCSI adapter 0, ID number: 1\n"},
      {{"/REREAD", "0"}, 1, 0, "KESTREL\nInput SCSI adapter 0, ID number: 1\n/REREAD needs the number of extra passes, 1 to 99, not 0\n"},
      {{"/REREAD", "100"}, 1, 0, "KESTREL\nInput SCSI adapter 0, ID number: 1\n/REREAD needs the number of extra passes, 1 to 99, not 100\n"},
      {{"/REREAD", "8x"}, 1, 0, "KESTREL\nInput SCSI adapter 0, ID number: 1\n/REREAD needs the number of extra passes, 1 to 99, not 8X\n"},
      {{"/REREAD"}, 1, 0, "KESTREL\nInput SCSI adapter 0, ID number: 1\n/REREAD needs the number of extra passes, 1 to 99\n"},
      {{"/REREAD", "2", "/FROMIMAGE", "t.img"}, 1, 0,
       "KESTREL\nInput SCSI adapter 0, ID number: 1\n/REREAD reads the tape again: an image cannot be, so not with /FROMIMAGE\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words = {"k", "/KESTREL", "T", "/INPUTID", "0:1"};
    words.insert(words.end(), c.tail.begin(), c.tail.end());
    Parsed p = parse(words);
    EXPECT_EQ(p.result, c.result) << c.printed;
    EXPECT_EQ(p.settings.reread_passes, c.passes) << c.printed;
    EXPECT_EQ(p.printed, c.printed);
  }
  Parsed p = parse({"k", "/PINTAIL", "/INPUTID", "0:1", "/OUTPUTID", "0:2", "/REREAD", "3"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "PINTAIL\nInput SCSI adapter 0, ID number: 1\nOutput SCSI adapter 0, ID number: 2\n/REREAD works with /KESTREL and /BITTERN only\n");
}

TEST(CommandLine, RequiredAddressesAndModes) {
  Parsed p = parse({"k", "/KESTREL", "T"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "KESTREL\nNo input ID entered\n");

  p = parse({"k", "/BUNTING", "T", "/INPUTID", "0:1"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "BUNTING\nInput SCSI adapter 0, ID number: 1\nNo output ID entered\n");

  // /SEEK positions the input drive, so it needs one, also for a recording.
  p = parse({"k", "/GOSHAWK", "SET", "/OUTPUTID", "0:5", "/SEEK", "PROGNUM", "3"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "GOSHAWK\nOutput SCSI adapter 0, ID number: 5\nNo input ID entered\n");

  p = parse({"k", "/PINTAIL", "/INPUTID", "0:3", "/OUTPUTID", "0:3"});
  EXPECT_EQ(p.result, 1);
  EXPECT_NE(p.printed.find("Input and Output IDs must be different \n"), std::string::npos);

  p = parse({"k", "/PINTAIL", "/INPUTID", "0:3", "/OUTPUTID", "1:3"});
  EXPECT_EQ(p.result, 0);

  p = parse({"k", "/REWIND", "/INPUTID", "0:3"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "Input SCSI adapter 0, ID number: 3\nNo mode entered (eg: /kestrel, /goshawk etc.)\n");

  p = parse({"k", "TAPE", "WORDS"});
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.printed, "No mode entered (eg: /kestrel, /goshawk etc.)\n");
}

TEST(CommandLine, FromImageAndTableOfContents) {
  // The image's path is taken as typed; no drive is needed for the modes that read it.
  Parsed p = parse({"k", "/kestrel", "take", "/fromimage", "Tapes/Old.img", "/startid"});
  EXPECT_EQ(p.result, 0) << p.printed;
  EXPECT_STREQ(p.settings.image_path, "Tapes/Old.img");
  EXPECT_STREQ(p.settings.base_name, "TAKE");
  p = parse({"k", "/toc", "list", "/FROMIMAGE", "a.img"});
  EXPECT_EQ(p.result, 0) << p.printed;
  EXPECT_STREQ(p.settings.base_name, "LIST");
  p = parse({"k", "/TOC", "/INPUTID", "0:4"});  // the name is optional
  EXPECT_EQ(p.result, 0) << p.printed;
  EXPECT_STREQ(p.settings.base_name, "");
  // So is the trace's, which any mode takes.
  p = parse({"k", "/toc", "/trace", "Logs/Run.trace", "/INPUTID", "0:4"});
  EXPECT_EQ(p.result, 0) << p.printed;
  EXPECT_STREQ(p.settings.trace_path, "Logs/Run.trace");
  EXPECT_STREQ(p.settings.base_name, "");

  struct Row {
    std::vector<std::string> words;
    const char* said;
  } rows[] = {
      {{"k", "/TOC"}, "No input ID entered\n"},
      {{"k", "/KESTREL", "T", "/FROMIMAGE"}, "No image file entered after /FROMIMAGE\n"},
      {{"k", "/KESTREL", "T", "/FROMIMAGE", "/STARTID"}, "No image file entered after /FROMIMAGE\n"},
      {{"k", "/KESTREL", "T", "/FROMIMAGE", ""}, "No image file entered after /FROMIMAGE\n"},
      {{"k", "/KESTREL", "T", "/FROMIMAGE", std::string(5000, 'a')}, "Image path too long: 5000 characters"},
      {{"k", "/KESTREL", "T", "/INPUTID", "0:4", "/TRACE"}, "No trace file entered after /TRACE\n"},
      {{"k", "/KESTREL", "T", "/TRACE", "/INPUTID", "0:4"}, "No trace file entered after /TRACE\n"},
      {{"k", "/KESTREL", "T", "/INPUTID", "0:4", "/TRACE", std::string(5000, 'a')}, "Trace path too long: 5000 characters"},
      {{"k", "/BITTERN", "T", "/INPUTID", "0:4", "/FROMIMAGE", "a.img"}, "/FROMIMAGE gives its frames to /KESTREL or /TOC only\n"},
      {{"k", "/KESTREL", "T", "/FROMIMAGE", "a.img", "/SEEK", "PROGNUM", "2"},
       "/SEEK positions a drive: an image is read from its first frame\n"},
      {{"k", "/KESTREL", "T", "/INPUTID", "0:4", "/overwrite"}, "/OVERWRITE works with /BITTERN only\n"},
  };
  for (Row& row : rows) {
    p = parse(row.words);
    EXPECT_EQ(p.result, 1) << row.said;
    EXPECT_NE(p.printed.find(row.said), std::string::npos) << p.printed;
  }
}

TEST(CommandLine, BagTurnsOnTheReportOfAReadingToFiles) {
  struct Row {
    std::vector<std::string> words;
    int result;
    bool report;
  } rows[] = {
      {{"k", "/KESTREL", "t", "/FROMIMAGE", "t.img", "/BAG"}, 0, true},
      {{"k", "/bittern", "t", "/INPUTID", "0:4", "/bag", "/REPORT"}, 0, true},
      {{"k", "/KESTREL", "t", "/INPUTID", "0:4", "/WAVEOUT", "/BAG"}, 1, false},
      {{"k", "/GOSHAWK", "t", "/BITTERN", "u", "/OUTPUTID", "0:4", "/INPUTID", "0:5", "/BAG"}, 1, false},
      {{"k", "/PINTAIL", "/INPUTID", "0:4", "/OUTPUTID", "0:5", "/BAG"}, 1, false},
      {{"k", "/TOC", "/INPUTID", "0:4", "/BAG"}, 1, false},
  };
  for (Row& row : rows) {
    Parsed p = parse(row.words);
    EXPECT_EQ(p.result, row.result) << p.printed;
    EXPECT_EQ(p.settings.report_arg != 0, row.report) << row.words[1];
    if (row.result) {
      EXPECT_NE(p.printed.find("/BAG works with /KESTREL and /BITTERN only, writing files\n"), std::string::npos);
    }
  }
}

// The archive's texts are taken as typed, within their room; the transfer
// time is ISO 8601 with its zone, else refused.
TEST(CommandLine, TheArchivesTextsAndTheTransferTime) {
  const std::vector<std::string> kRead = {"k", "/KESTREL", "t", "/FROMIMAGE", "t.img"};
  struct Row {
    std::vector<std::string> more;
    int result;
    std::string said;  // a part of what is printed, or of the text taken
  } rows[] = {
      {{"/originator", "US-AbcA", "/Location", "US, Abc Archive", "/COPYRIGHT", "cc0"}, 0, "US-AbcA|US, Abc Archive|cc0"},
      {{"/IDENTIFIER", "shelf 42; box 7", "/REFERENCE", "t0042"}, 0, "shelf 42; box 7|t0042"},
      {{"/ORIGINATOR", std::string(33, 'x')}, 1, "/ORIGINATOR takes at most 32 characters, not 33"},
      {{"/REFERENCE", std::string(28, 'x')}, 1, "/REFERENCE takes at most 27 characters, not 28"},
      {{"/ORIGINATOR"}, 1, "No originator entered after /ORIGINATOR"},
      {{"/COPYRIGHT", "/BWF"}, 1, "No copyright entered after /COPYRIGHT"},
      {{"/TRANSFERTIME", "2026-12-09T10:00:00Z"}, 0, "1796810400"},
      {{"/TRANSFERTIME", "2026-12-09T11:30:00+01:30"}, 0, "1796810400"},
      {{"/TRANSFERTIME", "1970-01-01T00:00:00-00:01"}, 0, "60"},
      {{"/TRANSFERTIME", "2000-02-29T00:00:00Z"}, 0, "951782400"},
      {{"/TRANSFERTIME", "2026-12-09T10:00:00"}, 1, "/TRANSFERTIME takes a time as YYYY-MM-DDTHH:MM:SS"},
      {{"/TRANSFERTIME", "2026-13-09T10:00:00Z"}, 1, "not '2026-13-09T10:00:00Z'"},
      {{"/TRANSFERTIME", "2026-12-09 10:00:00Z"}, 1, "/TRANSFERTIME takes"},
      {{"/TRANSFERTIME", "2026-12-09T10:00:00+1:00"}, 1, "/TRANSFERTIME takes"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> words = kRead;
    words.insert(words.end(), row.more.begin(), row.more.end());
    Parsed p = parse(words);
    SCOPED_TRACE(row.more[0]);
    EXPECT_EQ(p.result, row.result) << p.printed;
    const RunSettings& s = p.settings;
    std::string taken = row.result ? p.printed : "";
    if (row.result == 0 && row.more[0] == "/TRANSFERTIME") taken = std::to_string(s.transfer_time);
    else if (row.result == 0)
      for (const char* text : {s.originator, s.location, s.copyright, s.identifier, s.reference})
        if (*text) taken += std::string(taken.empty() ? "" : "|") + text;
    EXPECT_NE(taken.find(row.said), std::string::npos) << taken;
  }
}

}  // namespace
