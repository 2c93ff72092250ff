// SPDX-License-Identifier: MIT
#include "wavlib/riff.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

uint32_t little32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Size of a regular file; the largest value for anything else, which then
// ends only where a read comes up short.
uint64_t file_size(FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return UINT64_MAX;
  return static_cast<uint64_t>(info.st_size);
}

int seek_to(FILE* file, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

// Reads one 8-byte chunk header at the stream's position.
int read_header(FILE* file, uint32_t* id, uint32_t* size) {
  unsigned char bytes[8];
  if (fread(bytes, 1, sizeof bytes, file) != sizeof bytes) return -1;
  *id = little32(bytes);
  *size = little32(bytes + 4);
  return 0;
}

uint32_t available_within(uint64_t contents, uint32_t size, uint64_t end) {
  if (contents >= end) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(size, end - contents));
}

}  // namespace

int riff_descend(FILE* file, RiffChunk* riff) {
  if (seek_to(file, 0) != 0) return -1;
  uint32_t id = 0;
  uint32_t size = 0;
  unsigned char form[4];
  if (read_header(file, &id, &size) != 0 || id != fourcc("RIFF")) return -1;
  if (fread(form, 1, sizeof form, file) != sizeof form) return -1;
  riff->id = id;
  riff->size = size;
  riff->contents = 8;
  riff->available = available_within(8, size, file_size(file));
  return 0;
}

int riff_find(FILE* file, const RiffChunk& riff, uint32_t id, RiffChunk* chunk) {
  // The RIFF chunk's first four bytes are its form type; subchunks follow.
  const uint64_t end = riff.contents + riff.available;
  uint64_t position = riff.contents + 4;
  while (position + 8 <= end) {
    uint32_t found = 0;
    uint32_t size = 0;
    if (seek_to(file, position) != 0 || read_header(file, &found, &size) != 0) return -1;
    const uint64_t contents = position + 8;
    if (found == id) {
      chunk->id = found;
      chunk->size = size;
      chunk->contents = contents;
      chunk->available = available_within(contents, size, end);
      return 0;
    }
    // Chunks are word aligned: an odd-sized one is followed by a pad byte.
    position = contents + size + (size & 1u);
  }
  return -1;
}
