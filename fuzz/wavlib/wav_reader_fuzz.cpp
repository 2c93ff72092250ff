// SPDX-License-Identifier: MIT
// The chunk walker and the reader: init_wav_decode, do_wav_decode in pieces
// of varying size, close_wav_decode.
#include <vector>

#include "fuzz/support/input_file.h"
#include "wavlib/thistle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = write_input(data, size);
  if (init_wav_decode(path) != 1) abort();
  // Piece sizes from the file's own last bytes, so they vary with the input.
  const uint32_t piece = size > 0 ? 1u + data[size - 1] * 37u : 5760u;
  std::vector<unsigned char> buffer(piece);
  size_t total = 0;
  for (;;) {
    const int32_t got = do_wav_decode(buffer.data(), piece);
    if (got < 0 || static_cast<uint32_t>(got) > piece) abort();
    total += static_cast<size_t>(got);
    if (total > size) abort();  // never more than the file holds
    if (static_cast<uint32_t>(got) < piece) break;
  }
  if (close_wav_decode() != 1) abort();
  return 0;
}
