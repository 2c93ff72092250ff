// SPDX-License-Identifier: MIT
// What sorrel's header scan and its stream check share (not exported).
#pragma once

#include <cstdint>

// Whether h, the four bytes at a position (first byte most significant), is
// taken for an MPEG audio frame header; words that begin 0xFF 0xFF, 0xFF 0xEF
// or 0xFF 0xFE, and reserved fields, are not.
bool mpeg_header_valid(uint32_t h);

// Whether h is the header of an MPEG-1 Layer II joint-stereo frame whose
// stereo bound lies beyond the sideband limit of its allocation table, a
// frame libmpg123 prints a warning about when it decodes it. Inline: the
// decoder asks it of every word it feeds.
inline bool layer2_bound_truncated(uint32_t h) {
  // Frame sync, MPEG-1 and Layer II in the top 15 bits; joint stereo.
  if (h >> 17 != 0x7FFE || (h >> 6 & 3u) != 1) return false;
  const uint32_t rate = h >> 10 & 3u;
  const uint32_t index = h >> 12 & 15u;
  if (rate == 3 || index == 15) return false;
  // The subbands of the allocation table libmpg123 picks for two channels,
  // per sampling rate (44100, 48000, 32000) and bit-rate index.
  static constexpr unsigned char kSubbands[3][16] = {
      {27, 8, 8, 8, 8, 8, 8, 27, 27, 27, 30, 30, 30, 30, 30, 27},
      {27, 8, 8, 8, 8, 8, 8, 27, 27, 27, 27, 27, 27, 27, 27, 27},
      {27, 12, 12, 12, 12, 12, 12, 27, 27, 27, 30, 30, 30, 30, 30, 27}};
  const uint32_t bound = (h >> 4 & 3u) * 4 + 4;
  return bound > kSubbands[rate][index];
}

// The size of an ID3v2 tag's body from its four size bytes (7 bits each).
inline long id3v2_body_size(const unsigned char size[4]) {
  return static_cast<long>((size[0] & 0x7Fu) << 21 | (size[1] & 0x7Fu) << 14 | (size[2] & 0x7Fu) << 7 |
                           (size[3] & 0x7Fu));
}
