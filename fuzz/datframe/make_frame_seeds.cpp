// SPDX-License-Identifier: MIT
// Writes the seed corpus of the frames fuzz target: a few frames of the kinds
// a tape holds, built with the frame builder.
//   make_frame_seeds FOLDER
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "datframe/dat_frame.h"
#include "datframe/frame_build.h"
#include "fuzz/datframe/frames_input.h"

namespace {

struct Seed {
  DatFrame frame;
  FramesControl control;
};

void set_pair(uint8_t* area, int32_t pair, int32_t left, int32_t right) {
  uint8_t* p = area + 4 * pair;
  p[0] = static_cast<uint8_t>(left);
  p[1] = static_cast<uint8_t>(left >> 8);
  p[2] = static_cast<uint8_t>(right);
  p[3] = static_cast<uint8_t>(right >> 8);
}

// A program's frame: program-time and absolute-time packs, date, sub-ID, main ID.
bool program_frame(Seed* s, int32_t program, int32_t rate, int32_t quant, int32_t control_id) {
  std::memset(s, 0, sizeof *s);
  FrameDate date = {3, 24, 5, 17, 10, 15, 30};
  uint32_t t = time_code_from_values(0, 1, 2, 3);
  return frame_set_time_pack(&s->frame, 1, PACK_ITEM_PROGRAM_TIME, program, 0x01, t) == 0 &&
         frame_set_time_pack(&s->frame, 2, PACK_ITEM_ABSOLUTE_TIME, program, 0x01, t) == 0 &&
         frame_set_date_pack(&s->frame, 3, &date) == 0 && frame_set_sub_id(&s->frame, program, 3) == 0 &&
         frame_set_control_id(&s->frame, control_id) == 0 && frame_set_main_id(&s->frame, rate, 0, quant, 0) == 0 &&
         frame_set_pack_parity(&s->frame) == 3;
}

void sine(uint8_t* area, int32_t pairs, int32_t every_spike) {
  for (int32_t k = 0; k < pairs; ++k) {
    int32_t left = static_cast<int32_t>(9000.0 * std::sin(k * 0.07));
    int32_t right = static_cast<int32_t>(7000.0 * std::sin(k * 0.05 + 1.0));
    if (every_spike > 0 && k % every_spike == 3) left = right = 0;
    set_pair(area, k, left, right);
  }
}

bool write_seed(const std::string& folder, const char* name, const Seed& s) {
  std::string path = folder + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::printf("make_frame_seeds: cannot create %s\n", path.c_str());
    return false;
  }
  bool ok = std::fwrite(&s.frame, sizeof s.frame, 1, f) == 1 && std::fwrite(&s.control, sizeof s.control, 1, f) == 1;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) std::printf("make_frame_seeds: cannot write %s\n", path.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: make_frame_seeds FOLDER\n");
    return 2;
  }
  build_frame_tables();
  std::string folder = argv[1];
  Seed s;
  bool ok = true;

  // 48 kHz start-ID frame of program 1, clean.
  ok = ok && program_frame(&s, 0x001, 0, 0, SID_START_ID | SID_PRIORITY);
  sine(s.frame.audio, 1440, 0);
  ok = ok && write_seed(folder, "48k_start_id", s);

  // 44.1 kHz frame with damaged samples, both channels flagged, /ERRORCORRECT.
  ok = ok && program_frame(&s, 0x012, 1, 0, 0);
  sine(s.frame.audio, 1323, 40);
  s.frame.interpolate_flags = 0x60;
  s.control.flags = 2;
  ok = ok && write_seed(folder, "44k_flagged", s);

  // 32 kHz long-play frame, right channel flagged, PCM buffer differing.
  ok = ok && program_frame(&s, 0x123, 2, 1, 0);
  static uint8_t pcm[DAT_LP_PCM_BYTES];
  sine(pcm, 1920, 0);
  ok = ok && lp_pack_frame(s.frame.audio, pcm) == DAT_AUDIO_BYTES;
  s.frame.interpolate_flags = 0x20;
  s.control.flags = 2 | (2 << 3);
  s.control.pcm_change = 0x40;
  s.control.pcm_at[0] = 0x10;
  ok = ok && write_seed(folder, "32k_long_play", s);

  // Lead-in: program 0x0BB, no time, start ID alone.
  ok = ok && program_frame(&s, PROGRAM_LEAD_IN, 0, 0, SID_START_ID);
  ok = ok && frame_set_time_pack(&s.frame, 1, PACK_ITEM_PROGRAM_TIME, PROGRAM_LEAD_IN, 0x01, TIME_CODE_NONE) == 0;
  ok = ok && frame_set_time_pack(&s.frame, 2, PACK_ITEM_ABSOLUTE_TIME, PROGRAM_LEAD_IN, 0x01, TIME_CODE_NONE) == 0;
  ok = ok && write_seed(folder, "lead_in", s);

  // A blank frame analysed 62 times: the stop of a blank stretch.
  std::memset(&s, 0, sizeof s);
  s.control.repeats = 61;
  ok = ok && write_seed(folder, "blank_stretch", s);

  // A frame the drive could not fix, with a byte count beyond the audio area.
  ok = ok && program_frame(&s, 0x002, 0, 0, 0);
  sine(s.frame.audio, 1440, 7);
  s.frame.interpolate_flags = 0x80;
  s.control.bytes[0] = DAT_LP_PCM_BYTES & 0xFF;
  s.control.bytes[1] = DAT_LP_PCM_BYTES >> 8;
  ok = ok && write_seed(folder, "not_fixed_long_count", s);

  if (!ok) return 1;
  std::printf("make_frame_seeds: 6 seeds in %s\n", folder.c_str());
  return 0;
}
