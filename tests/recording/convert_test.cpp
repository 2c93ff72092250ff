// SPDX-License-Identifier: MIT
// The source converter: every sample format, channel count and rate to
// 16-bit stereo at a DAT rate.
#include "recording/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/support/e2e/audio_files.h"

namespace {

// The source the converter reads: a string handed out in requests.
std::string g_source;
size_t g_position = 0;

int32_t read_memory(void* buffer, uint32_t n) {
  size_t count = std::min<size_t>(n, g_source.size() - g_position);
  std::memcpy(buffer, g_source.data() + g_position, count);
  g_position += count;
  return static_cast<int32_t>(count);
}

// Converts all of `data` in reads of `request` bytes; the 16-bit stereo result.
std::vector<int16_t> convert_all(int tag, int bits, int channels, int rate, const std::string& data,
                                 uint32_t request = 5760) {
  g_source = data;
  g_position = 0;
  ConvertPlan plan;
  EXPECT_EQ(plan_conversion(tag, bits, channels, rate, &plan), 0);
  SourceConverter converter;
  EXPECT_EQ(converter_open(&converter, &plan, read_memory), 0);
  std::string out;
  std::vector<uint8_t> buffer(request);
  for (;;) {
    int32_t got = converter_read(&converter, buffer.data(), request);
    out.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(got));
    if (static_cast<uint32_t>(got) < request) break;
  }
  EXPECT_EQ(converter_read(&converter, buffer.data(), request), 0) << "nothing after the end";
  converter_close(&converter);
  return pcm16_samples(out);
}

std::vector<double> channel(const std::vector<int16_t>& stereo, int which) {
  std::vector<double> out;
  for (size_t i = static_cast<size_t>(which); i < stereo.size(); i += 2) out.push_back(stereo[i] / 32768.0);
  return out;
}

TEST(ConvertPlan, TargetRatesAndWhatPassesThrough) {
  EXPECT_EQ(dat_target_rate(48000), 48000);
  EXPECT_EQ(dat_target_rate(44100), 44100);
  EXPECT_EQ(dat_target_rate(32000), 32000);
  EXPECT_EQ(dat_target_rate(22050), 44100);
  EXPECT_EQ(dat_target_rate(88200), 44100);
  EXPECT_EQ(dat_target_rate(11025), 44100);
  EXPECT_EQ(dat_target_rate(96000), 48000);
  EXPECT_EQ(dat_target_rate(16000), 48000);

  ConvertPlan plan;
  ASSERT_EQ(plan_conversion(1, 16, 2, 44100, &plan), 0);
  EXPECT_EQ(plan.passthrough, 1);
  ASSERT_EQ(plan_conversion(1, 16, 1, 44100, &plan), 0);
  EXPECT_EQ(plan.passthrough, 0);
  ASSERT_EQ(plan_conversion(1, 24, 2, 48000, &plan), 0);
  EXPECT_EQ(plan.encoding, SAMPLE_PCM_S24);
  EXPECT_EQ(plan.passthrough, 0);
  ASSERT_EQ(plan_conversion(3, 64, 6, 96000, &plan), 0);
  EXPECT_EQ(plan.encoding, SAMPLE_FLOAT64);
  EXPECT_EQ(plan.target_rate, 48000);
  EXPECT_EQ(describe_source(&plan), "64-bit float 6-channel at 96000 Hz");

  EXPECT_EQ(plan_conversion(2, 4, 2, 44100, &plan), -1) << "ADPCM";
  EXPECT_EQ(plan_conversion(1, 12, 2, 44100, &plan), -1);
  EXPECT_EQ(plan_conversion(3, 16, 2, 44100, &plan), -1);
  EXPECT_EQ(plan_conversion(1, 16, 0, 44100, &plan), -1);
  EXPECT_EQ(plan_conversion(1, 16, 2, 0, &plan), -1);
  EXPECT_EQ(plan.encoding, SAMPLE_UNSUPPORTED);
}

TEST(Converter, MonoAndEightBitAreExactAndBothChannelsTheSame) {
  // 16-bit mono: every sample doubled, untouched.
  std::vector<int16_t> mono = test_pattern(10000, 1, 7);
  std::vector<int16_t> out = convert_all(1, 16, 1, 48000, pcm16_bytes(mono), 3840);
  ASSERT_EQ(out.size(), mono.size() * 2);
  for (size_t i = 0; i < mono.size(); ++i) {
    ASSERT_EQ(out[2 * i], mono[i]) << i;
    ASSERT_EQ(out[2 * i + 1], mono[i]) << i;
  }
  // 8-bit: (u - 128) * 256, no dither.
  std::string eight;
  for (int i = 0; i < 256 * 5; ++i) eight += static_cast<char>(i % 256);
  out = convert_all(1, 8, 1, 32000, eight);
  ASSERT_EQ(out.size(), eight.size() * 2);
  for (size_t i = 0; i < eight.size(); ++i) {
    int16_t want = static_cast<int16_t>((static_cast<uint8_t>(eight[i]) - 128) * 256);
    ASSERT_EQ(out[2 * i], want) << i;
    ASSERT_EQ(out[2 * i + 1], want) << i;
  }
}

TEST(Converter, MoreChannelsKeepTheFirstTwo) {
  std::vector<int16_t> six = test_pattern(3000, 6, 3);
  std::vector<int16_t> out = convert_all(1, 16, 6, 44100, pcm16_bytes(six));
  ASSERT_EQ(out.size(), 6000u);
  for (size_t i = 0; i < 3000; ++i) {
    ASSERT_EQ(out[2 * i], six[6 * i]);
    ASSERT_EQ(out[2 * i + 1], six[6 * i + 1]);
  }
}

TEST(Converter, WideSamplesAreDitheredToWithinOneStep) {
  std::vector<double> x = sine_wave(20000, 48000, 1000, 0.9);
  std::vector<double> stereo;
  for (double v : x) {
    stereo.push_back(v);
    stereo.push_back(-v);
  }
  for (int bits : {24, 32}) {
    std::string data;
    if (bits == 24) {
      data = encode_s24(stereo);
    } else {
      for (double v : stereo) {
        int32_t s = static_cast<int32_t>(std::lround(v * 2147483647.0));
        data.append(reinterpret_cast<const char*>(&s), 4);
      }
    }
    std::vector<int16_t> out = convert_all(1, bits, 2, 48000, data);
    ASSERT_EQ(out.size(), stereo.size());
    double error = 0;
    int not_rounded = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      double exact = stereo[i] * 32768.0;
      ASSERT_LE(std::fabs(out[i] - exact), 1.5) << bits << " bits, sample " << i;
      error += out[i] - exact;
      if (out[i] != std::lround(exact)) ++not_rounded;
    }
    EXPECT_LT(std::fabs(error / static_cast<double>(out.size())), 0.05) << "dither adds no offset";
    EXPECT_GT(not_rounded, static_cast<int>(out.size() / 10)) << "dither is there";
  }
}

TEST(Converter, FloatOversAreClipped) {
  std::vector<double> x = {0.0, 0.5, -0.5, 1.0, -1.0, 1.7, -3.0, 1e9, -1e9, 0.25};
  for (int bits : {32, 64}) {
    std::string data = bits == 32 ? encode_f32(x) : encode_f64(x);
    std::vector<int16_t> out = convert_all(3, bits, 1, 44100, data);
    ASSERT_EQ(out.size(), x.size() * 2);
    std::vector<double> want = {0, 16384, -16384, 32767, -32768, 32767, -32768, 32767, -32768, 8192};
    for (size_t i = 0; i < x.size(); ++i) {
      EXPECT_NEAR(out[2 * i], want[i], 1.0) << bits << " bits, sample " << i;
      EXPECT_EQ(out[2 * i], out[2 * i + 1]);
    }
  }
}

TEST(Converter, OtherRatesAreResampledCleanly) {
  struct Case {
    int rate;
    int target;
  } cases[] = {{96000, 48000}, {22050, 44100}, {8000, 48000}};
  for (const Case& c : cases) {
    const size_t frames = static_cast<size_t>(c.rate);  // one second
    std::vector<double> x = sine_wave(frames, c.rate, 997, 0.8);
    std::vector<int16_t> out = convert_all(1, 24, 1, c.rate, encode_s24(x));
    size_t expected = frames * static_cast<size_t>(c.target) / static_cast<size_t>(c.rate);
    EXPECT_NEAR(static_cast<double>(out.size() / 2), static_cast<double>(expected), 2.0) << c.rate;
    std::vector<double> left = channel(out, 0);
    ASSERT_GT(left.size(), 4000u);
    std::vector<double> middle(left.begin() + 2000, left.end() - 2000);
    EXPECT_GT(sinad_db(middle, c.target, 997), 88.0) << c.rate;
    EXPECT_EQ(channel(out, 1), left) << "both channels the same";
  }
}

TEST(Converter, PartialLastFrameIsDropped) {
  // 24-bit stereo: 6 bytes a frame; 5 stray bytes at the end.
  std::string data = encode_s24(std::vector<double>(200, 0.25)) + std::string(5, '\x7f');
  std::vector<int16_t> out = convert_all(1, 24, 2, 48000, data, 100);
  EXPECT_EQ(out.size(), 200u);
}

}  // namespace
