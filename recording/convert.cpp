// SPDX-License-Identifier: MIT
#include "recording/convert.h"

#include <soxr.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/dat_format.h"
#include "platform/memory.h"

namespace {

// Source frames converted per step.
constexpr uint32_t kChunkFrames = 4096;
// libsoxr does not survive an allocation that fails (it goes on with a null
// pointer), so it is only called with room to spare: its filter design takes
// under 1 MiB, a step of processing under three times the output it may hand
// back. Less room than that is out of memory, said before the call.
constexpr size_t kResamplerSetUpBytes = 1u << 20;
constexpr size_t kResamplerStepBytes = 512u << 10;
// Room a reader may use beyond what it is asked for.
constexpr uint32_t kReaderSlack = 10000;

bool is_dat_rate(int32_t rate) { return dat_rate_code(rate) >= 0; }

int32_t bytes_per_sample(int32_t encoding) {
  switch (encoding) {
    case SAMPLE_PCM_U8: return 1;
    case SAMPLE_PCM_S16: return 2;
    case SAMPLE_PCM_S24: return 3;
    case SAMPLE_PCM_S32: return 4;
    case SAMPLE_FLOAT32: return 4;
    case SAMPLE_FLOAT64: return 8;
    default: return 0;
  }
}

// One sample as a fraction of full scale (16-bit full scale is 1.0).
float decode_sample(const uint8_t* p, int32_t encoding) {
  switch (encoding) {
    case SAMPLE_PCM_U8: return static_cast<float>(static_cast<int>(p[0]) - 128) * (1.0f / 128.0f);
    case SAMPLE_PCM_S16: return static_cast<float>(static_cast<int16_t>(p[0] | p[1] << 8)) * (1.0f / 32768.0f);
    case SAMPLE_PCM_S24: {
      int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                                       static_cast<uint32_t>(p[2]) << 24);
      return static_cast<float>(v) * (1.0f / 2147483648.0f);
    }
    case SAMPLE_PCM_S32: {
      int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
      return static_cast<float>(static_cast<double>(v) * (1.0 / 2147483648.0));
    }
    case SAMPLE_FLOAT32: {
      float v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case SAMPLE_FLOAT64: {
      double v;
      std::memcpy(&v, p, 8);
      return static_cast<float>(v);
    }
    default: return 0.0f;
  }
}

// A uniform random number in [0, 1).
float next_uniform(uint32_t* state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return static_cast<float>(x >> 8) * (1.0f / 16777216.0f);
}

int16_t quantize(float value, SourceConverter* c) {
  float scaled = value * 32768.0f;
  if (c->dither) scaled += next_uniform(&c->noise_state) - next_uniform(&c->noise_state);
  if (std::isnan(scaled)) return 0;
  if (scaled <= -32768.0f) return -32768;
  if (scaled >= 32767.0f) return 32767;
  return static_cast<int16_t>(std::lrint(scaled));
}

// Appends `frames` frames of one or two channels as 16-bit stereo.
void emit(SourceConverter* c, const float* samples, size_t frames) {
  int channels = c->plan.channels == 1 ? 1 : 2;
  size_t at = c->output.size();
  c->output.resize(at + frames * 4);
  uint8_t* out = c->output.data() + at;
  for (size_t i = 0; i < frames; ++i) {
    int16_t left = quantize(samples[i * channels], c);
    int16_t right = channels == 1 ? left : quantize(samples[i * channels + 1], c);
    out[0] = static_cast<uint8_t>(left);
    out[1] = static_cast<uint8_t>(static_cast<uint16_t>(left) >> 8);
    out[2] = static_cast<uint8_t>(right);
    out[3] = static_cast<uint8_t>(static_cast<uint16_t>(right) >> 8);
    out += 4;
  }
}

// Runs the resampler over `frames` frames (null and 0 to flush it) and emits
// what comes out. -1 after a message when the resampler fails.
int resample(SourceConverter* c, const float* in, size_t frames) {
  int channels = c->plan.channels == 1 ? 1 : 2;
  size_t room = c->resampled.size() / static_cast<size_t>(channels);
  size_t headroom = kResamplerStepBytes + 4 * c->resampled.size() * sizeof(float);
  for (;;) {
    size_t used = 0, made = 0;
    if (!memory_headroom(headroom)) throw std::bad_alloc();
    soxr_error_t error = soxr_process(c->resampler, in, frames, &used, c->resampled.data(), room, &made);
    if (error) {
      std::printf("resampling failed: %s\n", error);
      return -1;
    }
    emit(c, c->resampled.data(), made);
    if (in) {
      in += used * static_cast<size_t>(channels);
      frames -= used;
      if (frames == 0) return 0;
    } else if (made == 0) {
      return 0;
    }
  }
}

// Reads and converts one chunk of the source. -1 when the resampler fails.
int convert_chunk(SourceConverter* c) {
  int32_t width = bytes_per_sample(c->plan.encoding);
  uint32_t frame_bytes = static_cast<uint32_t>(width * c->plan.channels);
  uint32_t want = kChunkFrames * frame_bytes;
  if (c->raw.size() < want + kReaderSlack) c->raw.resize(want + kReaderSlack);
  int32_t got = c->reader(c->raw.data(), want);
  if (got < 0) got = 0;
  if (static_cast<uint32_t>(got) < want) c->input_ended = 1;
  size_t frames = static_cast<uint32_t>(got) / frame_bytes;  // a partial last frame is dropped

  int channels = c->plan.channels == 1 ? 1 : 2;
  c->samples.resize(frames * static_cast<size_t>(channels));
  const uint8_t* p = c->raw.data();
  for (size_t i = 0; i < frames; ++i, p += frame_bytes) {
    c->samples[i * channels] = decode_sample(p, c->plan.encoding);
    if (channels == 2) c->samples[i * channels + 1] = decode_sample(p + width, c->plan.encoding);
  }

  if (!c->resampler) {
    emit(c, c->samples.data(), frames);
  } else {
    if (frames > 0 && resample(c, c->samples.data(), frames) != 0) return -1;
    if (c->input_ended && resample(c, nullptr, 0) != 0) return -1;
  }
  if (c->input_ended) c->flushed = 1;
  return 0;
}

}  // namespace

int32_t dat_target_rate(int32_t rate) {
  if (is_dat_rate(rate)) return rate;
  if (rate > 0 && rate % 11025 == 0) return 44100;
  return 48000;
}

int plan_conversion(int32_t format_tag, int32_t bits, int32_t channels, int32_t rate, ConvertPlan* plan) {
  *plan = ConvertPlan{};
  plan->format_tag = format_tag;
  plan->bits = bits;
  plan->channels = channels;
  plan->rate = rate;
  plan->target_rate = dat_target_rate(rate);
  if (format_tag == 1) {
    if (bits == 8) plan->encoding = SAMPLE_PCM_U8;
    else if (bits == 16) plan->encoding = SAMPLE_PCM_S16;
    else if (bits == 24) plan->encoding = SAMPLE_PCM_S24;
    else if (bits == 32) plan->encoding = SAMPLE_PCM_S32;
  } else if (format_tag == 3) {
    if (bits == 32) plan->encoding = SAMPLE_FLOAT32;
    else if (bits == 64) plan->encoding = SAMPLE_FLOAT64;
  }
  // A frame of the source must fit the reader's chunk arithmetic.
  if (channels <= 0 || channels > 1024 || rate <= 0) plan->encoding = SAMPLE_UNSUPPORTED;
  if (plan->encoding == SAMPLE_UNSUPPORTED) return -1;
  plan->passthrough = plan->encoding == SAMPLE_PCM_S16 && channels == 2 && is_dat_rate(rate) ? 1 : 0;
  return 0;
}

std::string describe_source(const ConvertPlan* plan) {
  char unsupported[48];
  std::snprintf(unsupported, sizeof unsupported, "%d-bit format %d", static_cast<int>(plan->bits),
                static_cast<int>(plan->format_tag));
  const char* kind = unsupported;
  switch (plan->encoding) {
    case SAMPLE_PCM_U8: kind = "8-bit"; break;
    case SAMPLE_PCM_S16: kind = "16-bit"; break;
    case SAMPLE_PCM_S24: kind = "24-bit"; break;
    case SAMPLE_PCM_S32: kind = "32-bit"; break;
    case SAMPLE_FLOAT32: kind = "32-bit float"; break;
    case SAMPLE_FLOAT64: kind = "64-bit float"; break;
    default: break;
  }
  char channels[32];
  if (plan->channels == 1) std::snprintf(channels, sizeof channels, "mono");
  else if (plan->channels == 2) std::snprintf(channels, sizeof channels, "stereo");
  else std::snprintf(channels, sizeof channels, "%d-channel", static_cast<int>(plan->channels));
  char text[128];
  // A WAV file states its rate unsigned; an absurd one is shown as it stands.
  std::snprintf(text, sizeof text, "%s %s at %u Hz", kind, channels,
                static_cast<unsigned>(static_cast<uint32_t>(plan->rate)));
  return text;
}

int converter_open(SourceConverter* c, const ConvertPlan* plan, SourceReader reader) {
  converter_close(c);
  c->plan = *plan;
  c->reader = reader;
  c->noise_state = 0x9E3779B9u;
  bool more_than_16_bits = plan->encoding != SAMPLE_PCM_U8 && plan->encoding != SAMPLE_PCM_S16;
  bool resampled = plan->rate != plan->target_rate;
  c->dither = more_than_16_bits || resampled ? 1 : 0;
  if (resampled) {
    unsigned channels = plan->channels == 1 ? 1 : 2;
    soxr_error_t error = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    if (!memory_headroom(kResamplerSetUpBytes)) throw std::bad_alloc();
    c->resampler = soxr_create(plan->rate, plan->target_rate, channels, &error, &io, &quality, nullptr);
    if (error || !c->resampler) {
      std::printf("cannot set up the resampler: %s\n", error ? error : "unknown error");
      c->resampler = nullptr;
      return -1;
    }
    // Room for a step's output whatever the ratio (the source rate may be tiny).
    double ratio = static_cast<double>(plan->target_rate) / plan->rate;
    size_t frames = static_cast<size_t>(kChunkFrames * (ratio < 1.0 ? 1.0 : ratio)) + 1024;
    if (frames > (1u << 20)) frames = 1u << 20;
    c->resampled.resize(frames * channels);
  }
  return 0;
}

int32_t converter_read(SourceConverter* c, uint8_t* buffer, uint32_t n) {
  while (c->output.size() - c->output_start < n && !c->flushed) {
    // Drop what was read before the buffer grows again.
    if (c->output_start > 0) {
      c->output.erase(c->output.begin(), c->output.begin() + static_cast<ptrdiff_t>(c->output_start));
      c->output_start = 0;
    }
    if (convert_chunk(c) != 0) c->flushed = 1;
  }
  size_t available = c->output.size() - c->output_start;
  size_t count = available < n ? available : n;
  std::memcpy(buffer, c->output.data() + c->output_start, count);
  c->output_start += count;
  return static_cast<int32_t>(count);
}

void converter_close(SourceConverter* c) {
  if (c->resampler) soxr_delete(c->resampler);
  c->resampler = nullptr;
  c->reader = nullptr;
  c->input_ended = 0;
  c->flushed = 0;
  c->raw.clear();
  c->samples.clear();
  c->resampled.clear();
  c->output.clear();
  c->output_start = 0;
}
