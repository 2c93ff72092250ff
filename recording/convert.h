// SPDX-License-Identifier: MIT
// Turning the PCM of a source file into what a DAT frame holds: 16-bit
// stereo at 48000, 44100 or 32000 Hz. Fewer or more channels, other sample
// formats and other rates are converted; 16-bit stereo at a DAT rate passes
// through untouched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct soxr;

// How the source's samples are stored.
enum SampleEncoding {
  SAMPLE_UNSUPPORTED = 0,
  SAMPLE_PCM_U8 = 1,   // unsigned 8-bit
  SAMPLE_PCM_S16 = 2,  // signed little-endian integers of 16, 24 and 32 bits
  SAMPLE_PCM_S24 = 3,
  SAMPLE_PCM_S32 = 4,
  SAMPLE_FLOAT32 = 5,  // IEEE little-endian, full scale at +-1.0
  SAMPLE_FLOAT64 = 6,
};

// What a source delivers and what it becomes.
struct ConvertPlan {
  int32_t format_tag;   // as the WAV file states it (1 for MPEG audio)
  int32_t bits;         // bits per sample, as stated
  int32_t encoding;     // SampleEncoding
  int32_t channels;     // of the source
  int32_t rate;         // of the source, samples per second
  int32_t target_rate;  // 48000, 44100 or 32000
  int32_t passthrough;  // 1: already 16-bit stereo at target_rate
};

// The DAT rate a source rate is recorded at: 48000, 44100 and 32000 stay,
// multiples of 11025 become 44100, any other rate 48000.
int32_t dat_target_rate(int32_t rate);

// The plan for a WAV format (tag 1 PCM, 3 IEEE float; container bits per
// sample) or 16-bit PCM when format_tag is 1 and bits 16. 0, or -1 when the
// samples cannot be converted (the plan then says SAMPLE_UNSUPPORTED).
int plan_conversion(int32_t format_tag, int32_t bits, int32_t channels, int32_t rate, ConvertPlan* plan);

// "24-bit mono at 96000 Hz": the source side of a plan, for messages.
std::string describe_source(const ConvertPlan* plan);

// Reads up to n bytes of the source's PCM into buffer (which has room for
// n + 9999 bytes); fewer only at the end.
typedef int32_t (*SourceReader)(void* buffer, uint32_t n);

// One conversion in progress.
struct SourceConverter {
  ConvertPlan plan{};
  SourceReader reader = nullptr;
  soxr* resampler = nullptr;   // null when the rate stays
  int32_t dither = 0;          // 1 when bits are dropped
  uint32_t noise_state = 0;    // of the dither's random numbers
  int32_t input_ended = 0;
  int32_t flushed = 0;
  std::vector<uint8_t> raw;    // source bytes
  std::vector<float> samples;  // decoded, one or two channels
  std::vector<float> resampled;
  std::vector<uint8_t> output;  // 16-bit stereo waiting to be read
  size_t output_start = 0;
};

// Starts converting what reader delivers according to plan. 0, or -1 after a
// message when the resampler cannot be set up. Both this and converter_read
// throw std::bad_alloc when memory runs out, also where the resampler would
// have needed more than is left.
int converter_open(SourceConverter* converter, const ConvertPlan* plan, SourceReader reader);
// Places up to n bytes of 16-bit stereo in buffer; fewer only at the end.
int32_t converter_read(SourceConverter* converter, uint8_t* buffer, uint32_t n);
// Releases the resampler and the buffers. Harmless on a converter never opened.
void converter_close(SourceConverter* converter);
