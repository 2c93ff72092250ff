// SPDX-License-Identifier: MIT
// The canonical 44-byte header of the 16-bit stereo PCM WAV files kestrel
// writes: thistle's files and the player's file device. One layout, one rule
// for its sizes. Fields are little-endian, as the host is.
#pragma once

#include <cstddef>
#include <cstdint>

struct WavCanonicalHeader {
  char riff[4];
  uint32_t riff_size;
  char wave[4];
  char fmt[4];
  uint32_t fmt_size;
  uint16_t format_tag;
  uint16_t channels;
  uint32_t samples_per_sec;
  uint32_t bytes_per_sec;
  uint16_t block_align;
  uint16_t bits_per_sample;
  char data[4];
  uint32_t data_size;
};
static_assert(sizeof(WavCanonicalHeader) == 44);
static_assert(offsetof(WavCanonicalHeader, riff_size) == 4);
static_assert(offsetof(WavCanonicalHeader, fmt_size) == 16);
static_assert(offsetof(WavCanonicalHeader, format_tag) == 20);
static_assert(offsetof(WavCanonicalHeader, samples_per_sec) == 24);
static_assert(offsetof(WavCanonicalHeader, bytes_per_sec) == 28);
static_assert(offsetof(WavCanonicalHeader, block_align) == 32);
static_assert(offsetof(WavCanonicalHeader, bits_per_sample) == 34);
static_assert(offsetof(WavCanonicalHeader, data_size) == 40);

// The RIFF size of a file with data_bytes of audio: the 36 header bytes
// after it besides; past 4 GiB it cannot grow and stays at its largest.
inline uint32_t wav_riff_size(uint32_t data_bytes) {
  return data_bytes <= UINT32_MAX - 36 ? data_bytes + 36 : UINT32_MAX;
}

// The header for data_bytes of 16-bit stereo PCM at rate samples a second.
inline WavCanonicalHeader wav_canonical_header(uint32_t rate, uint32_t data_bytes) {
  return WavCanonicalHeader{{'R', 'I', 'F', 'F'}, wav_riff_size(data_bytes),
                            {'W', 'A', 'V', 'E'}, {'f', 'm', 't', ' '},
                            16,                   1,
                            2,                    rate,
                            rate * 4,             4,
                            16,                   {'d', 'a', 't', 'a'},
                            data_bytes};
}
