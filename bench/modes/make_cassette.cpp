// SPDX-License-Identifier: MIT
// Writes a cassette for the benchmarks: FRAMES frames of 48 kHz audio in
// programs of PROGRAM_FRAMES frames (default 3000), each beginning with a
// start-ID run; with DAMAGED, that many frames spread evenly over it are
// flagged by the drive, in turn on the left, the right and both channels.
// NUMBERS (such as 1,2,3,5) numbers the programs in turn instead of 1, 2,
// 3, ... and gives each a date pack of its own (the n-th program recorded on
// day n of March 2024, at n minutes past noon); LEAD_OUT frames of a
// recorder's lead-out follow the programs.
//   make_cassette PATH FRAMES [PROGRAM_FRAMES [DAMAGED [NUMBERS [LEAD_OUT]]]]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/support/cassette.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 7) {
    std::fprintf(stderr, "usage: make_cassette PATH FRAMES [PROGRAM_FRAMES [DAMAGED [NUMBERS [LEAD_OUT]]]]\n");
    return 2;
  }
  long frames = std::atol(argv[2]);
  long program_frames = argc >= 4 ? std::atol(argv[3]) : 3000;
  long damaged = argc >= 5 ? std::atol(argv[4]) : 0;
  std::vector<int> numbers;
  for (const char* at = argc >= 6 ? argv[5] : ""; *at;) {
    char* end = nullptr;
    long n = std::strtol(at, &end, 10);
    if (end == at || n < 1 || n > 799 || (*end != ',' && *end != '\0')) {
      std::fprintf(stderr, "make_cassette: NUMBERS is a list such as 1,2,3,5 of numbers 1 to 799\n");
      return 2;
    }
    numbers.push_back(static_cast<int>(n));
    at = *end ? end + 1 : end;
  }
  long lead_out = argc == 7 ? std::atol(argv[6]) : 0;
  long every = damaged > 0 ? frames / damaged : 0;
  static const uint8_t kFlags[3] = {0x40, 0x20, 0x60};
  if (program_frames <= 0) {
    std::fprintf(stderr, "make_cassette: PROGRAM_FRAMES must be above 0\n");
    return 2;
  }
  FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  DatFrame frame;
  for (long i = 0; i < frames + lead_out; ++i) {
    if (i < frames) {
      int nth = static_cast<int>(i / program_frames);
      Recording r{.program = nth + 1, .start_id_frames = 300};
      if (!numbers.empty()) {
        r.program = numbers[static_cast<size_t>(nth) % numbers.size()];
        r.date = FrameDate{1 + nth % 7, 24, 3, 1 + nth % 28, 12, nth % 60, 0};
      }
      recording_frame(&frame, r, static_cast<int>(i % program_frames), static_cast<uint32_t>(i),
                      static_cast<size_t>(i));
      if (every > 0 && i % every == every / 2 && i / every < damaged) frame.interpolate_flags = kFlags[i / every % 3];
    } else {
      lead_out_frame(&frame);
    }
    if (std::fwrite(&frame, sizeof frame, 1, out) != 1) {
      std::perror(argv[1]);
      return 1;
    }
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
