// SPDX-License-Identifier: MIT
#include "sinks/track_meta.h"

#include <cstdio>
#include <cstring>

#include "base/dat_format.h"

namespace {

void add_marker(TrackMeta* meta, const char* label) {
  TrackMarker marker{};
  marker.sample = meta->samples;
  std::snprintf(marker.label, sizeof marker.label, "%s", label);
  meta->markers.push_back(marker);
}

void time_text(const FrameTime& time, char* text, size_t size) {
  dat_time_code_text(time.code, text, size);
}

bool time_valid(const FrameTime& time) {
  if (!time.valid) return false;
  for (int shift = 0; shift < 32; shift += 8)
    if (!bcd_valid(static_cast<uint8_t>(time.code >> shift))) return false;
  return true;
}

}  // namespace

void track_meta_reset(TrackMeta* meta) { *meta = TrackMeta{}; }

void track_meta_take(TrackMeta* meta, const FrameInfo* info, uint32_t samples) {
  if (!meta->has_first) {
    meta->has_first = true;
    meta->first = *info;
  }
  if (!meta->has_date && info->date.valid) {
    meta->has_date = true;
    meta->date = info->date;
    meta->date_sample = meta->samples;
  }
  if (info->emphasis == 1) meta->emphasis_frames += 1;
  if (info->bits == 12) meta->long_play_frames += 1;
  char label[32];
  if (info->program_kind == FRAME_PROGRAM_NUMBER && info->program != meta->program) {
    std::snprintf(label, sizeof label, "program %d", info->program);
    add_marker(meta, label);
    meta->program = info->program;
  }
  if (info->start_id && !meta->in_start_id) {
    if (info->program_kind == FRAME_PROGRAM_NUMBER)
      std::snprintf(label, sizeof label, "start ID program %d", info->program);
    else
      std::snprintf(label, sizeof label, "start ID");
    add_marker(meta, label);
  }
  meta->in_start_id = info->start_id != 0;
  if (info->flags) {
    bool left = info->left_damaged, right = info->right_damaged;
    add_marker(meta, left && !right ? "damaged L" : right && !left ? "damaged R" : "damaged LR");
  }
  meta->samples += samples;
}

void track_meta_take_events(TrackMeta* meta, bool blank, bool continuity_break) {
  if (continuity_break) add_marker(meta, "continuity break");
  if (blank && !meta->in_blank) add_marker(meta, "blank");
  meta->in_blank = blank;
}

void track_meta_take_unreadable(TrackMeta* meta, uint32_t samples) {
  add_marker(meta, "unreadable");
  meta->samples += samples;
}

void track_program_name(const TrackMeta* meta, char* text, size_t size) {
  switch (meta->has_first ? meta->first.program_kind : FRAME_PROGRAM_NONE) {
    case FRAME_PROGRAM_NUMBER:
      std::snprintf(text, size, "%d", meta->first.program);
      return;
    case FRAME_PROGRAM_LEAD_IN:
      std::snprintf(text, size, "lead-in");
      return;
    case FRAME_PROGRAM_LEAD_OUT:
      std::snprintf(text, size, "lead-out");
      return;
    case FRAME_PROGRAM_INVALID:
      std::snprintf(text, size, "invalid");
      return;
    default:
      std::snprintf(text, size, "none");
  }
}

int track_first_program(const TrackMeta* meta) {
  if (meta->has_first && meta->first.program_kind == FRAME_PROGRAM_NUMBER) return meta->first.program;
  int program = 0;
  for (const TrackMarker& marker : meta->markers)
    if (std::sscanf(marker.label, "program %d", &program) == 1) return program;
  return 0;
}

void track_absolute_time(const TrackMeta* meta, char* text, size_t size) {
  if (meta->has_first && time_valid(meta->first.absolute))
    time_text(meta->first.absolute, text, size);
  else if (size > 0)
    text[0] = '\0';
}

void track_description(const TrackMeta* meta, char* text, size_t size) {
  char program[32];
  char time[16];
  track_program_name(meta, program, sizeof program);
  track_absolute_time(meta, time, sizeof time);
  int kind = meta->has_first ? meta->first.program_kind : FRAME_PROGRAM_NONE;
  const char* what = kind == FRAME_PROGRAM_NUMBER ? "DAT program " : "DAT ";
  if (kind == FRAME_PROGRAM_NONE || kind == FRAME_PROGRAM_INVALID)
    std::snprintf(program, sizeof program, "%s", kind == FRAME_PROGRAM_NONE ? "without program number"
                                                                            : "with invalid program number");
  if (time[0])
    std::snprintf(text, size, "%s%s from absolute time %s", what, program, time);
  else
    std::snprintf(text, size, "%s%s, no absolute time", what, program);
}

bool track_origination(const TrackMeta* meta, char* date, size_t date_size, char* time, size_t time_size) {
  if (!meta->has_date) {
    if (date_size > 0) date[0] = '\0';
    if (time_size > 0) time[0] = '\0';
    return false;
  }
  // The pack holds the year's last two digits: DAT recorders came in 1987.
  int year = dat_bcd_value(static_cast<uint8_t>(meta->date.date >> 16));
  year += year >= 87 ? 1900 : 2000;
  std::snprintf(date, date_size, "%.4d-%.2x-%.2x", year, meta->date.date >> 8 & 0xFF, meta->date.date & 0xFF);
  std::snprintf(time, time_size, "%.2x:%.2x:%.2x", meta->date.time >> 16 & 0xFF, meta->date.time >> 8 & 0xFF,
                meta->date.time & 0xFF);
  return true;
}

uint64_t track_time_reference(const TrackMeta* meta, int32_t rate) {
  if (!meta->has_date) return 0;
  auto field = [meta](int shift) { return static_cast<uint64_t>(dat_bcd_value(static_cast<uint8_t>(meta->date.time >> shift))); };
  uint64_t hours = field(16), minutes = field(8), seconds = field(0);
  if (hours > 23 || minutes > 59 || seconds > 59) return 0;
  const uint64_t day = 86400 * static_cast<uint64_t>(rate);
  uint64_t at = ((hours * 60 + minutes) * 60 + seconds) * static_cast<uint64_t>(rate);
  // The first sample lies before the frame that carried the date, across midnight perhaps.
  return (at + day - meta->date_sample % day) % day;
}

void track_identity_take(TrackIdentity* identity, const FrameInfo* info, const uint8_t* pcm, int bytes) {
  uint64_t words[4 + 8] = {info->absolute.valid ? info->absolute.code : 0xFFFFFFFFu,
                           static_cast<uint64_t>(info->program_kind) << 32 | static_cast<uint32_t>(info->program),
                           info->date.valid ? static_cast<uint64_t>(info->date.date) << 32 | info->date.time : 0,
                           static_cast<uint64_t>(bytes)};
  std::memcpy(words + 4, pcm, bytes < 64 ? static_cast<size_t>(bytes < 0 ? 0 : bytes) : 64);
  for (uint64_t word : words)
    for (uint64_t& lane : identity->lanes) {
      lane = (lane ^ word) * 0x100000001b3u + 0x632be59bd9b4e019u;
      lane ^= lane >> 31;
    }
  identity->frames += 1;
}

const char* track_emphasis_text(const TrackMeta* meta, bool deemphasis) {
  if (meta->emphasis_frames == 0) return "none";
  return deemphasis ? "50/15 us, written de-emphasised" : "50/15 us, written as recorded";
}

void track_coding_history(const TrackMeta* meta, const char* drive, const char* image, int32_t rate,
                          bool deemphasised, char* text, size_t size) {
  bool long_play = meta->long_play_frames > 0;
  bool emphasis = meta->emphasis_frames > 0;
  int tape_rate = meta->has_first && meta->first.rate ? meta->first.rate : rate;
  char time[16];
  track_absolute_time(meta, time, sizeof time);
  std::snprintf(text, size,
                "A=PCM,F=%d,W=%d,M=stereo,T=DAT;%s%s%s%s%s%s%.100s\r\n"
                "A=PCM,F=%d,W=16,M=stereo,T=kestrel %s%s%s\r\n",
                tape_rate, long_play ? 12 : 16, drive, time[0] ? ";absolute time " : "", time,
                long_play ? ";long play" : "", emphasis ? ";emphasis 50/15us" : "", *image ? ";via " : "", image, rate,
                KESTREL_VERSION, long_play ? ";expanded to 16 bits" : "",
                !emphasis ? "" : deemphasised ? ";de-emphasised 50/15us" : ";emphasis kept");
}
