// SPDX-License-Identifier: MIT
#include "datframe/frame_copy.h"

#include <cstring>

#include "datframe/frame_build.h"
#include "datframe/frame_info.h"

namespace {

const uint32_t kBothChannels = 0x60;
// The data ID (sub-ID bits 3-0) of a stand-in: a drive in audio mode gives
// 0, and the format has no use for this one.
const uint8_t kStandInDataId = 0x0F;

bool silent(const DatFrame* record) {
  for (uint8_t byte : record->audio)
    if (byte != 0) return false;
  return true;
}

// The stand-in as images kept it before the mark: program 0AA in the sub-ID,
// no pack or only an absolute-time pack of 0AA in slot 1.
bool unmarked_stand_in(const DatFrame* r) {
  if (r->sid_control != 0 || r->sid_pno1 > 1 || r->sid_pno23 != 0xAA) return false;
  for (int slot = 1; slot < DAT_PACK_COUNT; ++slot)
    for (uint8_t byte : r->pack[slot])
      if (byte != 0) return false;
  const uint8_t* p = r->pack[0];
  if (r->sid_pno1 == 1) return p[0] == PACK_ITEM_ABSOLUTE_TIME << 4 && p[1] == 0xAA && p[2] == 0;
  for (int i = 0; i < DAT_PACK_BYTES; ++i)
    if (p[i] != 0) return false;
  return true;
}

bool is_number(int32_t program) { return program >= 0 && frame_program_kind(program) == FRAME_PROGRAM_NUMBER; }

bool is_lead(int32_t program) {
  return program >= 0 && (frame_program_kind(program) == FRAME_PROGRAM_LEAD_IN ||
                          frame_program_kind(program) == FRAME_PROGRAM_LEAD_OUT);
}

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

FrameKey place_unreadable_run(const FrameKey* before, const FrameKey* after, int64_t count) {
  FrameKey place{-1, -1};
  if (before->time >= 0 && (!after || after->time == before->time + count + 1)) place.time = before->time + 1;
  const int32_t around[2] = {before->program, after ? after->program : -1};
  for (int32_t program : around)
    if (place.program < 0 && is_number(program)) place.program = program;
  for (int32_t program : around)
    if (place.program < 0 && is_lead(program)) place.program = program;
  return place;
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
  out->sid_control = kStandInDataId;
  out->interpolate_flags = kBothChannels;
}

int32_t frame_is_stand_in(const DatFrame* record) {
  if (record->interpolate_flags != kBothChannels || !silent(record)) return 0;
  return (record->sid_control & 0x0F) == kStandInDataId || unmarked_stand_in(record) ? 1 : 0;
}
