// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/ini.h"
#include "tests/support/temp_dir.h"

TEST(Ini, ProfileLookupGivesValuesDefaultsAndCounts) {
  TempDir dir;
  std::string path = dir.file("x.cue");
  write_file(path,
             "; a comment\r\n[Config]\r\n  startid = ON  \r\nSCMS=\r\nlabel=\"quoted value\"\r\n"
             "STARTID=OFF\r\n[FILES]\nFILE_001=/music/one.wav\n");
  char out[100];
  EXPECT_EQ(ini_get_string("CONFIG", "STARTID", "x", out, sizeof out, path.c_str()), 2u);
  EXPECT_STREQ(out, "ON");  // names without regard to case, first occurrence wins
  EXPECT_EQ(ini_get_string("CONFIG", "SCMS", "00", out, sizeof out, path.c_str()), 0u);
  EXPECT_STREQ(out, "");  // present and empty: a count of 0, no default
  EXPECT_EQ(ini_get_string("CONFIG", "LABEL", "", out, sizeof out, path.c_str()), 12u);
  EXPECT_STREQ(out, "quoted value");
  EXPECT_EQ(ini_get_string("CONFIG", "ABS_TIME", "ON", out, sizeof out, path.c_str()), 2u);
  EXPECT_STREQ(out, "ON");  // absent key
  EXPECT_EQ(ini_get_string("OTHER", "STARTID", "dflt", out, sizeof out, path.c_str()), 4u);
  EXPECT_STREQ(out, "dflt");  // absent section
  EXPECT_EQ(ini_get_string("files", "file_001", "NONE", out, sizeof out, path.c_str()), 14u);
  EXPECT_STREQ(out, "/music/one.wav");
  errno = 0;
  EXPECT_EQ(ini_get_string("FILES", "FILE_001", "JUNK", out, sizeof out, dir.file("none.cue").c_str()), 4u);
  EXPECT_STREQ(out, "JUNK");  // absent file
  EXPECT_EQ(errno, ENOENT);
}

TEST(Ini, LongValuesAreCutToTheBuffer) {
  TempDir dir;
  std::string path = dir.file("x.ini");
  write_file(path, "[A]\nK=" + std::string(150, 'v') + "\n");
  char out[100];
  EXPECT_EQ(ini_get_string("A", "K", "", out, sizeof out, path.c_str()), 99u);
  EXPECT_EQ(std::string(out), std::string(99, 'v'));
}

TEST(Ini, DocumentKeepsSectionsInOrder) {
  IniDocument doc;
  const char text[] = "\xEF\xBB\xBF[0:4]\nvendor = SONY\n[1:2]\ncassette=a.tape\nbroken line\n=x\n";
  ini_parse(text, sizeof text - 1, &doc);
  ASSERT_EQ(doc.sections.size(), 2u);
  EXPECT_EQ(doc.sections[0].name, "0:4");
  EXPECT_EQ(doc.sections[1].name, "1:2");
  ASSERT_NE(ini_find(&doc, "0:4", "VENDOR"), nullptr);
  EXPECT_EQ(*ini_find(&doc, "0:4", "VENDOR"), "SONY");
  EXPECT_EQ(ini_find(&doc, "0:4", "cassette"), nullptr);
  EXPECT_EQ(doc.sections[1].entries.size(), 2u);  // "=x" is an entry with an empty key
}
