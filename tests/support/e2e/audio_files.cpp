// SPDX-License-Identifier: MIT
#include "tests/support/e2e/audio_files.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tests/support/temp_dir.h"

namespace {

std::string le16(uint32_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string le32(uint32_t v) { return le16(v) + le16(v >> 16); }
double clip(double v) { return std::clamp(v, -1.0, 1.0); }

}  // namespace

std::string wav_file_bytes(int format_tag, int channels, int rate, int bits, const std::string& data) {
  uint32_t align = static_cast<uint32_t>(channels * bits / 8);
  std::string fmt = le16(static_cast<uint32_t>(format_tag)) + le16(static_cast<uint32_t>(channels)) +
                    le32(static_cast<uint32_t>(rate)) + le32(static_cast<uint32_t>(rate) * align) + le16(align) +
                    le16(static_cast<uint32_t>(bits));
  std::string body = "WAVE" + std::string("fmt ") + le32(16) + fmt + "data" +
                     le32(static_cast<uint32_t>(data.size())) + data;
  if (data.size() % 2) body += '\0';
  return "RIFF" + le32(static_cast<uint32_t>(body.size())) + body;
}

bool write_wav_file(const std::string& path, int format_tag, int channels, int rate, int bits,
                    const std::string& data) {
  return write_file(path, wav_file_bytes(format_tag, channels, rate, bits, data));
}

std::string pcm16_bytes(const std::vector<int16_t>& samples) {
  std::string out(samples.size() * 2, '\0');
  std::memcpy(out.data(), samples.data(), out.size());
  return out;
}

std::vector<int16_t> pcm16_samples(const std::string& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

std::vector<int16_t> test_pattern(size_t frames, int channels, uint32_t seed) {
  std::vector<int16_t> out(frames * static_cast<size_t>(channels));
  uint32_t x = seed | 1;
  for (size_t i = 0; i < out.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    out[i] = static_cast<int16_t>(static_cast<int32_t>(i * 37) + static_cast<int32_t>(x >> 20));
  }
  return out;
}

std::vector<double> sine_wave(size_t frames, double rate, double frequency, double amplitude) {
  std::vector<double> out(frames);
  for (size_t i = 0; i < frames; ++i) out[i] = amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(i) / rate);
  return out;
}

std::string encode_u8(const std::vector<double>& x) {
  std::string out;
  for (double v : x) out += static_cast<char>(std::clamp(std::lround(clip(v) * 128.0) + 128, 0L, 255L));
  return out;
}

std::string encode_s24(const std::vector<double>& x) {
  std::string out;
  for (double v : x) {
    long s = std::clamp(std::lround(clip(v) * 8388608.0), -8388608L, 8388607L);
    uint32_t u = static_cast<uint32_t>(s);
    out += static_cast<char>(u);
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u >> 16);
  }
  return out;
}

std::string encode_f32(const std::vector<double>& x) {
  std::string out(x.size() * 4, '\0');
  for (size_t i = 0; i < x.size(); ++i) {
    float f = static_cast<float>(x[i]);
    std::memcpy(&out[i * 4], &f, 4);
  }
  return out;
}

std::string encode_f64(const std::vector<double>& x) {
  std::string out(x.size() * 8, '\0');
  std::memcpy(out.data(), x.data(), out.size());
  return out;
}

double sinad_db(const std::vector<double>& x, double rate, double frequency) {
  // Least squares of x against sin, cos and 1.
  double m[3][3] = {}, r[3] = {};
  for (size_t i = 0; i < x.size(); ++i) {
    double w = 2 * M_PI * frequency * static_cast<double>(i) / rate;
    double b[3] = {std::sin(w), std::cos(w), 1.0};
    for (int p = 0; p < 3; ++p) {
      r[p] += b[p] * x[i];
      for (int q = 0; q < 3; ++q) m[p][q] += b[p] * b[q];
    }
  }
  // Gaussian elimination of the 3x3 system.
  for (int p = 0; p < 3; ++p) {
    for (int q = p + 1; q < 3; ++q) {
      double f = m[q][p] / m[p][p];
      for (int k = p; k < 3; ++k) m[q][k] -= f * m[p][k];
      r[q] -= f * r[p];
    }
  }
  double c[3];
  for (int p = 2; p >= 0; --p) {
    double v = r[p];
    for (int k = p + 1; k < 3; ++k) v -= m[p][k] * c[k];
    c[p] = v / m[p][p];
  }
  double signal = 0, noise = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    double w = 2 * M_PI * frequency * static_cast<double>(i) / rate;
    double fit = c[0] * std::sin(w) + c[1] * std::cos(w);
    signal += fit * fit;
    double e = x[i] - fit - c[2];
    noise += e * e;
  }
  return 10 * std::log10(signal / noise);
}
