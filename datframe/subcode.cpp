// Per-frame subcode analysis of a tape being read, and the subcode line.
#include <cstdio>

#include "datframe/dat_frame.h"
#include "scsi/aspi_call.h"

namespace {

// A blank stretch ends the reading on its 62nd frame: 61 are counted first.
const int32_t kBlankFramesCounted = 60;

uint32_t pack_time(const uint8_t* pack) {
  return (static_cast<uint32_t>(pack[3]) << 24) | (static_cast<uint32_t>(pack[4]) << 16) |
         (static_cast<uint32_t>(pack[5]) << 8) | pack[6];
}

int32_t pack_program(const uint8_t* pack) { return ((pack[0] & 0x0F) << 8) | pack[1]; }

bool program_without_time(int32_t program) { return program == PROGRAM_LEAD_IN || program == PROGRAM_NONE; }

void take_packs(const DatFrame* frame, RunSettings* s) {
  s->blank_frames = 0;
  s->no_subcode = 0;
  s->pt_pack_time = 0;
  s->pt_pack_program = 0;
  s->rec_date = 0;
  s->rec_time = 0;
  s->subcode_seen = 1;
  for (const uint8_t* pack : frame->pack) {
    switch (pack[0] >> 4) {
      case PACK_ITEM_PROGRAM_TIME:
        s->pt_pack_time = pack_time(pack);
        s->pt_pack_program = pack_program(pack);
        s->prog_time = program_without_time(s->pt_pack_program) ? step_time_code(s->prog_time) : s->pt_pack_time;
        break;
      case PACK_ITEM_ABSOLUTE_TIME:
        s->at_pack_time = pack_time(pack);
        s->at_pack_program = pack_program(pack);
        if (program_without_time(s->at_pack_program)) {
          s->abs_time = step_time_code(s->abs_time);
        } else {
          s->last_program = s->at_pack_program;
          s->abs_time = s->at_pack_time;
        }
        break;
      case PACK_ITEM_DATE:
        s->rec_date = (pack[1] << 16) | (pack[2] << 8) | pack[3];
        s->rec_time = (pack[4] << 16) | (pack[5] << 8) | pack[6];
        break;
      default:
        break;
    }
  }
}

void count_blank_frame(RunSettings* s) {
  if (s->blank_frames <= kBlankFramesCounted) {
    s->blank_frames += 1;
    s->no_subcode = 1;
    s->subcode_seen = 1;
    return;
  }
  if (s->subcode_seen == 1) s->stop_requested = 1;
  s->subcode_seen = 0;
  s->no_subcode = 1;
}

void take_main_id(const DatFrame* frame, RunSettings* s) {
  int32_t rate = (frame->main_id_format >> 2) & 3;
  if (rate != s->rate_code) {
    s->rate_changed = 1;
    std::printf("rate change found %x %x\n", static_cast<unsigned>(s->rate_code), static_cast<unsigned>(rate));
  } else {
    s->rate_changed = 0;
  }
  s->rate_code = rate;
  s->channel_code = frame->main_id_format & 3;
  s->quant_code = frame->main_id_mode >> 6;
  s->sample_bits = s->quant_code == 1 ? 12 : 16;
  s->frame_scms = (frame->main_id_mode >> 2) & 3;
}

void take_start_id(const DatFrame* frame, RunSettings* s) {
  if ((frame->sid_control & 0xF0) == 0) {
    s->start_id_found = 0;
    s->start_id_seen = 0;
  } else if (frame->sid_control & SID_START_ID) {
    if (s->start_id_seen == 0) {
      s->start_id_found = 1;
      std::printf("start_id start %x\n", static_cast<unsigned>(((frame->sid_pno1 & 0xF0) << 4) | frame->sid_pno23));
    }
    s->start_id_seen = 1;
  }
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

int32_t analyze_frame(const DatFrame* frame, RunSettings* settings) {
  settings->start_id_found = 0;
  bool any_pack = false;
  for (const uint8_t* pack : frame->pack) any_pack = any_pack || (pack[0] >> 4) != 0;
  if (any_pack) {
    take_packs(frame, settings);
  } else {
    count_blank_frame(settings);
  }
  take_main_id(frame, settings);
  take_start_id(frame, settings);
  std::putchar('\r');
  // /STOPEOT: whatever stop stands now, the blank stretch's or the caller's, is dropped.
  if (settings->stopeot_arg != 0 && settings->stop_requested == 1) settings->stop_requested = 0;
  return 0;
}

int32_t summarize_frame(const DatFrame* frame, FrameSummary* summary) {
  *summary = FrameSummary{};
  summary->abs_time = TIME_CODE_NONE;
  summary->prog_time = TIME_CODE_NONE;
  for (const uint8_t* pack : frame->pack) {
    int item = pack[0] >> 4;
    if (item != 0) summary->has_subcode = 1;
    if (item == PACK_ITEM_ABSOLUTE_TIME) summary->abs_time = pack_time(pack);
    if (item == PACK_ITEM_PROGRAM_TIME) summary->prog_time = pack_time(pack);
  }
  summary->rate_code = (frame->main_id_format >> 2) & 3;
  summary->channel_code = frame->main_id_format & 3;
  summary->quant_code = frame->main_id_mode >> 6;
  summary->program = ((frame->sid_pno1 & 0xF0) << 4) | frame->sid_pno23;
  summary->start_id = (frame->sid_control & SID_START_ID) != 0;
  summary->flagged = frame->interpolate_flags != 0;
  return 0;
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
