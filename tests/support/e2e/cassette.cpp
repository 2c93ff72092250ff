#include "tests/support/e2e/cassette.h"

#include <cstdio>
#include <cstring>

namespace {

uint8_t bcd(uint32_t value) { return static_cast<uint8_t>((value / 10 % 10) << 4 | value % 10); }

void fill_time_pack(uint8_t* pack, int item, int program, int64_t frames) {
  std::memset(pack, 0, DAT_PACK_BYTES);
  pack[0] = static_cast<uint8_t>(item << 4 | (program / 100 % 10));
  pack[1] = bcd(static_cast<uint32_t>(program % 100));
  pack[2] = 0x01;  // index number
  test_time_code(static_cast<uint32_t>(frames), pack + 3);
  for (int i = 0; i < 7; ++i) pack[7] ^= pack[i];
}

}  // namespace

void test_time_code(uint32_t frame_count, uint8_t* bytes) {
  uint32_t in_group = frame_count % 100;
  uint32_t second_in_group = in_group < 33 ? 0 : in_group < 66 ? 1 : 2;
  uint32_t seconds = frame_count / 100 * 3 + second_in_group;
  bytes[0] = bcd(seconds / 3600);
  bytes[1] = bcd(seconds / 60 % 60);
  bytes[2] = bcd(seconds % 60);
  bytes[3] = bcd(in_group - 33 * second_in_group);
}

void fill_test_frame(DatFrame* frame, int program, int64_t absolute, int64_t program_time,
                     bool start_id, uint32_t tape_index) {
  std::memset(frame, 0, sizeof *frame);
  for (size_t i = 0; i < DAT_AUDIO_BYTES; ++i)
    frame->audio[i] = static_cast<uint8_t>(tape_index * 7 + i * 13);
  int packs = 0;
  if (program_time >= 0) fill_time_pack(frame->pack[packs++], PACK_ITEM_PROGRAM_TIME, program, program_time);
  if (absolute >= 0) fill_time_pack(frame->pack[packs++], PACK_ITEM_ABSOLUTE_TIME, program, absolute);
  frame->sid_control = start_id ? SID_PRIORITY | SID_START_ID : 0;
  frame->sid_pno1 = static_cast<uint8_t>((program / 100 % 10) << 4 | packs);
  frame->sid_pno23 = bcd(static_cast<uint32_t>(program % 100));
  frame->main_id_format = 0;  // 48 kHz, two channels
  frame->main_id_mode = 0;    // 16-bit linear
}

bool write_cassette(const std::string& path, const std::vector<CassetteProgram>& programs) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  uint32_t index = 0;
  DatFrame frame;
  for (const CassetteProgram& p : programs) {
    for (int i = 0; i < p.frames && ok; ++i, ++index) {
      fill_test_frame(&frame, p.number, p.absolute_time ? int64_t{index} : -1, p.program_time ? int64_t{i} : -1,
                      i < p.start_id_frames, index);
      ok = std::fwrite(&frame, sizeof frame, 1, f) == 1;
    }
  }
  return std::fclose(f) == 0 && ok;
}
