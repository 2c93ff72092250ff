// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>

#include "mp3lib/sorrel.h"
#include "tests/support/temp_dir.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}
std::string fixture(const char* name) { return std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/" + name; }

struct Scan {
  int32_t found;
  MpegHeaderInfo info;
};
Scan scan(const TempDir& dir, const std::string& content, int32_t limit = 131072) {
  const std::string path = dir.file("probe.mp3");
  write_file(path, content);
  Scan s{0, {-1, -1, -1, -1, -1, -1, -1, -1, -1}};
  s.found = ReadMP3SampleRate(path.c_str(), &s.info, limit);
  return s;
}
std::string fields(const MpegHeaderInfo& i) {
  return std::to_string(i.lsf) + " " + std::to_string(i.layer) + " " + std::to_string(i.crc) + " " +
         std::to_string(i.bitrate_index) + " " + std::to_string(i.bitrate) + " " +
         std::to_string(i.samplerate_index) + " " + std::to_string(i.samplerate) + " " +
         std::to_string(i.mpeg25) + " " + std::to_string(i.channels);
}
const std::string kLayer3 = bytes({0xFF, 0xFB, 0x90, 0x64});   // MPEG-1 L3 128k 44100 joint
const std::string kLayer2 = bytes({0xFF, 0xF5, 0x80, 0x44});   // MPEG-2 L2 index 8, 22050

TEST(ReadMP3SampleRate, DecodesHeaderFields) {
  TempDir dir;
  Scan s = scan(dir, kLayer3 + std::string(100, '\0'));
  ASSERT_EQ(s.found, 1);
  EXPECT_EQ(fields(s.info), "0 3 0 9 128 0 44100 0 2");
  s = scan(dir, kLayer2 + std::string(100, '\0'));
  ASSERT_EQ(s.found, 1);
  // 64 kbit/s: index 8 of the lower-sampling-frequency Layer II table.
  EXPECT_EQ(fields(s.info), "1 2 0 8 64 3 22050 0 2");
  // MPEG-2.5 Layer III, 8000 Hz, mono, with CRC.
  s = scan(dir, bytes({0xFF, 0xE2, 0x18, 0xC0}));
  ASSERT_EQ(s.found, 1);
  EXPECT_EQ(fields(s.info), "1 3 1 1 8 8 8000 1 1");
}

TEST(ReadMP3SampleRate, FixturesReportTheirFormats) {
  MpegHeaderInfo info{};
  ASSERT_EQ(ReadMP3SampleRate(fixture("stereo_44k.mp3").c_str(), &info, 131072), 1);
  EXPECT_EQ(fields(info), "0 3 0 5 64 0 44100 0 2");
  ASSERT_EQ(ReadMP3SampleRate(fixture("mono_22k.mp3").c_str(), &info, 131072), 1);
  EXPECT_EQ(fields(info), "1 3 0 4 32 3 22050 0 1");
  ASSERT_EQ(ReadMP3SampleRate(fixture("stereo_32k.mp2").c_str(), &info, 131072), 1);
  EXPECT_EQ(fields(info), "0 2 0 6 96 2 32000 0 2");
}

TEST(ReadMP3SampleRate, TestsTheWordBehindAnId3Tag) {
  TempDir dir;
  // Size bytes 00 00 02 01: 257 bytes of tag, so the word at 267 is tested
  // first, even past the scan limit; a header inside the tag is never seen.
  std::string tag = bytes({'I', 'D', '3', 3, 0, 0, 0, 0, 2, 1}) + std::string(257, '\0');
  tag.replace(100, 4, kLayer2);
  Scan s = scan(dir, tag + kLayer3, 10);
  ASSERT_EQ(s.found, 1);
  EXPECT_EQ(s.info.layer, 3);
  // Otherwise the scan goes on from offset 271.
  s = scan(dir, tag + std::string(9, '\0') + kLayer3);
  ASSERT_EQ(s.found, 1);
  EXPECT_EQ(s.info.layer, 3);
  // A file that is only a tag has no header.
  EXPECT_EQ(scan(dir, tag).found, 0);
}

TEST(ReadMP3SampleRate, TestsOffset70OfARiffFile) {
  TempDir dir;
  std::string riff = "RIFF" + std::string(66, 'x');
  riff.replace(20, 4, kLayer2);  // inside the container header: never seen
  Scan s = scan(dir, riff + kLayer3, 0);
  ASSERT_EQ(s.found, 1);
  EXPECT_EQ(s.info.layer, 3);
  s = scan(dir, riff + "wxyz" + kLayer3);
  ASSERT_EQ(s.found, 1);
  EXPECT_EQ(s.info.layer, 3);
}

TEST(ReadMP3SampleRate, RejectsFalseSyncs) {
  TempDir dir;
  for (const std::string& word : {bytes({0xFF, 0xFE, 0x90, 0x64}), bytes({0xFF, 0xFF, 0x90, 0x64}),
                                  bytes({0xFF, 0xEF, 0x90, 0x64}), bytes({0xFF, 0xF9, 0x90, 0x64}),
                                  bytes({0xFF, 0xFB, 0xF0, 0x64}), bytes({0xFF, 0xFB, 0x9C, 0x64}),
                                  bytes({0xFF, 0xFB, 0x90, 0x66}), bytes({0xFF, 0xC0, 0x00, 0x00})}) {
    const Scan s = scan(dir, word + std::string(8, '\0'));
    EXPECT_EQ(s.found, 0) << fields(s.info);
    EXPECT_EQ(s.info.layer, -1);
  }
  // The scan moves on byte by byte past a rejected word.
  const Scan s = scan(dir, bytes({0xFF, 0xFF}) + kLayer3);
  ASSERT_EQ(s.found, 1);
  EXPECT_EQ(s.info.bitrate, 128);
}

TEST(ReadMP3SampleRate, LastByteScannedIsAtTheLimit) {
  TempDir dir;
  const int32_t limit = 131072;
  // A header whose last byte stands at the limit is found; one byte later it is not.
  Scan s = scan(dir, std::string(limit - 3, '\0') + kLayer3, limit);
  EXPECT_EQ(s.found, 1);
  s = scan(dir, std::string(limit - 2, '\0') + kLayer3, limit);
  EXPECT_EQ(s.found, 0);
  EXPECT_EQ(s.info.samplerate, -1);
  EXPECT_EQ(scan(dir, bytes({0xFF, 0xFB, 0x90})).found, 0);
  MpegHeaderInfo info{};
  EXPECT_EQ(ReadMP3SampleRate(dir.file("missing.mp3").c_str(), &info, limit), 0);
}

}  // namespace
