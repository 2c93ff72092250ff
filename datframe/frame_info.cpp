// SPDX-License-Identifier: MIT
// The frame decoder and the tracker of what spans frames.
#include "datframe/frame_info.h"

namespace {

uint32_t pack_time(const uint8_t* pack) {
  return (static_cast<uint32_t>(pack[3]) << 24) | (static_cast<uint32_t>(pack[4]) << 16) |
         (static_cast<uint32_t>(pack[5]) << 8) | pack[6];
}

int32_t pack_program(const uint8_t* pack) { return ((pack[0] & 0x0F) << 8) | pack[1]; }

// Lead-in and "no number" packs carry no time of their own: the running time
// goes one frame on instead.
bool program_without_time(int32_t program) { return program == PROGRAM_LEAD_IN || program == PROGRAM_NONE; }

void take_time_pack(FramePackTime* item, const uint8_t* pack) {
  item->present = 1;
  item->last_time = pack_time(pack);
  item->last_program = pack_program(pack);
  if (program_without_time(item->last_program)) {
    item->steps_after += 1;
  } else {
    item->timed = 1;
    item->timed_time = item->last_time;
    item->timed_program = item->last_program;
    item->steps_after = 0;
  }
}

// Whether every nibble of a word is a decimal digit: adding 6 to a nibble
// carries out of it only from 10 up.
bool bcd_word(uint32_t word) {
  uint32_t low = word & 0x0F0F0F0Fu, high = (word >> 4) & 0x0F0F0F0Fu;
  return (((low + 0x06060606u) | (high + 0x06060606u)) & 0x10101010u) == 0;
}

bool time_bytes_valid(uint32_t code) { return bcd_word(code); }  // also false for the 0xAA "no time" mark



FrameTime recorded_time(const FramePackTime& item) {
  return FrameTime{item.last_time, item.present && time_bytes_valid(item.last_time) ? 1 : 0};
}

// A BCD byte in [low, high].
bool bcd_in(uint8_t byte, int low, int high) {
  if (!bcd_word(byte)) return false;
  int value = dat_bcd_value(byte);
  return value >= low && value <= high;
}

void take_date_pack(FramePackDate* date, const uint8_t* pack) {
  date->present = 1;
  date->weekday = pack[0] & 0x0F;
  date->date = (static_cast<uint32_t>(pack[1]) << 16) | (static_cast<uint32_t>(pack[2]) << 8) | pack[3];
  date->time = (static_cast<uint32_t>(pack[4]) << 16) | (static_cast<uint32_t>(pack[5]) << 8) | pack[6];
  date->valid = bcd_in(pack[1], 0, 99) && bcd_in(pack[2], 1, 12) && bcd_in(pack[3], 1, 31) && bcd_in(pack[4], 0, 23) &&
                bcd_in(pack[5], 0, 59) && bcd_in(pack[6], 0, 59);
}

}  // namespace

int32_t frame_program_kind(int32_t program) {
  switch (program) {
    case PROGRAM_LEAD_IN: return FRAME_PROGRAM_LEAD_IN;
    case PROGRAM_LEAD_OUT: return FRAME_PROGRAM_LEAD_OUT;
    case PROGRAM_NONE: return FRAME_PROGRAM_NONE;
    default: break;
  }
  bool digits = bcd_word(static_cast<uint32_t>(program) & 0xFFF);
  return digits && program != 0 && program <= 0x799 ? FRAME_PROGRAM_NUMBER : FRAME_PROGRAM_INVALID;
}

int32_t bcd_valid(uint8_t byte) { return bcd_word(byte) ? 1 : 0; }

int32_t rate_code_hz(int32_t rate_code) { return dat_rate_hz(rate_code); }

FrameInfo decode_frame(const DatFrame* frame) {
  FrameInfo info{};
  for (const uint8_t* pack : frame->pack) {
    switch (pack[0] >> 4) {
      case 0: continue;
      case PACK_ITEM_PROGRAM_TIME: take_time_pack(&info.program_pack, pack); break;
      case PACK_ITEM_ABSOLUTE_TIME: take_time_pack(&info.absolute_pack, pack); break;
      case PACK_ITEM_RUNNING_TIME: info.running = FrameTime{pack_time(pack), time_bytes_valid(pack_time(pack))}; break;
      case PACK_ITEM_DATE: take_date_pack(&info.date, pack); break;
      default: break;
    }
    info.has_packs = 1;
  }
  info.absolute = recorded_time(info.absolute_pack);
  info.program_time = recorded_time(info.program_pack);
  info.sub_id_program = ((frame->sid_pno1 & 0xF0) << 4) | frame->sid_pno23;
  info.program_kind = frame_program_kind(info.sub_id_program);
  if (info.program_kind == FRAME_PROGRAM_NUMBER)
    info.program = ((info.sub_id_program >> 8) & 0x0F) * 100 + ((info.sub_id_program >> 4) & 0x0F) * 10 +
                   (info.sub_id_program & 0x0F);
  info.control = frame->sid_control >> 4;
  info.start_id = (frame->sid_control & SID_START_ID) ? 1 : 0;
  info.rate_code = (frame->main_id_format >> 2) & 3;
  info.rate = dat_rate_hz(info.rate_code);
  info.channel_code = frame->main_id_format & 3;
  info.channels = info.channel_code == 0 ? 2 : info.channel_code == 1 ? 4 : 0;
  info.emphasis = (frame->main_id_format >> 4) & 3;
  info.quant_code = frame->main_id_mode >> 6;
  info.bits = info.quant_code == 1 ? 12 : 16;
  info.scms = (frame->main_id_mode >> 2) & 3;
  info.flags = frame->interpolate_flags;
  info.left_damaged = (info.flags & 0x40) ? 1 : 0;
  info.right_damaged = (info.flags & 0x20) ? 1 : 0;
  static const int32_t kPcmBytes[4] = {5760, 5292, 3840, 5760};
  info.pcm_bytes = info.bits == 12 ? DAT_LP_PCM_BYTES : kPcmBytes[info.rate_code];
  return info;
}

namespace {

// A blank stretch raises its stop on its 62nd frame: 61 are counted first.
const int32_t kBlankFramesCounted = 60;

uint32_t running_time(const FramePackTime& item, uint32_t running) {
  uint32_t time = item.timed ? item.timed_time : running;
  for (int32_t i = 0; i < item.steps_after; ++i) time = step_time_code(time);
  return time;
}

}  // namespace

FrameEvents track_frame(FrameTracker* t, const FrameInfo* info) {
  FrameEvents ev{};
  if (info->has_packs) {
    t->blank_frames = 0;
    t->subcode_seen = 1;
    if (info->program_pack.present) t->prog_time = running_time(info->program_pack, t->prog_time);
    if (info->absolute_pack.present) {
      t->abs_time = running_time(info->absolute_pack, t->abs_time);
      if (info->absolute_pack.timed) t->last_program = info->absolute_pack.timed_program;
    }
  } else {
    ev.blank = 1;
    if (t->blank_frames <= kBlankFramesCounted) {
      t->blank_frames += 1;
      t->subcode_seen = 1;
    } else {
      ev.blank_stop = t->subcode_seen;
      t->subcode_seen = 0;
    }
  }
  ev.old_rate_code = t->rate_code;
  ev.rate_changed = info->rate_code != t->rate_code ? 1 : 0;
  t->rate_code = info->rate_code;
  if (info->control == 0) {
    t->start_id_seen = 0;
  } else if (info->start_id) {
    ev.start_id_found = t->start_id_seen ? 0 : 1;
    t->start_id_seen = 1;
  }
  return ev;
}

ProgramFormat program_format(const FrameInfo& info) {
  int32_t kind = info.program_kind == FRAME_PROGRAM_INVALID ? FRAME_PROGRAM_NONE : info.program_kind;
  return ProgramFormat{kind, info.program, info.rate, info.channels, info.bits, info.emphasis, info.scms};
}

bool same_program_format(const ProgramFormat& a, const ProgramFormat& b) {
  return a.program_kind == b.program_kind && a.program == b.program && a.rate == b.rate && a.channels == b.channels &&
         a.bits == b.bits && a.emphasis == b.emphasis && a.scms == b.scms;
}
