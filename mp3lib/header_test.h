// What sorrel's header scan and its stream check share (not exported).
#pragma once

#include <cstdint>

// Whether h, the four bytes at a position (first byte most significant), is
// taken for an MPEG audio frame header; words that begin 0xFF 0xFF, 0xFF 0xEF
// or 0xFF 0xFE, and reserved fields, are not.
bool mpeg_header_valid(uint32_t h);

// Whether h is the header of an MPEG-1 Layer II joint-stereo frame whose
// stereo bound lies beyond the sideband limit of its allocation table, a
// frame libmpg123 prints a warning about when it decodes it.
bool layer2_bound_truncated(uint32_t h);

// The size of an ID3v2 tag's body from its four size bytes (7 bits each).
inline long id3v2_body_size(const unsigned char size[4]) {
  return static_cast<long>((size[0] & 0x7Fu) << 21 | (size[1] & 0x7Fu) << 14 | (size[2] & 0x7Fu) << 7 |
                           (size[3] & 0x7Fu));
}
