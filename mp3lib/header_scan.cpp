// SPDX-License-Identifier: MIT
// The MPEG audio frame header scan behind ReadMP3SampleRate.
#include <cstdio>

#include "mp3lib/header_test.h"
#include "mp3lib/sorrel.h"

namespace {

// Sampling rates: MPEG-1, then MPEG-2, then MPEG-2.5, each in index order.
constexpr int32_t kSampleRates[9] = {44100, 48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000};

// Bit rates in kbit/s by bit-rate index (index 15 is rejected before lookup).
constexpr int32_t kMpeg1Layer1[16] = {0,   32,  64,  96,  128, 160, 192, 224,
                                      256, 288, 320, 352, 384, 416, 448, 0};
constexpr int32_t kMpeg1Layer2[16] = {0,   32,  48,  56,  64,  80,  96,  112,
                                      128, 160, 192, 224, 256, 320, 384, 0};
constexpr int32_t kMpeg1Layer3[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                      112, 128, 160, 192, 224, 256, 320, 0};
// The lower sampling frequencies (MPEG-2 and 2.5).
constexpr int32_t kLsfLayer1[16] = {0,   32,  48,  56,  64,  80,  96,  112,
                                    128, 144, 160, 176, 192, 224, 256, 0};
constexpr int32_t kLsfLayer23[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};

uint32_t bits(uint32_t h, int high, int low) {
  return (h >> low) & ((1u << (high - low + 1)) - 1u);
}

void fill(uint32_t h, MpegHeaderInfo* info) {
  MpegHeaderInfo out{};
  if (bits(h, 20, 20) == 1) {
    out.mpeg25 = 0;
    out.lsf = bits(h, 19, 19) == 0 ? 1 : 0;
  } else {
    out.mpeg25 = 1;
    out.lsf = 1;
  }
  out.layer = static_cast<int32_t>(4 - bits(h, 18, 17));
  out.samplerate_index =
      static_cast<int32_t>(bits(h, 11, 10)) + (out.mpeg25 != 0 ? 6 : 3 * out.lsf);
  out.samplerate = kSampleRates[out.samplerate_index];
  out.crc = bits(h, 16, 16) == 0 ? 1 : 0;
  out.bitrate_index = static_cast<int32_t>(bits(h, 15, 12));
  const int32_t* table = nullptr;
  if (out.lsf == 0)
    table = out.layer == 1 ? kMpeg1Layer1 : out.layer == 2 ? kMpeg1Layer2 : kMpeg1Layer3;
  else
    table = out.layer == 1 ? kLsfLayer1 : kLsfLayer23;
  out.bitrate = table[out.bitrate_index];
  out.channels = bits(h, 7, 6) == 3 ? 1 : 2;
  *info = out;
}

// Reads four bytes as a header word, first byte most significant.
bool read_word(FILE* file, uint32_t* h) {
  unsigned char bytes[4];
  if (fread(bytes, 1, sizeof bytes, file) != sizeof bytes) return false;
  *h = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
       static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  return true;
}

int32_t scan(FILE* file, MpegHeaderInfo* info, int32_t scan_limit) {
  uint32_t h = 0;
  if (!read_word(file, &h)) return 0;
  if (mpeg_header_valid(h)) {
    fill(h, info);
    return 1;
  }
  long offset = 4;
  const bool riff = h == 0x52494646u;           // "RIFF"
  const bool id3 = (h >> 8) == 0x494433u;       // "ID3"
  if (riff || id3) {
    if (riff) {
      if (fseek(file, 66, SEEK_CUR) != 0) return 0;
      offset += 66;
    } else {
      unsigned char size_bytes[4];
      if (fseek(file, 2, SEEK_CUR) != 0 || fread(size_bytes, 1, 4, file) != 4) return 0;
      const long size = id3v2_body_size(size_bytes);
      if (fseek(file, size, SEEK_CUR) != 0) return 0;
      offset += 6 + size;
    }
    if (!read_word(file, &h)) return 0;
    offset += 4;
    if (mpeg_header_valid(h)) {
      fill(h, info);
      return 1;
    }
  }
  while (offset <= scan_limit) {
    const int byte = getc(file);
    if (byte == EOF) return 0;
    ++offset;
    h = h << 8 | static_cast<uint32_t>(byte);
    if (mpeg_header_valid(h)) {
      fill(h, info);
      return 1;
    }
  }
  return 0;
}

}  // namespace

bool mpeg_header_valid(uint32_t h) {
  if (bits(h, 31, 21) != 0x7FF) return false;                                      // frame sync
  if (bits(h, 18, 17) == 0) return false;                                          // layer
  if (bits(h, 15, 12) == 15) return false;                                         // bit rate
  if (bits(h, 11, 10) == 3) return false;                                          // sampling rate
  if (bits(h, 19, 19) == 1 && bits(h, 18, 17) == 3 && bits(h, 16, 16) == 1) return false;
  if ((h >> 16) == 0xFFFE) return false;
  if (bits(h, 1, 0) == 2) return false;                                            // emphasis
  return true;
}

int32_t ReadMP3SampleRate(const char* path, MpegHeaderInfo* info, int32_t scan_limit) {
  if (path == nullptr || info == nullptr) return 0;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return 0;
  const int32_t found = scan(file, info, scan_limit);
  fclose(file);
  return found;
}
