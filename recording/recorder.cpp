// SPDX-License-Identifier: MIT
#include "recording/recorder.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "datframe/frame_build.h"
#include "platform/clock.h"

namespace {

constexpr uint8_t kNoTime = 0xAA;

uint8_t* pack(Recorder* r, int slot) { return r->frame.pack[slot - 1]; }

void set_time(uint8_t* p, uint8_t value) { std::memset(p + 3, value, 4); }

bool time_is_none(const uint8_t* p) { return p[3] == kNoTime && p[4] == kNoTime && p[5] == kNoTime && p[6] == kNoTime; }

// Packs 1 and 2 of a phase outside the tracks: program time and absolute time
// with this program number and time; the index number stays.
void set_phase_packs(Recorder* r, int32_t program, uint32_t time) {
  frame_set_time_pack(&r->frame, 1, PACK_ITEM_PROGRAM_TIME, program, pack(r, 1)[2], time);
  frame_set_time_pack(&r->frame, 2, PACK_ITEM_ABSOLUTE_TIME, program, pack(r, 2)[2], time);
}

// The date pack (slot 5) from the local clock, with its parity: the pack
// count of the sub-ID does not always reach slot 5.
void fill_date_pack(Recorder* r) {
  time_t now = static_cast<time_t>(platform_time_s());
  struct tm local {};
  localtime_r(&now, &local);
  FrameDate date{local.tm_wday + 1, local.tm_year % 100, local.tm_mon + 1, local.tm_mday,
                 local.tm_hour,     local.tm_min,        local.tm_sec > 59 ? 59 : local.tm_sec};
  frame_set_date_pack(&r->frame, 5, &date);
  uint8_t* p = pack(r, 5);
  p[7] = static_cast<uint8_t>(p[0] ^ p[1] ^ p[2] ^ p[3] ^ p[4] ^ p[5] ^ p[6]);
}

}  // namespace

int recorder_rate_code(const Recorder* r) { return (r->frame.main_id_format >> 2) & 3; }

void recorder_zero_audio(Recorder* r) { std::memset(r->frame.audio, 0, DAT_AUDIO_BYTES); }

void recorder_set_pack_parity(Recorder* r) { frame_set_pack_parity(&r->frame); }

void recorder_advance_time_codes(Recorder* r) {
  for (int slot : {2, 1}) {
    uint8_t* p = pack(r, slot);
    if (!time_is_none(p)) step_time_code_bytes(p + 3);
  }
}

void recorder_reset_program_subcode(Recorder* r) {
  frame_set_time_pack(&r->frame, 1, PACK_ITEM_PROGRAM_TIME, 0x001, 0x01, 0);
  frame_set_time_pack(&r->frame, 2, PACK_ITEM_ABSOLUTE_TIME, 0x001, 0x01, 0);
  frame_set_sub_id(&r->frame, 0x001, 2);
}

int32_t recorder_silence_frames(const Recorder* r, int32_t seconds) {
  int64_t frames = static_cast<int64_t>(seconds) * 333 / 10;
  if (recorder_rate_code(r) == 2 && r->frame.main_id_mode >> 6 == 1) frames /= 2;
  if (frames <= 0) return 0;
  return frames > INT32_MAX ? INT32_MAX : static_cast<int32_t>(frames);
}

void recorder_print_time(const Recorder* r) {
  const uint8_t* p = r->frame.pack[1];
  std::printf(" - time: %.1d%.1d:%.1d%.1d:%.1d%.1d:%.1d%.1d\r", p[3] >> 4, p[3] & 15, p[4] >> 4, p[4] & 15,
              p[5] >> 4, p[5] & 15, p[6] >> 4, p[6] & 15);
}

void recorder_begin_lead_in(Recorder* r) {
  DatFrame& f = r->frame;
  f.sid_control = static_cast<uint8_t>((f.sid_control & 0x0F) | 0x40);
  frame_set_sub_id(&f, PROGRAM_LEAD_IN, 2);
  f.main_id_format &= static_cast<uint8_t>(~0x3C);
  f.main_id_mode &= static_cast<uint8_t>(~0x0C);
  set_phase_packs(r, PROGRAM_LEAD_IN, TIME_CODE_NONE);
  recorder_set_pack_parity(r);
  recorder_zero_audio(r);
}

void recorder_begin_lead_in_silence(Recorder* r) {
  DatFrame& f = r->frame;
  f.sid_control &= 0x0F;
  frame_set_sub_id(&f, 0x000, 2);
  f.main_id_format &= static_cast<uint8_t>(~0x30);
  f.main_id_mode &= static_cast<uint8_t>(~0x0C);
  set_phase_packs(r, 0x000, 0);
}

void recorder_begin_lead_out(Recorder* r) {
  DatFrame& f = r->frame;
  f.sid_control = static_cast<uint8_t>((f.sid_control & 0x0F) | 0x40);
  frame_set_sub_id(&f, PROGRAM_LEAD_OUT, f.sid_pno1 & 0x0F);
  set_phase_packs(r, PROGRAM_LEAD_OUT, TIME_CODE_NONE);
  recorder_zero_audio(r);
  recorder_set_pack_parity(r);
}

void recorder_start_track(Recorder* r, const RecordingOptions& options, RecorderTrack* track) {
  DatFrame& f = r->frame;
  track->hundreds = track->number / 100;
  track->tens_units = bcd_from_value(track->number % 100);
  track->long_play = options.allow_lp && recorder_rate_code(r) == 2;
  f.main_id_mode = static_cast<uint8_t>((track->long_play ? 0x40 : 0) | options.scms_code << 2);
  // The format ID is 0; the emphasis bits mark pre-emphasised sources.
  f.main_id_format = static_cast<uint8_t>((f.main_id_format & 0x0F) | (options.emphasis ? 0x10 : 0));
  static const uint32_t kFrameBytes[4] = {5760, 5292, 3840, 5760};
  track->frame_bytes = kFrameBytes[recorder_rate_code(r)];
  f.sid_pno1 = static_cast<uint8_t>(track->hundreds << 4 | 2);
  f.sid_pno23 = track->tens_units;
  f.interpolate_flags = 0;
  f.sid_control &= 0xF0;
  if (options.mark_time_date) {
    fill_date_pack(r);
    f.sid_pno1 = static_cast<uint8_t>((f.sid_pno1 & 0xF0) | ((f.sid_pno1 + 1) & 0x0F));
  }
}

void recorder_begin_track_audio(Recorder* r) { set_time(pack(r, 1), 0); }

uint32_t recorder_track_bytes(const RecorderTrack& track) {
  return track.long_play ? DAT_LP_PCM_BYTES : track.frame_bytes;
}

bool recorder_take_audio(Recorder* r, const RecorderTrack& track, const uint8_t* pcm) {
  if (!track.long_play) {
    std::memcpy(r->frame.audio, pcm, track.frame_bytes);
    return true;
  }
  return lp_pack_frame(r->frame.audio, pcm) == DAT_AUDIO_BYTES;
}

void recorder_set_track_subcode(Recorder* r, const RecordingOptions& options, const RecorderTrack& track, int k) {
  DatFrame& f = r->frame;
  uint8_t* p1 = pack(r, 1);
  uint8_t* p2 = pack(r, 2);
  if (options.mark_start_ids && k < START_ID_FRAMES) {
    f.sid_control = static_cast<uint8_t>((f.sid_control & 0x0F) | 0xC0);
    p1[0] = static_cast<uint8_t>((p1[0] & 0xF8) | track.hundreds);
    p1[1] = track.tens_units;
  } else {
    f.sid_control &= 0x3F;
    set_time(p1, kNoTime);
  }
  p1[0] = static_cast<uint8_t>((p1[0] & 0x0F) | PACK_ITEM_PROGRAM_TIME << 4);
  p2[0] = static_cast<uint8_t>((p2[0] & 0x0F) | PACK_ITEM_ABSOLUTE_TIME << 4);
  p1[2] = 0x01;
  p2[2] = 0x01;
  p2[0] = static_cast<uint8_t>((p2[0] & 0xF8) | track.hundreds);
  p2[1] = track.tens_units;
  f.sid_pno1 = static_cast<uint8_t>((f.sid_pno1 & 0xF0) | 7);
  recorder_set_pack_parity(r);
}
