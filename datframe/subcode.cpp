// SPDX-License-Identifier: MIT
// Per-frame subcode analysis of a tape being read, and the subcode line.
#include <cstdio>

#include "datframe/dat_frame.h"
#include "datframe/frame_info.h"
#include "platform/log.h"

namespace {

FrameTracker tracker_of(const RunSettings* s) {
  return FrameTracker{s->blank_frames, s->subcode_seen, s->rate_code, s->start_id_seen,
                      s->last_program, s->abs_time,     s->prog_time};
}

// The time shown for a pack: the pack's own, or the running one when the
// pack carries none.
uint32_t shown_time(uint32_t pack, uint32_t running) {
  return (pack == 0 || pack == TIME_CODE_NONE) ? running : pack;
}

unsigned byte_of(uint32_t value, int shift) { return (value >> shift) & 0xFF; }

// Appends text to the line at out; returns the new end.
char* put_text(char* out, const char* text) {
  while (*text) *out++ = *text++;
  return out;
}

// Appends one byte as two lower-case hexadecimal digits ("%.2x" of a byte).
char* put_hex2(char* out, unsigned byte) {
  static const char kDigits[] = "0123456789abcdef";
  *out++ = kDigits[(byte >> 4) & 0xF];
  *out++ = kDigits[byte & 0xF];
  return out;
}

// Appends the four bytes of a packed time code as hh:mm:ss:ff.
char* put_time(char* out, uint32_t time) {
  out = put_hex2(out, byte_of(time, 24));
  *out++ = ':';
  out = put_hex2(out, byte_of(time, 16));
  *out++ = ':';
  out = put_hex2(out, byte_of(time, 8));
  *out++ = ':';
  return put_hex2(out, byte_of(time, 0));
}

const size_t kSubcodeLineSize = 160;

// The subcode line, without line end, into text (at least kSubcodeLineSize
// bytes). It is built by hand rather than through printf: it is printed for
// every frame of a tape.
void format_subcode(char* text, const RunSettings* s) {
  static const char* const kRates[] = {"48k-", "44k-", "32k-", ""};
  static const char* const kScms[] = {"00 ", "01 ", "10 ", "11 "};
  int32_t program = s->at_pack_program;
  unsigned shown_program = (program == 0 || program == PROGRAM_NONE || program == PROGRAM_LEAD_IN)
                               ? static_cast<unsigned>(s->last_program)
                               : static_cast<unsigned>(program & 0xFF);
  uint32_t d = static_cast<uint32_t>(s->rec_date);
  uint32_t t = static_cast<uint32_t>(s->rec_time);
  char* out = put_text(text, "PRG:");
  if (shown_program > 0xFF) {
    // "%.2x" of a whole program number shows all its digits.
    char digits[16];
    std::snprintf(digits, sizeof digits, "%.2x", shown_program);
    out = put_text(out, digits);
  } else {
    out = put_hex2(out, shown_program);
  }
  out = put_text(out, "-A:");
  out = put_time(out, shown_time(s->at_pack_time, s->abs_time));
  out = put_text(out, "-P:");
  out = put_time(out, shown_time(s->pt_pack_time, s->prog_time));
  out = put_text(out, "-DATE:");
  out = put_hex2(out, byte_of(d, 16));
  *out++ = '/';
  out = put_hex2(out, byte_of(d, 8));
  *out++ = '/';
  out = put_hex2(out, byte_of(d, 0));
  *out++ = '-';
  out = put_hex2(out, byte_of(t, 16));
  *out++ = ':';
  out = put_hex2(out, byte_of(t, 8));
  *out++ = ':';
  out = put_hex2(out, byte_of(t, 0));
  *out++ = '-';
  out = put_text(out, (s->rate_code >= 0 && s->rate_code <= 3) ? kRates[s->rate_code] : "");
  out = put_text(out, s->channel_code == 0 ? "2-" : s->channel_code == 1 ? "4-" : "");
  out = put_text(out, s->quant_code == 0 ? "16-" : s->quant_code == 1 ? "12-" : "");
  out = put_text(out, "SCMS=");
  out = put_text(out, (s->frame_scms >= 0 && s->frame_scms <= 3) ? kScms[s->frame_scms] : "");
  *out = '\0';
}



}  // namespace

void take_frame(const DatFrame* frame, RunSettings* s, FrameInfo* info, FrameEvents* events) {
  *info = decode_frame(frame);
  FrameTracker t = tracker_of(s);
  *events = track_frame(&t, info);
  s->blank_frames = t.blank_frames;
  s->subcode_seen = t.subcode_seen;
  s->start_id_seen = t.start_id_seen;
  s->last_program = t.last_program;
  s->abs_time = t.abs_time;
  s->prog_time = t.prog_time;
  s->start_id_found = events->start_id_found;
  s->no_subcode = events->blank;
  if (info->has_packs) {
    // The absolute-time pack's values stand over frames that carry none.
    s->pt_pack_time = info->program_pack.present ? info->program_pack.last_time : 0;
    s->pt_pack_program = info->program_pack.present ? info->program_pack.last_program : 0;
    if (info->absolute_pack.present) {
      s->at_pack_time = info->absolute_pack.last_time;
      s->at_pack_program = info->absolute_pack.last_program;
    }
    s->rec_date = info->date.present ? static_cast<int32_t>(info->date.date) : 0;
    s->rec_time = info->date.present ? static_cast<int32_t>(info->date.time) : 0;
  }
  s->rate_changed = events->rate_changed;
  s->rate_code = info->rate_code;
  s->channel_code = info->channel_code;
  s->quant_code = info->quant_code;
  s->sample_bits = info->bits;
  s->frame_scms = info->scms;
}

void reset_frame_analysis(RunSettings* s) {
  s->stop_requested = 0;
  s->no_subcode = 1;
  s->start_id_found = 0;
  s->start_id_seen = 0;
  s->rate_changed = 0;
  s->rate_code = 0;
  s->blank_frames = 0;
  s->subcode_seen = 0;
  s->last_program = 0;
  s->prog_time = 0;
  s->abs_time = 0;
}

void frame_events_text(const FrameInfo* info, const FrameEvents* events, char* text, size_t size) {
  if (!events->rate_changed && !events->start_id_found && size >= 2) {  // nearly every frame
    text[0] = '\r';
    text[1] = '\0';
    return;
  }
  int used = 0;
  if (events->rate_changed)
    used = std::snprintf(text, size, "rate change found %x %x\n", static_cast<unsigned>(events->old_rate_code),
                         static_cast<unsigned>(info->rate_code));
  if (events->start_id_found)
    used += std::snprintf(text + used, size - static_cast<size_t>(used), "start_id start %x\n",
                          static_cast<unsigned>(info->sub_id_program));
  std::snprintf(text + used, size - static_cast<size_t>(used), "\r");
}

int32_t analyze_frame(const DatFrame* frame, RunSettings* settings) {
  FrameInfo info;
  FrameEvents events;
  take_frame(frame, settings, &info, &events);
  if (events.blank_stop) settings->stop_requested = 1;
  char text[kFrameEventsTextSize];
  frame_events_text(&info, &events, text, sizeof text);
  std::fputs(text, stdout);
  // /STOPEOT: whatever stop stands now, the blank stretch's or the caller's, is dropped.
  if (settings->stopeot_arg != 0 && settings->stop_requested == 1) settings->stop_requested = 0;
  return 0;
}

int32_t frame_in_lead_in(const FrameInfo* info) {
  return info->program_kind == FRAME_PROGRAM_LEAD_IN || info->program_pack.last_program == PROGRAM_LEAD_IN ||
         info->absolute_pack.last_program == PROGRAM_LEAD_IN;
}

void print_subcode(const RunSettings* settings) {
  char text[kSubcodeLineSize];
  format_subcode(text, settings);
  std::fputs(text, stdout);
}

void log_subcode(const RunSettings* settings) {
  char text[kSubcodeLineSize];
  format_subcode(text, settings);
  track_log_printf("%s", text);
}

int32_t frame_audio_bytes(int32_t rate_code, int32_t sample_bits) {
  switch (rate_code) {
    case 0:
      return 5760;
    case 1:
      return 5292;
    case 2:
      if (sample_bits == 16) return 3840;
      if (sample_bits == 12) return DAT_LP_PCM_BYTES;
      return DAT_AUDIO_BYTES;
    default:
      return DAT_AUDIO_BYTES;
  }
}
