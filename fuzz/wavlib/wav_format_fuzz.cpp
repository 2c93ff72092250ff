// SPDX-License-Identifier: MIT
// The format queries: ReadWAVSampleRate and ReadWAVSourceFormat.
#include "fuzz/support/input_file.h"
#include "wavlib/thistle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = write_input(data, size);
  int32_t channels = -1, rate = -1, figure = -1;
  const int32_t stored = ReadWAVSampleRate(path, &channels, &rate, &figure);
  if (stored == 0 && (channels != -1 || rate != -1 || figure != -1)) abort();
  WavSourceFormat format{-1, -1, -1, -1, 0};
  if (ReadWAVSourceFormat(path, &format) == 1) {
    if (stored != 1 || format.channels != channels || format.rate != rate) abort();
    if (format.data_bytes > size) abort();
  } else if (format.format_tag != -1) {
    abort();
  }
  return 0;
}
