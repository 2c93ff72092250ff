// SPDX-License-Identifier: MIT
// Building the subcode of a frame.
#include "datframe/frame_build.h"

#include <cstring>

namespace {

bool in_range(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

uint8_t* slot_bytes(DatFrame* frame, int32_t slot) {
  return in_range(slot, 1, DAT_PACK_COUNT) ? frame->pack[slot - 1] : nullptr;
}

}  // namespace

uint8_t bcd_from_value(int32_t value) { return dat_bcd_byte(static_cast<uint32_t>(value)); }

int32_t program_number_bcd(int32_t number) {
  if (!in_range(number, 0, 999)) return -1;
  return ((number / 100) << 8) | bcd_from_value(number % 100);
}

uint32_t time_code_from_values(int32_t hours, int32_t minutes, int32_t seconds, int32_t frame) {
  if (!in_range(hours, 0, 99) || !in_range(minutes, 0, 59) || !in_range(seconds, 0, 59) ||
      !in_range(frame, 0, 33)) {
    return TIME_CODE_NONE;
  }
  return (static_cast<uint32_t>(bcd_from_value(hours)) << 24) | (static_cast<uint32_t>(bcd_from_value(minutes)) << 16) |
         (static_cast<uint32_t>(bcd_from_value(seconds)) << 8) | bcd_from_value(frame);
}

int32_t frame_set_time_pack(DatFrame* frame, int32_t slot, int32_t item, int32_t program, uint8_t index,
                            uint32_t time) {
  uint8_t* pack = slot_bytes(frame, slot);
  if (!pack || (item != PACK_ITEM_PROGRAM_TIME && item != PACK_ITEM_ABSOLUTE_TIME)) return -1;
  pack[0] = static_cast<uint8_t>((item << 4) | ((program >> 8) & 0x07));
  pack[1] = static_cast<uint8_t>(program);
  pack[2] = index;
  pack[3] = static_cast<uint8_t>(time >> 24);
  pack[4] = static_cast<uint8_t>(time >> 16);
  pack[5] = static_cast<uint8_t>(time >> 8);
  pack[6] = static_cast<uint8_t>(time);
  return 0;
}

int32_t frame_set_date_pack(DatFrame* frame, int32_t slot, const FrameDate* date) {
  uint8_t* pack = slot_bytes(frame, slot);
  if (!pack || !date || !in_range(date->weekday, 1, 7) || !in_range(date->year, 0, 99) ||
      !in_range(date->month, 1, 12) || !in_range(date->day, 1, 31) || !in_range(date->hour, 0, 23) ||
      !in_range(date->minute, 0, 59) || !in_range(date->second, 0, 59)) {
    return -1;
  }
  pack[0] = static_cast<uint8_t>((PACK_ITEM_DATE << 4) | date->weekday);
  pack[1] = bcd_from_value(date->year);
  pack[2] = bcd_from_value(date->month);
  pack[3] = bcd_from_value(date->day);
  pack[4] = bcd_from_value(date->hour);
  pack[5] = bcd_from_value(date->minute);
  pack[6] = bcd_from_value(date->second);
  return 0;
}

int32_t frame_clear_pack(DatFrame* frame, int32_t slot) {
  uint8_t* pack = slot_bytes(frame, slot);
  if (!pack) return -1;
  std::memset(pack, 0, DAT_PACK_BYTES);
  return 0;
}

int32_t frame_set_pack_parity(DatFrame* frame) {
  int32_t count = frame->sid_pno1 & 0x0F;
  // The count field holds up to 15; a frame has seven packs.
  if (count > DAT_PACK_COUNT) count = DAT_PACK_COUNT;
  for (int32_t slot = 0; slot < count; ++slot) {
    uint8_t* pack = frame->pack[slot];
    uint8_t parity = 0;
    for (int32_t b = 0; b < DAT_PACK_BYTES - 1; ++b) parity ^= pack[b];
    pack[DAT_PACK_BYTES - 1] = parity;
  }
  return count;
}

int32_t frame_set_sub_id(DatFrame* frame, int32_t program, int32_t pack_count) {
  if (!in_range(program, 0, 0xFFF) || !in_range(pack_count, 0, DAT_PACK_COUNT)) return -1;
  frame->sid_pno1 = static_cast<uint8_t>(((program >> 8) << 4) | pack_count);
  frame->sid_pno23 = static_cast<uint8_t>(program);
  return 0;
}

int32_t frame_set_control_id(DatFrame* frame, int32_t control) {
  if (!in_range(control, 0, 0xFF) || (control & 0x0F) != 0) return -1;
  frame->sid_control = static_cast<uint8_t>(control | (frame->sid_control & 0x0F));
  return 0;
}

int32_t frame_set_main_id(DatFrame* frame, int32_t rate_code, int32_t channel_code, int32_t quant_code,
                          int32_t scms_code) {
  if (!in_range(rate_code, 0, 3) || !in_range(channel_code, 0, 3) || !in_range(quant_code, 0, 3) ||
      !in_range(scms_code, 0, 3)) {
    return -1;
  }
  frame->main_id_format = static_cast<uint8_t>((rate_code << 2) | channel_code);
  frame->main_id_mode = static_cast<uint8_t>((quant_code << 6) | (scms_code << 2));
  return 0;
}
