// SPDX-License-Identifier: MIT
// Recorded with /GOSHAWK, read back with /KESTREL /STARTID: what comes back
// is the source, sample for sample, each track in its own file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datframe/dat_frame.h"
#include "tests/support/e2e/audio_files.h"
#include "tests/support/e2e/recording.h"
#include "tests/support/e2e/tape.h"

namespace {

// Ten seconds of silence after each track, and neighbours at different
// rates: every file then holds at least 300 frames when the next track's
// rate comes, so the reader splits there. (A start ID does not split short
// tracks: their silence carries the start ID on into the next track's.)
const std::string kConfig = "[CONFIG]\nINTERTRACK_SILENCE=10\nTIME_DATE=OFF\n";

// TAPEnnn.wav of the read-back.
WavFile read_back(const RecordingFolder& folder, int n) {
  char name[32];
  std::snprintf(name, sizeof name, "TAPE%.3d.wav", n);
  return read_wav(folder.file(name));
}

bool all_zero(const std::string& s, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (s[i]) return false;
  return true;
}

// The read-back holds `source` once, whole, with nothing but silence around it.
void expect_holds_exactly(const std::string& data, const std::string& source, const std::string& what) {
  size_t at = data.find(source);
  ASSERT_NE(at, std::string::npos) << what << ": the source is not there whole";
  EXPECT_EQ(at % 4, 0u) << what;
  EXPECT_TRUE(all_zero(data, 0, at)) << what << ": something before it";
  EXPECT_TRUE(all_zero(data, at + source.size(), data.size())) << what << ": something after it";
}

// The samples of one channel between the first and last non-zero stereo pair.
std::vector<double> sounding(const std::string& data, int channel) {
  std::vector<int16_t> s = pcm16_samples(data);
  size_t first = 0, last = s.size();
  while (first < s.size() && !s[first]) ++first;
  while (last > first && !s[last - 1]) --last;
  std::vector<double> out;
  for (size_t i = first / 2 * 2 + static_cast<size_t>(channel); i < last; i += 2) out.push_back(s[i] / 32768.0);
  return out;
}

ProcessResult record_and_read_back(const RecordingFolder& folder, const std::string& cue) {
  folder.write_cue("SET", cue);
  ProcessResult r = folder.record("SET");
  EXPECT_EQ(r.exit_code, 0) << r.out;
  ProcessResult back = folder.extract("TAPE");
  EXPECT_EQ(back.exit_code, 0) << back.out;
  return back;
}

TEST(RecordRoundTrip, WavAtTheThreeDatRatesComesBackExactly) {
  RecordingFolder folder;
  const int rates[] = {48000, 44100, 32000};
  std::string cue = kConfig + "32KHZ_LP=OFF\n[FILES]\n";
  std::vector<std::string> sources;
  for (int i = 0; i < 3; ++i) {
    // An odd length: the last frame of each track is short.
    sources.push_back(pcm16_bytes(test_pattern(static_cast<size_t>(rates[i]) * 3 + 77, 2, 20 + i)));
    // Appended rather than "r" + ...: g++ 12 at -O3 warns (-Wrestrict) about the latter.
    std::string name = std::string("r").append(std::to_string(rates[i])).append(".wav");
    write_wav_file(folder.file(name), 1, 2, rates[i], 16, sources.back());
    cue.append("FILE_00").append(std::to_string(i + 1)).append("=").append(name).append("\n");
  }
  record_and_read_back(folder, cue);
  for (int i = 0; i < 3; ++i) {
    WavFile t = read_back(folder, i + 1);
    EXPECT_TRUE(t.valid);
    EXPECT_EQ(t.rate, static_cast<uint32_t>(rates[i]));
    expect_holds_exactly(t.data, sources[i], "track " + std::to_string(i + 1));
  }
  EXPECT_FALSE(file_exists(folder.file("TAPE004.wav")));
}

TEST(RecordRoundTrip, MpegAudioComesBackAsLibmpg123DecodesIt) {
  RecordingFolder folder;
  const std::string mp3 = std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/stereo_44k.mp3";
  ProcessResult decoded = run_process("/usr/bin/mpg123", {"-q", "-s", mp3});
  ASSERT_EQ(decoded.exit_code, 0);
  ASSERT_GT(decoded.out.size(), 44100u * 4);
  record_and_read_back(folder, kConfig + "[FILES]\nFILE_001=" + mp3 + "\n");
  WavFile t = read_back(folder, 1);
  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.rate, 44100u);
  expect_holds_exactly(t.data, decoded.out, "MP3");
}

// A two-second 44.1 kHz track (a jingle, a station ID) before a 48 kHz one:
// the rate changes before the reader's file holds 300 frames, and the short
// track still comes back, in a file of its own.
TEST(RecordRoundTrip, ShortTrackBeforeARateChangeComesBack) {
  RecordingFolder folder;
  std::string jingle = pcm16_bytes(test_pattern(44100 * 2, 2, 41));
  std::string song = pcm16_bytes(test_pattern(48000 * 4, 2, 42));
  write_wav_file(folder.file("jingle.wav"), 1, 2, 44100, 16, jingle);
  write_wav_file(folder.file("song.wav"), 1, 2, 48000, 16, song);
  record_and_read_back(folder, "[CONFIG]\nINTERTRACK_SILENCE=1\nTIME_DATE=OFF\n[FILES]\n"
                               "FILE_001=jingle.wav\nFILE_002=song.wav\n");
  WavFile one = read_back(folder, 1), two = read_back(folder, 2);
  ASSERT_TRUE(one.valid && two.valid);
  EXPECT_EQ(one.rate, 44100u);
  expect_holds_exactly(one.data, jingle, "the 44.1 kHz track");
  EXPECT_EQ(two.rate, 48000u);
  EXPECT_NE(two.data.find(song), std::string::npos) << "the 48 kHz track";
}

// An ID3v2 tag (of a second tagger) in front of one whose picture is
// compressed data: the header scan skips only the first tag and meets words
// in the picture that look like frame headers of other rates.
TEST(RecordRoundTrip, MpegAudioBehindTwoTagsIsRecordedAtTheRateOfItsStream) {
  RecordingFolder folder;
  const std::string mp3 = std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/stereo_44k.mp3";
  ProcessResult decoded = run_process("/usr/bin/mpg123", {"-q", "-s", mp3});
  ASSERT_EQ(decoded.exit_code, 0);
  auto tag = [](const std::string& frame) {
    uint32_t n = static_cast<uint32_t>(frame.size());
    std::string t = "ID3\x03\x00\x00";
    t.resize(6);
    for (int shift : {21, 14, 7, 0}) t += static_cast<char>((n >> shift) & 0x7F);
    return t + frame;
  };
  auto frame = [](const char* id, const std::string& body) {
    uint32_t n = static_cast<uint32_t>(body.size());
    std::string f = id;
    for (int shift : {24, 16, 8, 0}) f += static_cast<char>((n >> shift) & 0xFF);
    return f + std::string(2, '\0') + body;
  };
  std::string picture = "\x89PNG";
  uint32_t x = 12345;
  for (int i = 0; i < 100000; ++i) {
    x = x * 1103515245u + 12345u;
    picture += static_cast<char>(x >> 23);
  }
  std::string file = tag(frame("TIT2", std::string(1, '\0') + "Take 2")) +
                     tag(frame("APIC", std::string("\0image/png\0\x03\0", 14) + picture)) + read_file(mp3);
  ASSERT_TRUE(write_file(folder.file("retagged.mp3"), file));
  ASSERT_EQ(run_process("/usr/bin/mpg123", {"-q", "-s", folder.file("retagged.mp3")}).out, decoded.out);

  record_and_read_back(folder, kConfig + "[FILES]\nFILE_001=retagged.mp3\n");
  WavFile t = read_back(folder, 1);
  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.rate, 44100u);
  expect_holds_exactly(t.data, decoded.out, "MP3 behind two tags");
}

TEST(RecordRoundTrip, LongPlayGivesBackTheCompandedSamples) {
  RecordingFolder folder;
  std::vector<int16_t> source = test_pattern(32000 * 3 + 5, 2, 31);
  // Full-scale corners of the curve as well.
  for (int16_t v : {32767, -32768, 0, -1, 512, -513}) source.push_back(v);
  if (source.size() % 2) source.push_back(0);
  write_wav_file(folder.file("lp.wav"), 1, 2, 32000, 16, pcm16_bytes(source));
  ProcessResult back = record_and_read_back(folder, kConfig + "[FILES]\nFILE_001=lp.wav\n");
  std::vector<int16_t> companded;
  for (int16_t v : source) companded.push_back(static_cast<int16_t>(lp_expand(lp_compress(static_cast<uint16_t>(v)))));
  WavFile t = read_back(folder, 1);
  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.rate, 32000u);
  expect_holds_exactly(t.data, pcm16_bytes(companded), "long play");
}

TEST(RecordRoundTrip, OtherFormatsAreConverted) {
  RecordingFolder folder;
  // 1: a 96 kHz 24-bit mono sine; 2: 32-bit float stereo at 44.1 kHz with
  // overs; 3: 8-bit mono at 48 kHz; 4: a 22.05 kHz 16-bit stereo sine.
  std::vector<double> sine96 = sine_wave(96000 * 3, 96000, 997, 0.9);
  write_wav_file(folder.file("s96.wav"), 1, 1, 96000, 24, encode_s24(sine96));
  std::string eight;
  for (int i = 0; i < 48000 * 2; ++i) eight += static_cast<char>((i * 7 + i / 300) % 256);
  write_wav_file(folder.file("u8.wav"), 1, 1, 48000, 8, eight);
  std::vector<double> floats = sine_wave(44100 * 2 * 2, 44100, 441, 1.3);  // interleaved, half of it over full scale
  write_wav_file(folder.file("f32.wav"), 3, 2, 44100, 32, encode_f32(floats));
  std::vector<double> sine22 = sine_wave(22050 * 3, 22050, 1001, 0.9);
  std::vector<int16_t> s22;
  for (double v : sine22) {
    s22.push_back(static_cast<int16_t>(std::lround(v * 32767)));
    s22.push_back(static_cast<int16_t>(std::lround(-v * 32767)));
  }
  write_wav_file(folder.file("s22.wav"), 1, 2, 22050, 16, pcm16_bytes(s22));

  folder.write_cue("SET", kConfig + "[FILES]\nFILE_001=s96.wav\nFILE_002=f32.wav\nFILE_003=u8.wav\nFILE_004=s22.wav\n");
  ProcessResult r = folder.record("SET");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("File: s96.wav\nconverting 24-bit mono at 96000 Hz to 16-bit stereo at 48000 Hz\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("File: u8.wav\nconverting 8-bit mono at 48000 Hz to 16-bit stereo at 48000 Hz\n"),
            std::string::npos);
  ProcessResult back = folder.extract("TAPE");
  ASSERT_EQ(back.exit_code, 0) << back.out;

  WavFile t = read_back(folder, 1);

  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.rate, 48000u);
  std::vector<double> left = sounding(t.data, 0);
  EXPECT_NEAR(static_cast<double>(left.size()), 48000 * 3, 48000 * 0.1);
  EXPECT_EQ(sounding(t.data, 1), left) << "both channels the same";
  ASSERT_GT(left.size(), 10000u);
  std::vector<double> middle(left.begin() + 2000, left.end() - 2000);
  EXPECT_GE(sinad_db(middle, 48000, 997), 90.0);

  t = read_back(folder, 2);

  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.rate, 44100u);
  // A later track's file begins with the track's first frame.
  std::vector<int16_t> got = pcm16_samples(t.data);
  ASSERT_GE(got.size(), floats.size());
  for (size_t i = 0; i < floats.size(); ++i)
    ASSERT_LE(std::fabs(got[i] - std::clamp(floats[i] * 32768, -32768.0, 32767.0)), 1.5) << i;

  t = read_back(folder, 3);

  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.rate, 48000u);
  std::vector<int16_t> want;
  for (char c : eight) {
    int16_t v = static_cast<int16_t>((static_cast<uint8_t>(c) - 128) * 256);
    want.push_back(v);
    want.push_back(v);
  }
  expect_holds_exactly(t.data, pcm16_bytes(want), "8-bit");

  t = read_back(folder, 4);

  EXPECT_TRUE(t.valid);
  EXPECT_EQ(t.rate, 44100u);
  left = sounding(t.data, 0);
  EXPECT_NEAR(static_cast<double>(left.size()), 44100 * 3, 44100 * 0.1);
  middle.assign(left.begin() + 2000, left.end() - 2000);
  EXPECT_GE(sinad_db(middle, 44100, 1001), 85.0);
}

}  // namespace

TEST(RecordRoundTrip, PreEmphasisedSourcesAreMarkedAndReadBackAsSuch) {
  RecordingFolder folder;
  std::string source = pcm16_bytes(test_pattern(48000 * 3, 2, 41));
  write_wav_file(folder.file("e.wav"), 1, 2, 48000, 16, source);
  folder.write_cue("SET", kConfig + "EMPHASIS=ON\n[FILES]\nFILE_001=e.wav\n");
  ProcessResult r = folder.record("SET");
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("Pre-emphasis (50/15 us) will be marked\n"), std::string::npos) << r.out;
  // The main ID of every frame of the program says 50/15 us; the lead-in's does not.
  int marked = 0;
  for (const DatFrame& f : folder.tape()) {
    bool in_program = (f.sid_pno1 >> 4) == 0 && f.sid_pno23 == 0x01;
    if (in_program && (f.main_id_format >> 4 & 3) == 1) ++marked;
    if ((f.sid_pno1 >> 4) == 0 && f.sid_pno23 == 0xBB) {
      EXPECT_EQ(f.main_id_format >> 4 & 3, 0);
    }
  }
  EXPECT_GE(marked, 100);
  ProcessResult back = folder.extract("TAPE");
  EXPECT_NE(back.out.find(" - the audio is pre-emphasised (50/15 us): written as recorded\n"), std::string::npos)
      << back.out;
  expect_holds_exactly(read_back(folder, 1).data, source, "pre-emphasised");
}
