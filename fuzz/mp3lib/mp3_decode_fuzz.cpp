// SPDX-License-Identifier: MIT
// The decoder: ReadMP3StreamFormat, then init_mp3_decode, do_mp3_decode
// until the audio ends, close_mp3_decode, with request and chunk sizes taken
// from the input.
#include <vector>

#include "fuzz/support/input_file.h"
#include "mp3lib/sorrel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t n = 5760;
  int32_t chunk = 10000;
  if (size >= 2) {
    n = 256u + (data[0] | static_cast<uint32_t>(data[1] & 0x1F) << 8);
    chunk = 64 + data[1] * 64;
  }
  const char* path = write_input(data, size);
  int32_t channels = 0;
  int32_t rate = 0;
  if (ReadMP3StreamFormat(path, &channels, &rate) == 1 && (channels < 1 || channels > 2 || rate <= 0)) abort();
  if (init_mp3_decode(path, chunk, 2, 44100, 128000) == 1) {
    // Exactly the room the contract asks for, so that any overrun shows.
    std::vector<unsigned char> buffer(n + static_cast<uint32_t>(chunk) - 1);
    for (int calls = 0; calls < 5000; ++calls) {
      const int32_t got = do_mp3_decode(buffer.data(), n);
      if (got < 0 || static_cast<uint32_t>(got) > n) abort();
      if (static_cast<uint32_t>(got) < n) {
        if (do_mp3_decode(buffer.data(), n) != 0) abort();
        break;
      }
    }
  }
  if (close_mp3_decode() != 1) abort();
  return 0;
}
