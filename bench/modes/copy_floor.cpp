// SPDX-License-Identifier: MIT
// The least work any extraction of a cassette must do: read its frames and
// write the audio of each to a file (no subcode, no drive, no WAV header).
// The extraction benchmark times it beside kestrel to show what the file
// system itself costs.
//   copy_floor CASSETTE OUTPUT
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "datframe/dat_frame.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: copy_floor CASSETTE OUTPUT\n");
    return 2;
  }
  int in = open(argv[1], O_RDONLY);
  FILE* out = std::fopen(argv[2], "w+b");
  if (in < 0 || !out) {
    std::perror("copy_floor");
    return 1;
  }
  static char buffer[1 << 20];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  const size_t kBatch = 64;
  std::vector<uint8_t> batch(kBatch * DAT_FRAME_BYTES);
  off_t offset = 0;
  for (;;) {
    ssize_t got = pread(in, batch.data(), batch.size(), offset);
    if (got <= 0) break;
    size_t frames = static_cast<size_t>(got) / DAT_FRAME_BYTES;
    for (size_t i = 0; i < frames; ++i)
      if (std::fwrite(batch.data() + i * DAT_FRAME_BYTES, 1, DAT_AUDIO_BYTES, out) != DAT_AUDIO_BYTES) return 1;
    offset += got;
  }
  close(in);
  return std::fclose(out) == 0 ? 0 : 1;
}
