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
  if (!meta->has_first || !time_valid(meta->first.absolute)) return 0;
  uint32_t code = meta->first.absolute.code;
  uint64_t seconds = static_cast<uint64_t>(dat_bcd_value(static_cast<uint8_t>(code >> 24))) * 3600 +
                     static_cast<uint64_t>(dat_bcd_value(static_cast<uint8_t>(code >> 16))) * 60 +
                     static_cast<uint64_t>(dat_bcd_value(static_cast<uint8_t>(code >> 8)));
  // 100 frames make 3 seconds: 33, 33 and 34 frames.
  uint64_t frames = seconds / 3 * 100 + seconds % 3 * 33 + static_cast<uint64_t>(dat_bcd_value(static_cast<uint8_t>(code)));
  return frames * static_cast<uint64_t>(rate) * 3 / 100;
}

const char* track_emphasis_text(const TrackMeta* meta, bool deemphasis) {
  if (meta->emphasis_frames == 0) return "none";
  return deemphasis ? "50/15 us, written de-emphasised" : "50/15 us, written as recorded";
}

void track_coding_history(const TrackMeta* meta, const char* drive, int32_t rate, bool deemphasised,
                          char* text, size_t size) {
  bool long_play = meta->long_play_frames > 0;
  bool emphasis = meta->emphasis_frames > 0;
  int tape_rate = meta->has_first && meta->first.rate ? meta->first.rate : rate;
  std::snprintf(text, size,
                "A=PCM,F=%d,W=%d,M=stereo,T=DAT;%s%s%s\r\n"
                "A=PCM,F=%d,W=16,M=stereo,T=kestrel %s%s%s\r\n",
                tape_rate, long_play ? 12 : 16, drive, long_play ? ";long play" : "",
                emphasis ? ";emphasis 50/15us" : "", rate, KESTREL_VERSION, long_play ? ";expanded to 16 bits" : "",
                !emphasis ? "" : deemphasised ? ";de-emphasised 50/15us" : ";emphasis kept");
}
