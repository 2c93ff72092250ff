// SPDX-License-Identifier: MIT
// Finding the cue file and reading its list.
#include "recording/cue_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "tests/support/temp_dir.h"

namespace {

// Runs the test body with the current folder set to `dir`.
struct InFolder {
  explicit InFolder(const std::string& dir) {
    if (!getcwd(saved, sizeof saved)) saved[0] = '\0';
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InFolder() { EXPECT_EQ(chdir(saved), 0); }
  char saved[PATH_MAX];
};

RunSettings settings_for(const char* name) {
  RunSettings settings{};
  std::strncpy(settings.base_name, name, sizeof settings.base_name - 1);
  return settings;
}

TEST(CueFile, PathIsTheArgumentsNameBesideTheProgram) {
  EXPECT_EQ(cue_file_compose_path("/opt/kestrel", "SET1"), "/opt/kestrel/SET1.CUE");
  EXPECT_EQ(cue_file_compose_path("/opt/kestrel", "LISTS/SET1.TXT"), "/opt/kestrel/SET1.CUE");
  EXPECT_EQ(cue_file_compose_path("/", "/A/B.C/SET1.X.Y"), "/SET1.X.CUE");
  EXPECT_EQ(cue_file_compose_path("", "SET1"), "SET1.CUE");
}

TEST(CueFile, FileNameMatchesWithoutRegardToCase) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("set1.cue"), "x"));
  EXPECT_EQ(find_file_ignoring_case(dir.path(), "SET1.CUE"), dir.file("set1.cue"));
  ASSERT_TRUE(write_file(dir.file("SET1.CUE"), "x"));
  EXPECT_EQ(find_file_ignoring_case(dir.path(), "SET1.CUE"), dir.file("SET1.CUE")) << "the exact name first";
  EXPECT_EQ(find_file_ignoring_case(dir.path(), "SET2.CUE"), "");
  EXPECT_EQ(find_file_ignoring_case(dir.file("missing"), "SET1.CUE"), "");
}

TEST(CueFile, EntriesOfAnyLengthTheSystemAllows) {
  TempDir dir;
  std::string long_path = "/" + std::string(200, 'a') + "/" + std::string(200, 'b') + ".wav";
  std::string too_long = "/" + std::string(PATH_MAX + 10, 'c') + ".wav";
  ASSERT_TRUE(write_file(dir.file("x.cue"), "[FILES]\nFILE_001=" + long_path + "\nFILE_002=\nFILE_003=" +
                                                too_long + "\nfile_004 = b.mp3\nFILE_1000=z.wav\n"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(cue_file_entry(dir.file("x.cue"), 1), long_path);
  EXPECT_EQ(cue_file_entry(dir.file("x.cue"), 2), "");
  EXPECT_EQ(cue_file_entry(dir.file("x.cue"), 3), "");
  EXPECT_EQ(cue_file_entry(dir.file("x.cue"), 4), "b.mp3");
  EXPECT_EQ(cue_file_entry(dir.file("x.cue"), 5), "NONE");
  EXPECT_EQ(cue_file_entry(dir.file("x.cue"), 1000), "z.wav");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "which_file error 0\nFILE_003: file path too long, at most " + std::to_string(PATH_MAX - 1) +
                " characters\n");
}

TEST(CueFile, FoundInTheCurrentFolderWhenNotBesideTheProgram) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("Kestrel_Unit_Set.cue"),
                         "[config]\nstartid=ON\nScms=10\nINTERTRACK_SILENCE=2\n[files]\nFILE_001=one.wav\n"));
  InFolder in(dir.path());
  RunSettings settings = settings_for("SOME/FOLDER/KESTREL_UNIT_SET.TXT");
  std::string path, first;
  RecordingOptions options{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(cue_file_load(&settings, &path, &options, &first), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\nStart IDs will be marked\nSCMS will be set to 10\nAbsolute time will be marked\n"
            "Program numbers will be marked\nTime and date will be marked\nInter-track silence = 2 seconds\n\n");
  EXPECT_EQ(path, "Kestrel_Unit_Set.cue");
  EXPECT_EQ(first, "one.wav");
  EXPECT_EQ(options.scms_code, 2);
  EXPECT_EQ(options.mark_start_ids, 1);
  EXPECT_EQ(options.intertrack_silence_seconds, 2);
}

// Both places looked in are named, each once.
TEST(CueFile, MissingFileNamesThePathsTried) {
  TempDir dir;
  InFolder in(dir.path());
  RunSettings settings = settings_for("NO_SUCH_KESTREL_LIST");
  std::string path, first;
  RecordingOptions options{};
  char program[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", program, sizeof program - 1), 0);
  std::string program_dir(program, std::strrchr(program, '/'));
  testing::internal::CaptureStdout();
  EXPECT_EQ(cue_file_load(&settings, &path, &options, &first), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\nCannot find cue file: neither " + program_dir + "/NO_SUCH_KESTREL_LIST.CUE (beside the program) nor " +
                dir.file("NO_SUCH_KESTREL_LIST.CUE") + " (in the current folder) exists (its name in any case)\n");

  InFolder beside(program_dir);
  testing::internal::CaptureStdout();
  EXPECT_EQ(cue_file_load(&settings, &path, &options, &first), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nCannot find cue file: " + program_dir +
                                                        "/NO_SUCH_KESTREL_LIST.CUE does not exist (its name in any case)\n");
}

}  // namespace
