// SPDX-License-Identifier: MIT
#include "wavlib/thistle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

std::string le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
std::string le16(uint16_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }

// One chunk, padded to an even length.
std::string chunk(const std::string& id, const std::string& body) {
  std::string out = id + le32(static_cast<uint32_t>(body.size())) + body;
  if (body.size() % 2) out += '\0';
  return out;
}
std::string riff(const std::string& chunks) {
  return "RIFF" + le32(static_cast<uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
}
std::string fmt16(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  return le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
}
// A 40-byte extensible format whose sub-format is the given tag.
std::string extensible(uint16_t sub_tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  return fmt16(0xFFFE, channels, rate, bits) + le16(22) + le16(bits) + le32(3) + le16(sub_tag) +
         std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
}
std::string pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i * 7 + i / 251);
  return out;
}
std::string fixture(const char* name) { return std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/" + name; }

// Reads the whole data chunk through the reader in requests of n bytes.
std::vector<int32_t> read_counts(const std::string& path, uint32_t n, std::string* bytes,
                                 std::string* printed = nullptr) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(init_wav_decode(path.c_str()), 1);
  const std::string said = testing::internal::GetCapturedStdout();
  if (printed) *printed = said;
  std::vector<int32_t> counts;
  std::vector<char> buffer(n);
  for (int i = 0; i < 100; ++i) {
    const int32_t got = do_wav_decode(buffer.data(), n);
    counts.push_back(got);
    bytes->append(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
    if (got <= 0) break;
  }
  EXPECT_EQ(close_wav_decode(), 1);
  return counts;
}

// --- writer: openWavEncode, outputHeaderWavEncode, outputWavEncode, closeWavEncode

TEST(WavWriter, HeaderForCode0IsTheCanonical44Bytes) {
  TempDir dir;
  FILE* out = openWavEncode(dir.file("a.wav").c_str());
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(outputHeaderWavEncode(out, 0, 0), 1);
  EXPECT_EQ(ftell(out), 44);
  ASSERT_EQ(closeWavEncode(out), 0);
  const unsigned char expected[44] = {
      0x52, 0x49, 0x46, 0x46, 0x24, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74,
      0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0xEE,
      0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(read_file(dir.file("a.wav")), std::string(reinterpret_cast<const char*>(expected), 44));
}

TEST(WavWriter, RateFollowsTheSamplingFrequencyCode) {
  TempDir dir;
  const struct { int32_t code; uint32_t rate; } cases[] = {{1, 44100}, {2, 32000}, {3, 48000}, {-1, 48000}};
  for (const auto& c : cases) {
    FILE* out = openWavEncode(dir.file("r.wav").c_str());
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(outputHeaderWavEncode(out, 0, c.code), 1);
    ASSERT_EQ(closeWavEncode(out), 0);
    const std::string bytes = read_file(dir.file("r.wav"));
    EXPECT_EQ(bytes.substr(24, 8), le32(c.rate) + le32(c.rate * 4)) << "code " << c.code;
  }
}

TEST(WavWriter, FinalHeaderPatchesSizesAndResetRewritesFromOffset44) {
  TempDir dir;
  const std::string path = dir.file("t.wav");
  FILE* out = openWavEncode(path.c_str());
  ASSERT_NE(out, nullptr);
  const std::string audio = pattern(1000);
  ASSERT_EQ(outputHeaderWavEncode(out, 0, 1), 1);
  ASSERT_EQ(outputWavEncode(audio.data(), 1000, out), 1000);
  // A header with 0 bytes in the middle starts the audio over.
  ASSERT_EQ(outputHeaderWavEncode(out, 0, 1), 1);
  ASSERT_EQ(outputWavEncode("abcd", 4, out), 4);
  ASSERT_EQ(outputHeaderWavEncode(out, 1000, 1), 1);
  ASSERT_EQ(closeWavEncode(out), 0);
  const std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 1044u);
  EXPECT_EQ(bytes.substr(4, 4), le32(1036));
  EXPECT_EQ(bytes.substr(40, 4), le32(1000));
  EXPECT_EQ(bytes.substr(44, 4), "abcd");
  EXPECT_EQ(bytes.substr(48), audio.substr(4));

  int32_t channels = 0, rate = 0, figure = 0;
  ASSERT_EQ(ReadWAVSampleRate(path.c_str(), &channels, &rate, &figure), 1);
  EXPECT_EQ(rate, 44100);
}

TEST(WavWriter, RiffSizeSaturatesInsteadOfWrapping) {
  TempDir dir;
  FILE* out = openWavEncode(dir.file("big.wav").c_str());
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(outputHeaderWavEncode(out, 0xFFFFFFF0u, 0), 1);
  ASSERT_EQ(closeWavEncode(out), 0);
  const std::string bytes = read_file(dir.file("big.wav"));
  EXPECT_EQ(bytes.substr(4, 4), le32(0xFFFFFFFFu));
  EXPECT_EQ(bytes.substr(40, 4), le32(0xFFFFFFF0u));
}

TEST(WavWriter, FailuresComeBackAsResults) {
  TempDir dir;
  EXPECT_EQ(openWavEncode(dir.file("no/such/folder.wav").c_str()), nullptr);
  EXPECT_EQ(outputHeaderWavEncode(nullptr, 0, 0), 0);
  EXPECT_EQ(outputWavEncode("x", 1, nullptr), 0);
  EXPECT_EQ(closeWavEncode(nullptr), -1);
  FILE* out = openWavEncode(dir.file("n.wav").c_str());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(outputWavEncode("x", -5, out), 0);
  EXPECT_EQ(closeWavEncode(out), 0);
}

// --- reader: init_wav_decode, do_wav_decode, close_wav_decode

TEST(WavReader, HandsOutTheDataChunkInRequestedPieces) {
  TempDir dir;
  const std::string data = pattern(10000);
  // A chunk behind "data" is not handed out.
  write_file(dir.file("a.wav"), riff(chunk("fmt ", fmt16(1, 2, 48000, 16)) + chunk("data", data) +
                                     chunk("LIST", "INFOISFT" + le32(6) + "tools!")));
  std::string bytes;
  EXPECT_EQ(read_counts(dir.file("a.wav"), 5760, &bytes), (std::vector<int32_t>{5760, 4240, 0}));
  EXPECT_EQ(bytes, data);
}

TEST(WavReader, OddSizedChunkBeforeDataIsSkippedWithItsPadByte) {
  TempDir dir;
  const std::string data = pattern(300);
  write_file(dir.file("odd.wav"), riff(chunk("fmt ", fmt16(1, 2, 44100, 16)) + chunk("junk", "abc") +
                                       chunk("data", data)));
  std::string bytes;
  EXPECT_EQ(read_counts(dir.file("odd.wav"), 1000, &bytes), (std::vector<int32_t>{300, 0}));
  EXPECT_EQ(bytes, data);
}

TEST(WavReader, TruncatedDataEndsAtTheFileEnd) {
  TempDir dir;
  std::string file = riff(chunk("fmt ", fmt16(1, 2, 44100, 16)) + chunk("data", pattern(4000)));
  file.resize(file.size() - 1500);
  write_file(dir.file("cut.wav"), file);
  std::string bytes;
  EXPECT_EQ(read_counts(dir.file("cut.wav"), 2000, &bytes), (std::vector<int32_t>{2000, 500, 0}));
  EXPECT_EQ(bytes, pattern(2500));
}

TEST(WavReader, ChunksBeyondTheRiffChunkAreNotSearched) {
  TempDir dir;
  // The RIFF chunk claims only the form type and the format chunk.
  const std::string inside = chunk("fmt ", fmt16(1, 2, 44100, 16));
  write_file(dir.file("short.wav"),
             "RIFF" + le32(static_cast<uint32_t>(4 + inside.size())) + "WAVE" + inside + chunk("data", pattern(64)));
  std::string bytes;
  std::string printed;
  EXPECT_EQ(read_counts(dir.file("short.wav"), 64, &bytes, &printed), (std::vector<int32_t>{0}));
  EXPECT_EQ(printed, "");
}

TEST(WavReader, FilesThatCannotBeReadSayWhyAndDeliverNothing) {
  TempDir dir;
  write_file(dir.file("text.wav"), "this is not a RIFF file at all");
  std::string bytes;
  std::string printed;
  EXPECT_EQ(read_counts(dir.file("text.wav"), 100, &bytes, &printed), (std::vector<int32_t>{0}));
  EXPECT_EQ(printed, "can't find riff\n");
  EXPECT_EQ(read_counts(dir.file("missing.wav"), 100, &bytes, &printed), (std::vector<int32_t>{0}));
  EXPECT_EQ(printed, "error opening file\n");
  // Closing again, or reading with nothing open, is harmless.
  EXPECT_EQ(close_wav_decode(), 1);
  char buffer[16];
  EXPECT_EQ(do_wav_decode(buffer, sizeof buffer), 0);
}

// --- queries: ReadWAVSampleRate, ReadWAVSourceFormat

TEST(ReadWAVSampleRate, ReportsChannelsRateAndBitsTimesRate) {
  int32_t channels = 0, rate = 0, figure = 0;
  ASSERT_EQ(ReadWAVSampleRate(fixture("s16_44k_stereo.wav").c_str(), &channels, &rate, &figure), 1);
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(rate, 44100);
  EXPECT_EQ(figure, 705600);
  // A 40-byte extensible format chunk, read without overrunning the record.
  ASSERT_EQ(ReadWAVSampleRate(fixture("s24_48k_stereo.wav").c_str(), &channels, &rate, &figure), 1);
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(rate, 48000);
  EXPECT_EQ(figure, 24 * 48000);
}

TEST(ReadWAVSampleRate, FailureLeavesTheOutputsUntouched) {
  TempDir dir;
  write_file(dir.file("nofmt.wav"), riff(chunk("data", pattern(16))));
  write_file(dir.file("tiny.wav"), riff(chunk("fmt ", le16(1) + le16(2) + le32(44100))));
  write_file(dir.file("text.wav"), "not RIFF");
  for (const char* name : {"missing.wav", "nofmt.wav", "tiny.wav", "text.wav"}) {
    int32_t channels = -7, rate = -8, figure = -9;
    EXPECT_EQ(ReadWAVSampleRate(dir.file(name).c_str(), &channels, &rate, &figure), 0) << name;
    EXPECT_EQ(channels, -7);
    EXPECT_EQ(rate, -8);
    EXPECT_EQ(figure, -9);
  }
}

TEST(ReadWAVSourceFormat, ResolvesPcmFloatAndExtensible) {
  TempDir dir;
  write_file(dir.file("extfloat.wav"),
             riff(chunk("fmt ", extensible(3, 6, 96000, 32)) + chunk("data", pattern(48))));
  const struct { std::string path; WavSourceFormat expected; } cases[] = {
      {fixture("s16_44k_stereo.wav"), {1, 16, 2, 44100, 8820}},
      {fixture("f32_32k_mono.wav"), {3, 32, 1, 32000, 6400}},
      {fixture("s24_48k_stereo.wav"), {1, 24, 2, 48000, 14400}},
      {dir.file("extfloat.wav"), {3, 32, 6, 96000, 48}},
  };
  for (const auto& c : cases) {
    WavSourceFormat got{};
    ASSERT_EQ(ReadWAVSourceFormat(c.path.c_str(), &got), 1) << c.path;
    EXPECT_EQ(memcmp(&got, &c.expected, sizeof got), 0)
        << c.path << ": " << got.format_tag << " " << got.bits_per_sample << " " << got.channels
        << " " << got.rate << " " << got.data_bytes;
  }
}

TEST(ReadWAVSourceFormat, NeedsFormatAndData) {
  TempDir dir;
  write_file(dir.file("nodata.wav"), riff(chunk("fmt ", fmt16(1, 2, 44100, 16))));
  WavSourceFormat got{7, 7, 7, 7, 7};
  EXPECT_EQ(ReadWAVSourceFormat(dir.file("nodata.wav").c_str(), &got), 0);
  EXPECT_EQ(ReadWAVSourceFormat(dir.file("missing.wav").c_str(), &got), 0);
  EXPECT_EQ(got.format_tag, 7);
  EXPECT_EQ(got.data_bytes, 7u);
}

// --- handles: thistle_open_reader, thistle_create and the rest

TEST(ThistleHandles, SeveralReadersAndWritersInterleaved) {
  TempDir dir;
  const std::string a = pattern(6000), b = pattern(9000).substr(3000);
  ThistleWriter* wa = thistle_create(dir.file("a.wav").c_str(), 48000, nullptr);
  ThistleWriter* wb = thistle_create(dir.file("b.wav").c_str(), 32000, nullptr);
  ASSERT_NE(wa, nullptr);
  ASSERT_NE(wb, nullptr);
  for (size_t at = 0; at < 6000; at += 1500) {
    ASSERT_EQ(thistle_write(wa, a.data() + at, 1500), 1500);
    ASSERT_EQ(thistle_write(wb, b.data() + at, 1500), 1500);
  }
  ThistleFinish done{};
  ASSERT_EQ(thistle_finish(wb, &done), 0);
  EXPECT_EQ(done.data_bytes, 6000u);
  ASSERT_EQ(thistle_finish(wa, nullptr), 0);
  int32_t channels = 0, rate = 0, figure = 0;
  ASSERT_EQ(ReadWAVSampleRate(dir.file("b.wav").c_str(), &channels, &rate, &figure), 1);
  EXPECT_EQ(rate, 32000);

  // Two handles on a, one on b and the default reader on b, read in turn.
  ASSERT_EQ(init_wav_decode(dir.file("b.wav").c_str()), 1);
  const struct { ThistleReader* reader; const std::string* expected; } readers[] = {
      {thistle_open_reader(dir.file("a.wav").c_str(), nullptr), &a},
      {thistle_open_reader(dir.file("b.wav").c_str(), nullptr), &b},
      {thistle_open_reader(dir.file("a.wav").c_str(), nullptr), &a},
      {nullptr, &b},
  };
  std::string got[4];
  char buffer[1000];
  for (int round = 0; round < 7; ++round)
    for (int i = 0; i < 4; ++i) {
      const int32_t n = readers[i].reader ? thistle_read(readers[i].reader, buffer, 1000)
                                          : do_wav_decode(buffer, 1000);
      got[i].append(buffer, static_cast<size_t>(n));
    }
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(got[i] == *readers[i].expected) << "reader " << i;
    thistle_close_reader(readers[i].reader);
  }
  close_wav_decode();
}

// A writer takes a rate in Hz; one a DAT does not record is refused before
// any file is made, and so is a DAT rate code.
TEST(ThistleHandles, WritersTakeTheRatesADatRecords) {
  TempDir dir;
  const struct { int32_t hz; int32_t status; } cases[] = {
      {48000, THISTLE_OK},       {44100, THISTLE_OK},       {32000, THISTLE_OK},
      {96000, THISTLE_BAD_RATE}, {22050, THISTLE_BAD_RATE}, {8000, THISTLE_BAD_RATE},
      {0, THISTLE_BAD_RATE},     {1, THISTLE_BAD_RATE},     {-44100, THISTLE_BAD_RATE},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file(std::to_string(c.hz) + ".wav");
    int32_t status = -1;
    ThistleWriter* writer = thistle_create(path.c_str(), c.hz, &status);
    EXPECT_EQ(status, c.status) << c.hz;
    EXPECT_EQ(writer != nullptr, c.status == THISTLE_OK) << c.hz;
    EXPECT_EQ(thistle_finish(writer, nullptr), c.status == THISTLE_OK ? 0 : -1) << c.hz;
    if (c.status != THISTLE_OK) {
      EXPECT_FALSE(file_exists(path)) << c.hz;
      continue;
    }
    const std::string bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 44u) << c.hz;
    EXPECT_EQ(bytes.substr(24, 8), le32(static_cast<uint32_t>(c.hz)) + le32(static_cast<uint32_t>(c.hz) * 4));
  }
}

// Each status in words; the words name what went wrong, not a number.
TEST(ThistleHandles, StatusTexts) {
  const struct { int32_t status; const char* text; } cases[] = {
      {THISTLE_OK, "success"},
      {THISTLE_CANNOT_OPEN, "the file cannot be opened or created"},
      {THISTLE_NOT_RIFF, "the file is not a RIFF file"},
      {THISTLE_NO_DATA, "the file has no data chunk"},
      {THISTLE_WRITE_FAILED, "the header of the new file cannot be written"},
      {THISTLE_BAD_RATE, "the sampling rate is not one a DAT records (48000, 44100 or 32000 Hz)"},
      {6, "unknown status"},
      {-1, "unknown status"},
      {INT32_MIN, "unknown status"},
  };
  for (const auto& c : cases) EXPECT_STREQ(thistle_status_text(c.status), c.text) << c.status;
}

// The version the build gives the library, whose major is its file name's.
TEST(ThistleHandles, VersionIsTheLibrarys) {
  const std::string version = thistle_version();
  EXPECT_EQ(version, KESTREL_THISTLE_VERSION);
  const std::string major = version.substr(0, version.find('.'));
  EXPECT_TRUE(file_exists(std::string(KESTREL_BUILD_DIR) + "/libthistle.so." + major)) << version;
}

TEST(ThistleHandles, ReadersSayWhyAFileCannotBeRead) {
  TempDir dir;
  write_file(dir.file("text.wav"), "this is not a RIFF file at all");
  write_file(dir.file("nodata.wav"), riff(chunk("fmt ", fmt16(1, 2, 44100, 16))));
  write_file(dir.file("empty.wav"), riff(chunk("fmt ", fmt16(1, 2, 44100, 16)) + chunk("data", "")));
  const struct { const char* name; int32_t status; } cases[] = {
      {"missing.wav", THISTLE_CANNOT_OPEN}, {"text.wav", THISTLE_NOT_RIFF},
      {"nodata.wav", THISTLE_NO_DATA}, {"empty.wav", THISTLE_OK}};
  for (const auto& c : cases) {
    int32_t status = -1;
    testing::internal::CaptureStdout();
    ThistleReader* reader = thistle_open_reader(dir.file(c.name).c_str(), &status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.name;
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(reader != nullptr, c.status == THISTLE_OK) << c.name;
    char buffer[4];
    EXPECT_EQ(thistle_read(reader, buffer, sizeof buffer), 0) << c.name;
    thistle_close_reader(reader);
  }
}

// The file a write failed on, written in a child whose file size is limited:
// its header states exactly the whole sample pairs in it, and nothing lies
// beyond them.
TEST(ThistleHandles, FileAWriteFailedOnIsFinishedWhole) {
  TempDir dir;
  const std::string audio = pattern(64 * 1024);
  enum How { kWriter, kStream };
  const struct { How how; long limit; uint32_t expected; } cases[] = {
      {kWriter, 44 + 10001, 10000},  // the last pair cut
      {kWriter, 44 + 8192, 8192},
      {kStream, 44 + 1001, 1000},    // the stream functions and thistle_finish_stream
      {kWriter, 30, 0},              // not even a header: no file is left
  };
  for (const auto& c : cases) {
    // Appended, not "f" + ...: g++ 12 at -O3 warns about the temporary.
    std::string leaf = std::to_string(c.limit);
    leaf.insert(0, 1, 'f').append(".wav");
    const std::string path = dir.file(leaf);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(c.limit), static_cast<rlim_t>(c.limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      ThistleFinish done{};
      int result = 0;
      if (c.how == kWriter) {
        int32_t status = -1;
        ThistleWriter* writer = thistle_create(path.c_str(), 44100, &status);
        if (writer == nullptr) _exit(status == THISTLE_WRITE_FAILED ? 10 : 11);
        for (size_t at = 0; at < audio.size(); at += 2000)
          if (thistle_write(writer, audio.data() + at, 2000) != 2000) break;
        result = thistle_finish(writer, &done);
      } else {
        // All of it fits stdio's buffer: the failure comes when finishing writes it out.
        FILE* stream = openWavEncode(path.c_str());
        outputHeaderWavEncode(stream, 0, 1);
        const int32_t written = outputWavEncode(audio.data(), 3000, stream);
        result = thistle_finish_stream(stream, static_cast<uint32_t>(written), 1, 0, &done);
        if (!(done.failed & THISTLE_FINISH_FLUSH) || done.flush_errno != EFBIG) _exit(12);
        closeWavEncode(stream);
      }
      _exit(result == -1 && done.data_bytes == c.expected && (done.failed & THISTLE_FINISH_HEADER) == 0 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (c.limit < 44) {
      EXPECT_EQ(WEXITSTATUS(status), 10);
      EXPECT_FALSE(file_exists(path));
      continue;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "limit " << c.limit;
    const std::string bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 44 + c.expected) << "limit " << c.limit;
    EXPECT_EQ(bytes.substr(4, 4), le32(c.expected + 36));
    EXPECT_EQ(bytes.substr(40, 4), le32(c.expected));
    EXPECT_EQ(bytes.substr(24, 4), le32(44100));
    EXPECT_TRUE(bytes.substr(44) == audio.substr(0, c.expected));
  }
}

// A process that ends at once leaves the file with the sizes of the whole
// sample pairs it holds.
TEST(ThistleHandles, SettlingADescriptorStatesTheWholePairsInTheFile) {
  TempDir dir;
  const std::string path = dir.file("s.wav");
  FILE* stream = openWavEncode(path.c_str());
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(outputHeaderWavEncode(stream, 0, 0), 1);
  ASSERT_EQ(outputWavEncode(pattern(1003).data(), 1003, stream), 1003);
  ASSERT_EQ(fflush(stream), 0);
  EXPECT_EQ(thistle_settle_descriptor(fileno(stream)), 0);
  ASSERT_EQ(closeWavEncode(stream), 0);
  const std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), 1044u);
  EXPECT_EQ(bytes.substr(4, 4), le32(1036));
  EXPECT_EQ(bytes.substr(40, 4), le32(1000));
}

// Chunks around the audio: the leading ones keep the audio where it began,
// the trailing ones follow it, and every size agrees with the file, also
// when a process ends at once before the trailing chunks are written.
TEST(ThistleChunks, LeadingAndTrailingChunksAroundTheAudio) {
  TempDir dir;
  const std::string path = dir.file("c.wav");
  const std::string lead = chunk("bext", std::string(11, 'b'));  // odd: a pad byte follows
  ASSERT_EQ(thistle_put_chunk(nullptr, "bext", nullptr, 11), lead.size());
  std::string leading(lead.size(), '\0');
  thistle_put_chunk(leading.data(), "bext", std::string(11, 'b').data(), 11);
  EXPECT_EQ(leading, lead);
  FILE* stream = openWavEncode(path.c_str());
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(thistle_write_header_chunks(stream, leading.data(), 20, 0, 0, 1), 1);
  const uint32_t header = THISTLE_HEADER_BYTES(20);
  ASSERT_EQ(outputWavEncode(pattern(1003).data(), 1003, stream), 1003);
  ASSERT_EQ(fflush(stream), 0);
  // An abrupt end here: the sizes of the whole pairs.
  EXPECT_EQ(thistle_settle_descriptor_at(fileno(stream), header), 0);
  std::string bytes = read_file(path);
  ASSERT_EQ(bytes.size(), header + 1000u);
  EXPECT_EQ(bytes, riff(lead + chunk("fmt ", fmt16(1, 2, 44100, 16)) + chunk("data", pattern(1000))));

  ThistleCue cues[2] = {{0, "program 1"}, {250, "damaged LR"}};
  const uint32_t cue_bytes = thistle_put_cue_chunks(nullptr, cues, 2);
  std::string trailing(cue_bytes, '\0');
  ASSERT_EQ(thistle_put_cue_chunks(trailing.data(), cues, 2), cue_bytes);
  const std::string point0 = le32(1) + le32(0) + "data" + le32(0) + le32(0) + le32(0);
  const std::string point1 = le32(2) + le32(250) + "data" + le32(0) + le32(0) + le32(250);
  EXPECT_EQ(trailing, chunk("cue ", le32(2) + point0 + point1) +
                          chunk("LIST", "adtl" + chunk("labl", le32(1) + std::string("program 1", 10)) +
                                            chunk("labl", le32(2) + std::string("damaged LR", 11))));
  ThistleFinish settled{};
  ASSERT_EQ(thistle_settle_stream(stream, header, 1003, 0, &settled), 0);
  EXPECT_EQ(settled.data_bytes, 1000u);
  ThistleFinish ended{};
  ASSERT_EQ(thistle_end_stream_chunks(stream, leading.data(), 20, settled.data_bytes, trailing.data(), cue_bytes, 1,
                                      &ended),
            0);
  ASSERT_EQ(closeWavEncode(stream), 0);
  EXPECT_EQ(read_file(path),
            riff(lead + chunk("fmt ", fmt16(1, 2, 44100, 16)) + chunk("data", pattern(1000)) + trailing));
}

}  // namespace
