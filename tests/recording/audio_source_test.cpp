// SPDX-License-Identifier: MIT
// The recorder's sources: classes by extension, the main-ID codes a probe
// sets, and the PCM that reading delivers.
#include "recording/audio_source.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "recording/recorder.h"
#include "tests/support/e2e/audio_files.h"
#include "tests/support/temp_dir.h"

namespace {

// The recorder whose source the tests probe and read, as the recording does.
Recorder g_recorder;

std::string fixture(const char* name) { return std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/" + name; }

// Probes a file; what was printed.
std::string probe(const std::string& path) {
  testing::internal::CaptureStdout();
  audio_source_probe(&g_recorder.source, &g_recorder.frame, path.c_str());
  return testing::internal::GetCapturedStdout();
}

uint8_t codes(void) { return g_recorder.frame.main_id_format & 0x0F; }

// Everything the source delivers in reads of n bytes.
std::string read_all(const std::string& path, uint32_t n) {
  std::string out;
  testing::internal::CaptureStdout();
  EXPECT_NE(audio_source_open(&g_recorder.source, &g_recorder.frame, path.c_str()), 0) << path;
  std::vector<uint8_t> buffer(n + 10000);
  for (;;) {
    int32_t got = audio_source_read(&g_recorder.source, buffer.data(), n);
    out.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(got));
    if (static_cast<uint32_t>(got) < n) break;
  }
  audio_source_close(&g_recorder.source);
  testing::internal::GetCapturedStdout();
  return out;
}

TEST(Source, ExtensionsChooseTheModule) {
  struct Case {
    const char* name;
    const char* extension;
  } cases[] = {{"track.mp3", "MP3"}, {"TRACK.MP2", "MP2"}, {"a.mpa", "MPA"},   {"x.wav", "WAV"},
               {"x.WAVE", "WAV"},    {"x.mpeg", "MPE"},   {"/a.v1/track", "V1/"}, {".wav", ""}, {"noext", ""}};
  for (const Case& c : cases) {
    probe(c.name);  // none of them exists
    EXPECT_STREQ(g_recorder.source.format.extension, c.extension) << c.name;
  }
  // A file of no known class does not open.
  probe("notes.txt");
  EXPECT_EQ(audio_source_open(&g_recorder.source, &g_recorder.frame, "notes.txt"), 0);
  audio_source_close(&g_recorder.source);
}

TEST(Source, ProbesSetTheRateAndChannelCodes) {
  TempDir dir;
  write_wav_file(dir.file("a.wav"), 1, 2, 44100, 16, std::string(400, '\0'));
  EXPECT_EQ(probe(dir.file("a.wav")), "");
  EXPECT_EQ(codes(), 0x4);
  EXPECT_EQ(g_recorder.source.format.bitrate_figure, 44100 * 16);

  write_wav_file(dir.file("b.wav"), 1, 1, 32000, 16, std::string(400, '\0'));
  EXPECT_EQ(probe(dir.file("b.wav")), "converting 16-bit mono at 32000 Hz to 16-bit stereo at 32000 Hz\n");
  EXPECT_EQ(codes(), 0x8) << "mono is recorded as two channels";
  EXPECT_EQ(g_recorder.source.format.channels, 1);

  EXPECT_EQ(probe(fixture("stereo_44k.mp3")), "");
  EXPECT_EQ(codes(), 0x4);
  EXPECT_EQ(g_recorder.source.format.bitrate_figure, 64000);

  write_wav_file(dir.file("c.wav"), 3, 6, 96000, 32, std::string(48, '\0'));
  // A rate the recorder converts: what is done, and nothing more.
  EXPECT_EQ(probe(dir.file("c.wav")), "converting 32-bit float 6-channel at 96000 Hz to 16-bit stereo at 48000 Hz\n");
  EXPECT_EQ(codes(), 0x0);
  EXPECT_EQ(probe(fixture("mono_22k.mp3")), "converting 16-bit mono at 22050 Hz to 16-bit stereo at 44100 Hz\n");
  EXPECT_EQ(codes(), 0x4);
  // Opening an MPEG file probes it again, silently.
  testing::internal::CaptureStdout();
  EXPECT_NE(audio_source_open(&g_recorder.source, &g_recorder.frame, fixture("mono_22k.mp3").c_str()), 0);
  audio_source_close(&g_recorder.source);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  // The probe for the format alone says nothing, and sets the codes all the same.
  testing::internal::CaptureStdout();
  audio_source_probe_format(&g_recorder.source, &g_recorder.frame, dir.file("c.wav").c_str());
  audio_source_probe_format(&g_recorder.source, &g_recorder.frame, dir.file("missing.mp3").c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(codes(), 0x0);
  EXPECT_EQ(probe(dir.file("c.wav")), "converting 32-bit float 6-channel at 96000 Hz to 16-bit stereo at 48000 Hz\n");

  // A failed probe leaves what the last one set.
  EXPECT_EQ(probe(dir.file("missing.wav")), "");
  EXPECT_EQ(probe(dir.file("missing.mp3")), "cannot analyze file " + dir.file("missing.mp3") + "\n");
  EXPECT_EQ(codes(), 0x0);
  EXPECT_EQ(g_recorder.source.format.rate, 96000);

  // Samples that cannot be converted are refused.
  write_wav_file(dir.file("adpcm.wav"), 2, 2, 44100, 4, std::string(64, '\0'));
  EXPECT_EQ(probe(dir.file("adpcm.wav")),
            "not supported file type\n4-bit format 2 stereo at 44100 Hz cannot be converted for recording\n");
  EXPECT_EQ(codes(), 0x0);
  EXPECT_EQ(audio_source_open(&g_recorder.source, &g_recorder.frame, dir.file("adpcm.wav").c_str()), 0);
  audio_source_close(&g_recorder.source);
}

// Files that are no source are said to be so and do not open: the track is
// skipped as one that cannot be opened, without a false "converting" line.
TEST(Source, FilesThatAreNoSourceAreRefused) {
  TempDir dir;
  struct Case {
    std::string name;
    std::string said;  // after the path
  } cases[] = {
      {"renamed.mp3", "cannot analyze file "},  // a WAV file
      {"noise.mp3", "cannot analyze file "},
      {"fifo.mp3", "cannot analyze file "},
      {"fifo.wav", "cannot analyze file "},
      {"empty.wav", ""},
  };
  ASSERT_TRUE(write_file(dir.file("renamed.mp3"), read_file(fixture("s16_44k_stereo.wav"))));
  std::string noise(200000, '\0');
  uint32_t x = 7;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  ASSERT_TRUE(write_file(dir.file("noise.mp3"), noise));
  ASSERT_EQ(mkfifo(dir.file("fifo.mp3").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
  write_wav_file(dir.file("empty.wav"), 1, 2, 48000, 16, "");
  for (const Case& c : cases) {
    const std::string path = dir.file(c.name);
    std::string said = probe(path);
    if (c.said.empty())
      EXPECT_EQ(said, path + " holds no audio: its data chunk is empty\n");
    else
      EXPECT_EQ(said, c.said + path + "\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(audio_source_open(&g_recorder.source, &g_recorder.frame, path.c_str()), 0) << c.name;
    audio_source_close(&g_recorder.source);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.name;
  }

  // A rate field is unsigned: an absurd one is shown as it stands.
  write_wav_file(dir.file("absurd.wav"), 1, 2, static_cast<int>(4000000000u), 16, std::string(400, '\0'));
  EXPECT_NE(probe(dir.file("absurd.wav")).find("stereo at 4000000000 Hz cannot be converted"), std::string::npos);
}

// A probe that fails tells nothing about the file: the last file's conversion
// or refusal must not be applied to it; its bytes go through as they come.
TEST(Source, AFailedProbeTakesNothingFromTheFileBefore) {
  TempDir dir;
  // After a refused file, a missing WAV opens as the WAV module opens it: its
  // message, and nothing to read.
  write_wav_file(dir.file("adpcm.wav"), 2, 2, 44100, 4, std::string(64, '\0'));
  probe(dir.file("adpcm.wav"));
  EXPECT_EQ(probe(dir.file("missing.wav")), "");
  testing::internal::CaptureStdout();
  int opened = audio_source_open(&g_recorder.source, &g_recorder.frame, dir.file("missing.wav").c_str());
  std::vector<uint8_t> buffer(5760 + 10000);
  int32_t delivered = opened ? audio_source_read(&g_recorder.source, buffer.data(), 5760) : -1;
  audio_source_close(&g_recorder.source);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error opening file\n");
  EXPECT_NE(opened, 0);
  EXPECT_EQ(delivered, 0);

  // After a 24-bit file, a WAV whose format cannot be read (no format chunk)
  // delivers its data as it stands, not taken for 24-bit samples.
  write_wav_file(dir.file("wide.wav"), 1, 2, 48000, 24, std::string(600, '\1'));
  probe(dir.file("wide.wav"));
  std::string data = pcm16_bytes(test_pattern(3000, 2, 4));
  std::string riff = "RIFF";
  uint32_t sizes[2] = {static_cast<uint32_t>(12 + data.size()), static_cast<uint32_t>(data.size())};
  riff.append(reinterpret_cast<const char*>(&sizes[0]), 4);
  riff += "WAVEdata";
  riff.append(reinterpret_cast<const char*>(&sizes[1]), 4);
  riff += data;
  ASSERT_TRUE(write_file(dir.file("nofmt.wav"), riff));
  EXPECT_EQ(probe(dir.file("nofmt.wav")), "");
  std::string got = read_all(dir.file("nofmt.wav"), 5760);
  EXPECT_TRUE(got == data) << got.size() << " bytes read, " << data.size() << " in the file";

  // After a 24-bit file, an MPEG file whose first header lies beyond the
  // scan is taken at the format its decoder finds, and decodes to what the
  // same stream gives on its own.
  probe(fixture("stereo_44k.mp3"));
  std::string clean = read_all(fixture("stereo_44k.mp3"), 5292);
  ASSERT_GT(clean.size(), 44100u * 4);
  ASSERT_TRUE(write_file(dir.file("late.mp3"), std::string(200000, '\0') + read_file(fixture("stereo_44k.mp3"))));
  probe(dir.file("wide.wav"));
  EXPECT_EQ(probe(dir.file("late.mp3")), "");
  EXPECT_EQ(codes(), 0x4);
  got = read_all(dir.file("late.mp3"), 5292);
  EXPECT_TRUE(got == clean) << got.size() << " bytes read, " << clean.size() << " from the stream alone";
}

TEST(Source, SixteenBitStereoAtADatRatePassesUntouched) {
  TempDir dir;
  std::string pcm = pcm16_bytes(test_pattern(5000, 2, 9));
  write_wav_file(dir.file("a.wav"), 1, 2, 48000, 16, pcm);
  probe(dir.file("a.wav"));
  EXPECT_EQ(read_all(dir.file("a.wav"), 5760), pcm);

  // A mono MPEG file at 22050 Hz comes out as stereo at 44100 Hz.
  probe(fixture("mono_22k.mp3"));
  EXPECT_EQ(codes(), 0x4);
  std::string out = read_all(fixture("mono_22k.mp3"), 5292);
  std::vector<int16_t> samples = pcm16_samples(out);
  ASSERT_GT(samples.size(), 44100u * 2 * 3 / 2) << "about two seconds";
  for (size_t i = 0; i < samples.size(); i += 2) ASSERT_EQ(samples[i], samples[i + 1]);
}

}  // namespace
