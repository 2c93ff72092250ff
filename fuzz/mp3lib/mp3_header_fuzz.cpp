// SPDX-License-Identifier: MIT
// The frame header scan: ReadMP3SampleRate.
#include "fuzz/support/input_file.h"
#include "mp3lib/sorrel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = write_input(data, size);
  MpegHeaderInfo info{-1, -1, -1, -1, -1, -1, -1, -1, -1};
  // The limit from the input too, so that it falls inside small files.
  const int32_t limit = size > 0 ? static_cast<int32_t>(data[0]) * 16 : 131072;
  if (ReadMP3SampleRate(path, &info, limit) == 1) {
    if (info.layer < 1 || info.layer > 3 || info.samplerate < 8000 || info.samplerate > 48000 ||
        info.bitrate < 0 || info.bitrate > 448 || (info.channels != 1 && info.channels != 2))
      abort();
  } else if (info.layer != -1) {
    abort();
  }
  return 0;
}
