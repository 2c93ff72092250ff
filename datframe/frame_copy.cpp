#include "datframe/frame_copy.h"

#include <cstring>

#include "datframe/frame_build.h"
#include "datframe/frame_info.h"

namespace {

const uint32_t kBothChannels = 0x60;

}  // namespace

int32_t copy_rank(int32_t readable, uint32_t flags) {
  if (!readable) return COPY_UNREADABLE;
  if (flags == 0) return COPY_CLEAN;
  if ((flags & ~kBothChannels) == 0 && flags != kBothChannels) return COPY_ONE_FLAGGED;
  return COPY_BOTH_FLAGGED;
}

int32_t record_rank(const DatFrame* record) {
  return frame_is_stand_in(record) ? COPY_UNREADABLE : copy_rank(1, record->interpolate_flags);
}

FrameKey frame_key(const FrameInfo* info) {
  FrameKey key{-1, info->sub_id_program};
  if (info->absolute.valid) key.time = time_code_frames(info->absolute.code);
  return key;
}

int32_t frame_keys_match(const FrameKey* a, const FrameKey* b) {
  if (a->time < 0 || a->time != b->time) return 0;
  return a->program < 0 || b->program < 0 || a->program == b->program ? 1 : 0;
}

int64_t time_code_frames(uint32_t code) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(code >> 24), static_cast<uint8_t>(code >> 16),
                            static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
  return dat_frames_of_time_code(bytes);
}

uint32_t frames_time_code(int64_t frames) {
  uint8_t bytes[4];
  dat_time_code_of_frames(frames < 0 ? 0 : static_cast<uint64_t>(frames), bytes);
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

void frame_make_stand_in(DatFrame* out, const FrameKey* key, const DatFrame* like) {
  std::memset(out, 0, sizeof *out);
  int32_t program = key->program >= 0 ? key->program : PROGRAM_NONE;
  int32_t packs = 0;
  if (key->time >= 0) {
    frame_set_time_pack(out, 1, PACK_ITEM_ABSOLUTE_TIME, program, 0, frames_time_code(key->time));
    packs = 1;
  }
  frame_set_sub_id(out, program, packs);
  frame_set_pack_parity(out);
  if (like) {
    out->main_id_format = like->main_id_format;
    out->main_id_mode = like->main_id_mode;
  } else {
    frame_set_main_id(out, 0, 0, 0, 0);
  }
  out->interpolate_flags = kBothChannels;
}

int32_t frame_is_stand_in(const DatFrame* record) {
  if (record->interpolate_flags != kBothChannels) return 0;
  for (uint8_t byte : record->audio)
    if (byte != 0) return 0;
  return 1;
}
