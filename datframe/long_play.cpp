// SPDX-License-Identifier: MIT
// The long-play 12-bit non-linear sample codec: the curve both ways, and the
// conversion of a whole frame between its long-play audio area and 16-bit PCM.
#include <array>
#include <bit>
#include <cstring>

#include "datframe/dat_frame.h"
#include "datframe/frame_tables_internal.h"

namespace {

const int32_t kLpPairs = DAT_LP_PCM_BYTES / 4;

constexpr int32_t expand_code(int32_t code) {
  int32_t v = ((code & 0xFFF) ^ 0x800) - 0x800;  // -2048..2047
  if (v >= 1792) return (v - 1536) * 64;
  if (v >= 1536) return (v - 1280) * 32;
  if (v >= 1280) return (v - 1024) * 16;
  if (v >= 1024) return (v - 768) * 8;
  if (v >= 768) return (v - 512) * 4;
  if (v >= 512) return (v - 256) * 2;
  if (v >= -512) return v;
  if (v >= -768) return (v + 256) * 2;
  if (v >= -1024) return (v + 512) * 4;
  if (v >= -1280) return (v + 768) * 8;
  if (v >= -1536) return (v + 1024) * 16;
  if (v >= -1792) return (v + 1280) * 32;
  return (v + 1536) * 64;
}

// The curve for every 12-bit pattern, so that unpacking a frame is lookups.
constexpr std::array<int16_t, 4096> make_expand_table() {
  std::array<int16_t, 4096> table{};
  for (int32_t c = 0; c < 4096; ++c) table[c] = static_cast<int16_t>(expand_code(c));
  return table;
}
constexpr std::array<int16_t, 4096> kExpand = make_expand_table();

static_assert(kExpand[2047] == 32704 && kExpand[2048] == -32768 && kExpand[4095] == -1);

// One sample pair, left low byte first, in a single load where the host allows.
inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, 4);
  } else {
    v = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  return v;
}

// One sample pair, left low byte first, in a single store where the host allows.
inline void store_le32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 4);
  } else {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
  }
}

}  // namespace

int32_t lp_expand(int32_t code) { return expand_code(code); }

int32_t lp_compress(int32_t sample) {
  int32_t x = sample & 0xFFFF;
  if (x > 32768) x -= 65536;
  if (x >= 16384) return x / 64 + 1536;
  if (x >= 8192) return x / 32 + 1280;
  if (x >= 4096) return x / 16 + 1024;
  if (x >= 2048) return x / 8 + 768;
  if (x >= 1024) return x / 4 + 512;
  if (x >= 512) return x / 2 + 256;
  if (x >= -512) return x;
  if (x >= -1024) return (x + 1) / 2 - 257;
  if (x >= -2048) return (x + 1) / 4 - 513;
  if (x >= -4096) return (x + 1) / 8 - 769;
  if (x >= -8192) return (x + 1) / 16 - 1025;
  if (x >= -16384) return (x + 1) / 32 - 1281;
  return (x + 1) / 64 - 1537;
}

int32_t lp_unpack_frame(uint8_t* pcm, const DatFrame* frame) {
  if (!frame_tables_built()) return -1;
  const uint8_t* audio = frame->audio;
  const int16_t* at = lp_position;
  for (int32_t j = 0; j < kLpPairs; ++j, at += 3, pcm += 4) {
    uint32_t b0 = audio[at[0]];
    uint32_t b1 = audio[at[1]];
    uint32_t b2 = audio[at[2]];
    // Upper byte and nibble make the 12-bit pattern; the table reads it as signed.
    uint32_t left = static_cast<uint16_t>(kExpand[((b0 << 4) | (b1 >> 4)) & 0xFFF]);
    uint32_t right = static_cast<uint16_t>(kExpand[((b2 << 4) | (b1 & 0x0F)) & 0xFFF]);
    store_le32(pcm, left | (right << 16));
  }
  return DAT_LP_PCM_BYTES;
}

int32_t lp_pack_frame(uint8_t* audio, const uint8_t* pcm) {
  if (!frame_tables_built()) return -1;
  const int16_t* at = lp_position;
  for (int32_t j = 0; j < kLpPairs; ++j, at += 3, pcm += 4) {
    uint32_t pair = load_le32(pcm);
    int32_t cl = lp_compress_table[pair & 0xFFFF];
    int32_t cr = lp_compress_table[pair >> 16];
    audio[at[0]] = static_cast<uint8_t>(cl >> 4);
    audio[at[1]] = static_cast<uint8_t>(((cl & 0x0F) << 4) | (cr & 0x0F));
    audio[at[2]] = static_cast<uint8_t>(cr >> 4);
  }
  return DAT_AUDIO_BYTES;
}
