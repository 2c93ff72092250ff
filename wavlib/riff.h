// SPDX-License-Identifier: MIT
// thistle's RIFF chunk walker over stdio: finds the RIFF chunk at the start of
// a file and the subchunks inside it. Internal to thistle.
#pragma once

#include <cstdint>
#include <cstdio>

// A four-character code as it reads in the file, first character lowest.
constexpr uint32_t fourcc(const char (&text)[5]) {
  return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) |
         static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}

struct RiffChunk {
  uint32_t id;
  // Size as stated in the chunk header.
  uint32_t size;
  // Bytes of the contents that lie inside both the parent chunk and the file:
  // never more than size.
  uint32_t available;
  // File offset of the first byte of the contents.
  uint64_t contents;
};

// Enters the RIFF chunk that starts the file (any form type). 0 with the chunk
// filled and the stream at the first subchunk, -1 when the file does not
// start with one.
int riff_descend(FILE* file, RiffChunk* riff);

// Searches the subchunks of riff, from its first, for one with the given ID.
// 0 with the chunk filled and the stream at its first content byte; -1 when
// the end of riff or of the file comes first.
int riff_find(FILE* file, const RiffChunk& riff, uint32_t id, RiffChunk* chunk);
