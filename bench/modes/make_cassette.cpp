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
#include <cstring>
#include <vector>

#include "datframe/dat_frame.h"
#include "datframe/frame_build.h"

namespace {

uint32_t time_code_of_frames(uint32_t frames) {
  uint32_t in_group = frames % 100;
  uint32_t second_in_group = in_group < 33 ? 0 : in_group < 66 ? 1 : 2;
  uint32_t seconds = frames / 100 * 3 + second_in_group;
  return time_code_from_values(static_cast<int32_t>(seconds / 3600), static_cast<int32_t>(seconds / 60 % 60),
                               static_cast<int32_t>(seconds % 60), static_cast<int32_t>(in_group - 33 * second_in_group));
}

}  // namespace

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
  uint32_t noise = 1;
  for (long i = 0; i < frames; ++i) {
    std::memset(&frame, 0, sizeof frame);
    for (size_t k = 0; k < DAT_AUDIO_BYTES; ++k) {
      noise = noise * 1664525u + 1013904223u;
      frame.audio[k] = static_cast<uint8_t>(noise >> 24);
    }
    int nth = static_cast<int>(i / program_frames);
    int program = nth + 1;
    if (!numbers.empty()) program = numbers[static_cast<size_t>(nth) % numbers.size()];
    int in_program = static_cast<int>(i % program_frames);
    frame_set_time_pack(&frame, 1, PACK_ITEM_PROGRAM_TIME, program_number_bcd(program), 1,
                        time_code_of_frames(static_cast<uint32_t>(in_program)));
    frame_set_time_pack(&frame, 2, PACK_ITEM_ABSOLUTE_TIME, program_number_bcd(program), 1,
                        time_code_of_frames(static_cast<uint32_t>(i)));
    int packs = 2;
    if (!numbers.empty()) {
      FrameDate date{1 + nth % 7, 24, 3, 1 + nth % 28, 12, nth % 60, 0};
      frame_set_date_pack(&frame, 3, &date);
      packs = 3;
    }
    frame_set_sub_id(&frame, program_number_bcd(program), packs);
    frame_set_pack_parity(&frame);
    frame_set_control_id(&frame, in_program < 300 ? SID_PRIORITY | SID_START_ID : 0);
    frame_set_main_id(&frame, 0, 0, 0, 0);
    if (every > 0 && i % every == every / 2 && i / every < damaged) frame.interpolate_flags = kFlags[i / every % 3];
    if (std::fwrite(&frame, sizeof frame, 1, out) != 1) {
      std::perror(argv[1]);
      return 1;
    }
  }
  // A lead-out as a recorder writes it: program 0EE, no times, silence.
  std::memset(&frame, 0, sizeof frame);
  frame_set_time_pack(&frame, 1, PACK_ITEM_PROGRAM_TIME, PROGRAM_LEAD_OUT, 1, TIME_CODE_NONE);
  frame_set_time_pack(&frame, 2, PACK_ITEM_ABSOLUTE_TIME, PROGRAM_LEAD_OUT, 1, TIME_CODE_NONE);
  frame_set_sub_id(&frame, PROGRAM_LEAD_OUT, 2);
  frame_set_pack_parity(&frame);
  frame_set_control_id(&frame, SID_PRIORITY);
  frame_set_main_id(&frame, 0, 0, 0, 0);
  for (long i = 0; i < lead_out; ++i) {
    if (std::fwrite(&frame, sizeof frame, 1, out) != 1) {
      std::perror(argv[1]);
      return 1;
    }
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
