// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <mpg123.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "mp3lib/sorrel.h"
#include "tests/support/temp_dir.h"

namespace {

std::string fixture(const char* name) { return std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/" + name; }

struct Pcm {
  std::string bytes;
  long rate = 0;
  int channels = 0;
};

// The whole file decoded by libmpg123 in one go, as 16-bit samples.
Pcm reference(const std::string& path) {
  Pcm pcm;
  mpg123_handle* handle = mpg123_new(nullptr, nullptr);
  EXPECT_NE(handle, nullptr);
  if (handle == nullptr) return pcm;
  const long* rates = nullptr;
  size_t count = 0;
  mpg123_rates(&rates, &count);
  mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  mpg123_format_none(handle);
  for (size_t i = 0; i < count; ++i)
    mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  EXPECT_EQ(mpg123_open(handle, path.c_str()), MPG123_OK);
  std::vector<unsigned char> buffer(65536);
  for (;;) {
    size_t done = 0;
    const int code = mpg123_read(handle, buffer.data(), buffer.size(), &done);
    pcm.bytes.append(reinterpret_cast<const char*>(buffer.data()), done);
    if (code == MPG123_NEW_FORMAT) {
      int encoding = 0;
      mpg123_getformat(handle, &pcm.rate, &pcm.channels, &encoding);
      continue;
    }
    if (code != MPG123_OK) break;
  }
  mpg123_delete(handle);
  return pcm;
}

struct Decoded {
  std::string bytes;
  std::vector<int32_t> counts;
};

// Decodes a file through sorrel in requests of n bytes, until a short call
// and one call after it.
Decoded decode(const std::string& path, uint32_t n, int32_t chunk = 10000) {
  Decoded out;
  EXPECT_EQ(init_mp3_decode(path.c_str(), chunk, 2, 44100, 128000), 1);
  // The caller's buffer contract: n + chunk - 1 bytes.
  std::vector<char> buffer(n + static_cast<uint32_t>(chunk) - 1);
  for (int calls = 0; calls < 100000; ++calls) {
    const int32_t got = do_mp3_decode(buffer.data(), n);
    out.counts.push_back(got);
    out.bytes.append(buffer.data(), static_cast<size_t>(got));
    if (got < static_cast<int32_t>(n)) break;
  }
  out.counts.push_back(do_mp3_decode(buffer.data(), n));
  EXPECT_EQ(close_mp3_decode(), 1);
  return out;
}

// Every call but the last two gives n; the last with audio is short; the one after, 0.
void expect_counts(const Decoded& d, uint32_t n) {
  ASSERT_GE(d.counts.size(), 3u);
  for (size_t i = 0; i + 2 < d.counts.size(); ++i) ASSERT_EQ(d.counts[i], static_cast<int32_t>(n)) << i;
  EXPECT_LT(d.counts[d.counts.size() - 2], static_cast<int32_t>(n));
  EXPECT_EQ(d.counts.back(), 0);
}

TEST(Mp3Decoder, GivesExactlyWhatLibmpg123GivesInOneGo) {
  const Pcm whole = reference(fixture("stereo_44k.mp3"));
  ASSERT_EQ(whole.rate, 44100);
  ASSERT_EQ(whole.channels, 2);
  ASSERT_GT(whole.bytes.size(), 300000u);
  for (const auto& [n, chunk] : {std::pair{5760u, 10000}, {7680u, 10000}, {20000u, 1152}}) {
    const Decoded d = decode(fixture("stereo_44k.mp3"), n, chunk);
    expect_counts(d, n);
    EXPECT_TRUE(d.bytes == whole.bytes) << "n " << n << ": " << d.bytes.size() << " bytes, expected "
                                        << whole.bytes.size();
  }
}

TEST(Mp3Decoder, LayerTwoAndMonoDecodeAtTheirOwnFormat) {
  for (const char* name : {"stereo_32k.mp2", "mono_22k.mp3"}) {
    const Pcm whole = reference(fixture(name));
    const Decoded d = decode(fixture(name), 5760);
    expect_counts(d, 5760);
    EXPECT_TRUE(d.bytes == whole.bytes) << name;
    // Two seconds, at the file's own rate and channel count.
    EXPECT_NEAR(static_cast<double>(d.bytes.size()), 2.0 * whole.rate * whole.channels * 2, whole.rate * 0.2) << name;
  }
  EXPECT_EQ(reference(fixture("mono_22k.mp3")).channels, 1);
}

TEST(Mp3Decoder, LayerOneDecodes) {
  TempDir dir;
  // MPEG-2 Layer I, 32 kbit/s, 24000 Hz, mono: 64-byte frames of silence
  // (no bit allocation), 384 samples each.
  std::string frames;
  for (int i = 0; i < 40; ++i) frames += std::string("\xFF\xF7\x14\xC0", 4) + std::string(60, '\0');
  write_file(dir.file("l1.mp1"), frames);
  MpegHeaderInfo info{};
  ASSERT_EQ(ReadMP3SampleRate(dir.file("l1.mp1").c_str(), &info, 131072), 1);
  EXPECT_EQ(info.layer, 1);
  EXPECT_EQ(info.samplerate, 24000);
  const Pcm whole = reference(dir.file("l1.mp1"));
  EXPECT_EQ(whole.channels, 1);
  const Decoded d = decode(dir.file("l1.mp1"), 5760);
  EXPECT_GE(d.bytes.size(), 30u * 384 * 2);
  EXPECT_TRUE(d.bytes == whole.bytes);
  EXPECT_EQ(d.bytes.find_first_not_of('\0'), std::string::npos);
}

TEST(Mp3Decoder, SkipsTagsAndContainerHeaders) {
  TempDir dir;
  const std::string mp3 = read_file(fixture("mono_22k.mp3"));
  // MPEG data in a RIFF container: "fmt " (30 bytes), "fact" and "data"
  // chunks, so that the audio starts at offset 70.
  const auto le32 = [](size_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  const std::string wrapped = "RIFF" + le32(62 + mp3.size()) + "WAVEfmt " + le32(30) +
                              std::string("\x55\0\x01\0\x22\x56\0\0\xa0\x0f\0\0\x01\0\0\0\x0c\0", 18) +
                              std::string(12, '\x01') + "fact" + le32(4) + le32(44100) + "data" +
                              le32(mp3.size()) + mp3;
  ASSERT_EQ(wrapped.size(), 70 + mp3.size());
  write_file(dir.file("wrapped.mp3"), wrapped);
  const Decoded d = decode(dir.file("wrapped.mp3"), 5760);
  EXPECT_TRUE(d.bytes == reference(fixture("mono_22k.mp3")).bytes);
  // A file that is only an ID3 tag decodes to nothing.
  write_file(dir.file("tag.mp3"), std::string("ID3\x03\0\0\0\0\x01\x00", 10) + std::string(128, 'T'));
  EXPECT_EQ(decode(dir.file("tag.mp3"), 5760).counts, (std::vector<int32_t>{0, 0}));
}

TEST(Mp3Decoder, DamagedFilesEndEarlyWithoutHarm) {
  TempDir dir;
  const std::string mp3 = read_file(fixture("stereo_44k.mp3"));
  const std::string whole = reference(fixture("stereo_44k.mp3")).bytes;
  write_file(dir.file("cut.mp3"), mp3.substr(0, mp3.size() / 2));
  Decoded d = decode(dir.file("cut.mp3"), 5760);
  expect_counts(d, 5760);
  EXPECT_LT(d.bytes.size(), whole.size() * 3 / 4);
  EXPECT_GT(d.bytes.size(), whole.size() / 4);
  EXPECT_EQ(d.bytes.substr(0, whole.size() / 4), whole.substr(0, whole.size() / 4));

  std::string corrupt = mp3;
  uint32_t x = 12345;
  for (size_t i = corrupt.size() / 3; i < corrupt.size() / 3 + 3000; ++i) {
    x = x * 1103515245u + 12345u;
    corrupt[i] = static_cast<char>(x >> 24);
  }
  write_file(dir.file("corrupt.mp3"), corrupt);
  d = decode(dir.file("corrupt.mp3"), 5760);
  EXPECT_EQ(d.counts.back(), 0);
  EXPECT_LT(d.bytes.size(), whole.size() + 20000);

  std::string noise(50000, '\0');
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  write_file(dir.file("noise.mp3"), noise);
  d = decode(dir.file("noise.mp3"), 5760);
  EXPECT_EQ(d.counts.back(), 0);
}

TEST(Mp3Decoder, FailedOpensReportAndCloseCleanly) {
  TempDir dir;
  testing::internal::CaptureStdout();
  EXPECT_EQ(init_mp3_decode(dir.file("missing.mp3").c_str(), 10000, 2, 44100, 128000), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "cannot open input file\n");
  char buffer[64];
  EXPECT_EQ(do_mp3_decode(buffer, 16), 0);
  EXPECT_EQ(close_mp3_decode(), 1);
  EXPECT_EQ(close_mp3_decode(), 1);

  testing::internal::CaptureStdout();
  EXPECT_EQ(init_mp3_decode(fixture("mono_22k.mp3").c_str(), 0, 1, 22050, 32000), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "acm stream size error " + std::to_string(MPG123_BAD_BUFFER) + " 512 10 5 11 7\n");
  EXPECT_EQ(do_mp3_decode(buffer, 16), 0);
  EXPECT_EQ(close_mp3_decode(), 1);
}

// Decoders on several files at once, the default one among them, each
// giving what libmpg123 gives for its file alone.
TEST(SorrelHandles, SeveralDecodersInterleaved) {
  const struct { const char* name; uint32_t n; bool default_decoder; } cases[] = {
      {"stereo_44k.mp3", 5760, false},
      {"mono_22k.mp3", 7680, false},
      {"stereo_44k.mp3", 3840, true},
      {"stereo_32k.mp2", 5760, false},
  };
  SorrelDecoder* decoders[4] = {};
  std::string got[4];
  bool over[4] = {};
  std::vector<char> buffer(7680 + 9999);
  for (int i = 0; i < 4; ++i) {
    const std::string path = fixture(cases[i].name);
    if (cases[i].default_decoder) {
      ASSERT_EQ(init_mp3_decode(path.c_str(), 10000, 2, 44100, 64000), 1);
      continue;
    }
    SorrelError error{-1, -1};
    decoders[i] = sorrel_open(path.c_str(), 10000, &error);
    ASSERT_NE(decoders[i], nullptr) << cases[i].name;
    EXPECT_EQ(error.step, SORREL_OK);
  }
  for (int round = 0; !(over[0] && over[1] && over[2] && over[3]) && round < 1000; ++round)
    for (int i = 0; i < 4; ++i) {
      if (over[i]) continue;
      SorrelError error{-1, -1};
      const int32_t n = cases[i].default_decoder ? do_mp3_decode(buffer.data(), cases[i].n)
                                                 : sorrel_decode(decoders[i], buffer.data(), cases[i].n, &error);
      if (!cases[i].default_decoder) {
        EXPECT_EQ(error.step, SORREL_OK);
      }
      got[i].append(buffer.data(), static_cast<size_t>(n));
      over[i] = n < static_cast<int32_t>(cases[i].n);
    }
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(got[i] == reference(fixture(cases[i].name)).bytes) << cases[i].name << " " << got[i].size();
    sorrel_close(decoders[i]);
  }
  EXPECT_EQ(close_mp3_decode(), 1);
}

// A handle that cannot be opened says why in its result and prints nothing.
TEST(SorrelHandles, FailedOpensReportTheStep) {
  TempDir dir;
  const struct { std::string path; int32_t chunk; SorrelError expected; } cases[] = {
      {dir.file("missing.mp3"), 10000, {SORREL_CANNOT_OPEN, ENOENT}},
      {dir.path(), 10000, {SORREL_OK, 0}},  // a folder opens; it decodes to nothing
      {fixture("mono_22k.mp3"), 0, {SORREL_BAD_CHUNK, MPG123_BAD_BUFFER}},
  };
  for (const auto& c : cases) {
    SorrelError error{-1, -1};
    testing::internal::CaptureStdout();
    SorrelDecoder* decoder = sorrel_open(c.path.c_str(), c.chunk, &error);
    char buffer[10000 + 16];
    const int32_t got = sorrel_decode(decoder, buffer, 16, nullptr);
    sorrel_close(decoder);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.path;
    EXPECT_EQ(error.step, c.expected.step) << c.path;
    EXPECT_EQ(error.code, c.expected.code) << c.path;
    EXPECT_EQ(decoder != nullptr, c.expected.step == SORREL_OK) << c.path;
    EXPECT_EQ(got, 0) << c.path;
  }
}

// Each step in words; the words name what went wrong, not a number.
TEST(SorrelHandles, StatusTexts) {
  const struct { int32_t step; const char* text; } cases[] = {
      {SORREL_OK, "success"},
      {SORREL_NO_CONVERTER, "the decoder cannot be set up"},
      {SORREL_BAD_CHUNK, "the output chunk size is not positive"},
      {SORREL_NO_MEMORY, "out of memory"},
      {SORREL_CANNOT_OPEN, "the file cannot be opened"},
      {SORREL_CONVERT_FAILED, "decoding failed"},
      {6, "unknown status"},
      {-1, "unknown status"},
      {INT32_MAX, "unknown status"},
  };
  for (const auto& c : cases) EXPECT_STREQ(sorrel_status_text(c.step), c.text) << c.step;
}

// The version the build gives the library, whose major is its file name's.
TEST(SorrelHandles, VersionIsTheLibrarys) {
  const std::string version = sorrel_version();
  EXPECT_EQ(version, KESTREL_SORREL_VERSION);
  const std::string major = version.substr(0, version.find('.'));
  EXPECT_TRUE(file_exists(std::string(KESTREL_BUILD_DIR) + "/libsorrel.so." + major)) << version;
}

TEST(Mp3Decoder, OpeningAgainReplacesTheOpenDecoder) {
  std::vector<char> buffer(5760 + 9999);
  ASSERT_EQ(init_mp3_decode(fixture("stereo_44k.mp3").c_str(), 10000, 2, 44100, 64000), 1);
  ASSERT_EQ(do_mp3_decode(buffer.data(), 5760), 5760);
  // The wrong figures do not matter: the decoder finds the format itself.
  ASSERT_EQ(init_mp3_decode(fixture("mono_22k.mp3").c_str(), 10000, 2, 48000, 320000), 1);
  ASSERT_EQ(do_mp3_decode(buffer.data(), 5760), 5760);
  EXPECT_EQ(std::string(buffer.data(), 5760), reference(fixture("mono_22k.mp3")).bytes.substr(0, 5760));
  EXPECT_EQ(close_mp3_decode(), 1);
}

}  // namespace

namespace {

// What ReadMP3StreamFormat says of a file: "channels/rate", or "none".
std::string stream_of(const std::string& path) {
  int32_t channels = -1, rate = -1;
  if (!ReadMP3StreamFormat(path.c_str(), &channels, &rate)) return "none";
  return std::to_string(channels) + "/" + std::to_string(rate);
}

// A 16-bit stereo 48 kHz WAV file holding `samples` (both channels alike).
std::string wav_bytes(const std::vector<int16_t>& samples) {
  const auto le = [](uint32_t v, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
  };
  std::string data;
  for (int16_t s : samples) data += le(static_cast<uint16_t>(s), 2) + le(static_cast<uint16_t>(s), 2);
  return "RIFF" + le(static_cast<uint32_t>(36 + data.size()), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(2, 2) +
         le(48000, 4) + le(192000, 4) + le(4, 2) + le(16, 2) + "data" + le(static_cast<uint32_t>(data.size()), 4) +
         data;
}

}  // namespace

// Only MPEG audio is taken for a stream: PCM and noise hold words that look
// like frame headers, some of them in long runs the decoder alone accepts.
TEST(ReadMP3StreamFormat, FindsMpegAudioAndNothingElse) {
  TempDir dir;
  EXPECT_EQ(stream_of(fixture("stereo_44k.mp3")), "2/44100");
  EXPECT_EQ(stream_of(fixture("mono_22k.mp3")), "1/22050");
  EXPECT_EQ(stream_of(fixture("stereo_32k.mp2")), "2/32000");

  write_file(dir.file("strings.mp3"), read_file(std::string(KESTREL_SOURCE_DIR) + "/tests/fixtures/demo_strings.wav"));
  std::vector<int16_t> square(96000);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 80) % 2 ? 1 : -1;  // near silence: bytes FF FF, 01 00
  write_file(dir.file("square.mp3"), wav_bytes(square));
  std::string noise(300000, '\0');
  uint32_t x = 99;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  write_file(dir.file("noise.mp3"), noise);
  for (const char* name : {"strings.mp3", "square.mp3", "noise.mp3"}) EXPECT_EQ(stream_of(dir.file(name)), "none") << name;
}

// The search reads at most 1 MiB, counted behind the ID3v2 tags at the start
// (skipped by their stated sizes, so a large picture costs nothing).
TEST(ReadMP3StreamFormat, ReadsABoundedAmount) {
  TempDir dir;
  const std::string mp3 = read_file(fixture("stereo_44k.mp3"));
  const size_t bound = 1 << 20;
  write_file(dir.file("inside.mp3"), std::string(bound - 20000, '\0') + mp3);
  write_file(dir.file("beyond.mp3"), std::string(bound, '\0') + mp3);
  const uint32_t size = 3u << 20;
  std::string tag = std::string("ID3\x03\0\0", 6);
  for (int shift : {21, 14, 7, 0}) tag += static_cast<char>((size >> shift) & 0x7F);
  write_file(dir.file("tagged.mp3"), tag + std::string(size, 'P') + mp3);
  EXPECT_EQ(stream_of(dir.file("inside.mp3")), "2/44100");
  EXPECT_EQ(stream_of(dir.file("beyond.mp3")), "none");
  EXPECT_EQ(stream_of(dir.file("tagged.mp3")), "2/44100");
}

namespace {

// What running fn did to standard error: whether something flushed what the
// program had buffered for it (sorrel's hush does, before it points
// descriptor 2 elsewhere), and what reached it besides.
struct StderrUse {
  bool flushed = false;
  std::string text;
};
template <class Fn>
StderrUse watch_stderr(Fn fn) {
  TempDir dir;
  const std::string path = dir.file("stderr");
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, STDERR_FILENO);
  close(fd);
  static char buffer[1 << 16];
  setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
  fputs("marker\n", stderr);
  fn();
  StderrUse use;
  use.flushed = read_file(path).rfind("marker\n", 0) == 0;
  fflush(stderr);
  setvbuf(stderr, nullptr, _IONBF, 0);
  dup2(saved, STDERR_FILENO);
  close(saved);
  use.text = read_file(path).substr(7);
  return use;
}

// The whole file decoded through a handle, in requests of 5760 bytes.
std::string decode_handle(const std::string& path) {
  std::string out;
  SorrelDecoder* decoder = sorrel_open(path.c_str(), 10000, nullptr);
  std::vector<char> buffer(5760 + 9999);
  int32_t got = 0;
  while (decoder != nullptr && (got = sorrel_decode(decoder, buffer.data(), 5760, nullptr)) > 0)
    out.append(buffer.data(), static_cast<size_t>(got));
  sorrel_close(decoder);
  return out;
}

// stereo_32k.mp2 with every frame joint stereo with the bound at 16 subbands,
// beyond the 12 of its table: libmpg123 warns of each frame.
std::string bound_beyond_limit_mp2() {
  std::string mp2 = read_file(fixture("stereo_32k.mp2"));
  for (size_t at = 0; at + 432 <= mp2.size(); at += 432) mp2[at + 3] = 0x74;
  return mp2;
}

}  // namespace

// Nothing libmpg123 prints reaches standard error, and sorrel leaves standard
// error alone (not even flushing it) unless what it feeds the decoder holds
// what looks like the header of the one frame libmpg123's quiet flag does not
// keep quiet about (mono_22k.mp3 does, inside its frames: a hush then costs
// nothing but the lines other threads write meanwhile).
TEST(Mp3Decoder, StandardErrorIsLeftAloneAndQuiet) {
  TempDir dir;
  write_file(dir.file("bound.mp2"), bound_beyond_limit_mp2());
  const struct { std::string path; bool hushed; } cases[] = {
      {fixture("stereo_44k.mp3"), false},
      {fixture("stereo_32k.mp2"), false},
      {fixture("mono_22k.mp3"), true},
      {dir.file("bound.mp2"), true},
  };
  for (const auto& c : cases) {
    std::string format;
    Decoded shared;
    std::string handle;
    const StderrUse use = watch_stderr([&] {
      format = stream_of(c.path);
      shared = decode(c.path, 3840);
      handle = decode_handle(c.path);
    });
    EXPECT_EQ(use.text, "") << c.path;
    EXPECT_EQ(use.flushed, c.hushed) << c.path;
    EXPECT_NE(format, "none") << c.path;
    EXPECT_TRUE(handle == shared.bytes) << c.path;
    EXPECT_GT(handle.size(), 80000u) << c.path;  // two seconds or more
  }
}

// Every MPEG-1 Layer II joint-stereo header: sorrel hushes standard error for
// the streams libmpg123 warns about, and for no other.
TEST(Mp3Decoder, HushesExactlyTheStreamsLibmpg123WarnsAbout) {
  TempDir dir;
  const std::string path = dir.file("frames.mp2");
  constexpr int kRates[3] = {44100, 48000, 32000};
  constexpr int kKbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
  int warned = 0;
  for (int rate = 0; rate < 3; ++rate)
    for (int index = 1; index < 15; ++index)
      for (int extension = 0; extension < 4; ++extension) {
        // Four frames of silence: no bit allocation after the header.
        const size_t size = 144000u * kKbps[index] / kRates[rate];
        std::string frame(size, '\0');
        frame[0] = '\xFF';
        frame[1] = '\xFD';  // MPEG-1 Layer II, no CRC
        frame[2] = static_cast<char>(index << 4 | rate << 2);
        frame[3] = static_cast<char>(0x40 | extension << 4);  // joint stereo
        write_file(path, frame + frame + frame + frame);
        const std::string row = std::to_string(kRates[rate]) + " Hz, index " + std::to_string(index) +
                                ", extension " + std::to_string(extension);
        testing::internal::CaptureStderr();
        reference(path);
        const bool warns = !testing::internal::GetCapturedStderr().empty();
        warned += warns;
        const StderrUse use = watch_stderr([&] { decode_handle(path); });
        EXPECT_EQ(use.text, "") << row;
        EXPECT_EQ(use.flushed, warns) << row;
      }
  // The bound reaches beyond 8 subbands with extension 2 or 3 at 32 to 96
  // kbit/s at 44100 and 48000 Hz, beyond 12 with extension 3 at 32000 Hz.
  EXPECT_EQ(warned, 30);
}

// Decoders on several threads hush and restore standard error through one
// count: it ends pointing where it pointed before.
TEST(SorrelHandles, DecodersOnSeveralThreadsLeaveStandardErrorWhereItWas) {
  TempDir dir;
  const std::string path = dir.file("bound.mp2");
  write_file(path, bound_beyond_limit_mp2());
  struct stat before {};
  ASSERT_EQ(fstat(STDERR_FILENO, &before), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) decode_handle(path);
    });
  for (std::thread& thread : threads) thread.join();
  struct stat after {};
  ASSERT_EQ(fstat(STDERR_FILENO, &after), 0);
  EXPECT_EQ(after.st_dev, before.st_dev);
  EXPECT_EQ(after.st_ino, before.st_ino);
}
