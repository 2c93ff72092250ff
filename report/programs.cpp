#include "report/programs.h"

#include <cstdio>

#include "datframe/dat_frame.h"
#include "report/text.h"

namespace {

void append_time(std::string* out, const FrameTime& time) {
  if (time.valid) *out += '"' + time_code_text(time.code) + '"';
  else *out += "null";
}

void append_number(std::string* out, int64_t value) {
  if (value < 0) *out += "null";
  else *out += std::to_string(value);
}

}  // namespace

std::string program_text(int32_t kind, int32_t program) {
  switch (kind) {
    case FRAME_PROGRAM_NUMBER: return std::to_string(program);
    case FRAME_PROGRAM_LEAD_IN: return "lead-in";
    case FRAME_PROGRAM_LEAD_OUT: return "lead-out";
    default: return "none";
  }
}

std::string program_json(int32_t kind, int32_t program) {
  std::string text = program_text(kind, program);
  return kind == FRAME_PROGRAM_NUMBER ? text : '"' + text + '"';
}

std::string time_code_text(uint32_t code) {
  char text[16];
  dat_time_code_text(code, text, sizeof text);
  return text;
}

std::string pack_date_text(const FramePackDate& date) {
  auto field = [](uint32_t packed, int shift) { return dat_bcd_value(static_cast<uint8_t>(packed >> shift)); };
  int year = field(date.date, 16);
  // The pack holds two digits of the year: DAT recorders came in 1987.
  year += year >= 50 ? 1900 : 2000;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, field(date.date, 8), field(date.date, 0),
                field(date.time, 16), field(date.time, 8), field(date.time, 0));
  return text;
}

const char* emphasis_text(int32_t emphasis) { return emphasis == 1 ? "50/15us" : "none"; }

const char* scms_text(int32_t scms) {
  static const char* const kCodes[4] = {"00", "01", "10", "11"};
  return kCodes[scms & 3];
}

bool frame_continues_stretch(const ProgramStretch& s, const FrameInfo& info) {
  int32_t kind = info.program_kind == FRAME_PROGRAM_INVALID ? FRAME_PROGRAM_NONE : info.program_kind;
  return s.program_kind == kind && s.program == info.program && s.rate == info.rate && s.channels == info.channels &&
         s.bits == info.bits && s.emphasis == info.emphasis && s.scms == info.scms;
}

void add_program_frame(std::vector<ProgramStretch>* programs, int64_t index, const FrameInfo& info, const char* file) {
  const char* held_by = file ? file : "";
  if (programs->empty() || !frame_continues_stretch(programs->back(), info) || programs->back().file != held_by ||
      programs->back().first_frame + programs->back().frames != index) {
    ProgramStretch s{};
    s.program_kind = info.program_kind == FRAME_PROGRAM_INVALID ? FRAME_PROGRAM_NONE : info.program_kind;
    s.program = info.program;
    s.first_frame = index;
    s.rate = info.rate;
    s.channels = info.channels;
    s.bits = info.bits;
    s.emphasis = info.emphasis;
    s.scms = info.scms;
    s.file = held_by;
    programs->push_back(s);
  }
  ProgramStretch& s = programs->back();
  s.frames += 1;
  if (info.absolute.valid) {
    if (!s.abs_start.valid) s.abs_start = info.absolute;
    s.abs_end = info.absolute;
  }
  if (!s.date.valid && info.date.valid) s.date = info.date;
  s.start_id_frames += info.start_id;
  s.damaged_frames += info.flags != 0 ? 1 : 0;
}

void append_programs_json(std::string* out, const std::vector<ProgramStretch>& programs, const char* indent) {
  *out += '[';
  for (size_t i = 0; i < programs.size(); ++i) {
    const ProgramStretch& p = programs[i];
    *out += i ? ",\n" : "\n";
    *out += indent;
    *out += "  {\"number\": " + program_json(p.program_kind, p.program) + ", \"first_frame\": ";
    append_number(out, p.first_frame);
    *out += ", \"frames\": ";
    append_number(out, p.frames);
    *out += ", \"abs_start\": ";
    append_time(out, p.abs_start);
    *out += ", \"abs_end\": ";
    append_time(out, p.abs_end);
    *out += ", \"rate\": " + std::to_string(p.rate) + ", \"channels\": " + std::to_string(p.channels) +
            ", \"bits\": " + std::to_string(p.bits) + ", \"emphasis\": \"" + emphasis_text(p.emphasis) +
            "\", \"scms\": \"" + scms_text(p.scms) + "\", \"date\": ";
    *out += p.date.valid ? '"' + pack_date_text(p.date) + '"' : std::string("null");
    *out += ", \"start_id_frames\": " + std::to_string(p.start_id_frames) +
            ", \"damaged_frames\": " + std::to_string(p.damaged_frames) + ", \"file\": ";
    *out += p.file.empty() ? std::string("null") : json_string(p.file);
    *out += '}';
  }
  if (!programs.empty()) {
    *out += '\n';
    *out += indent;
  }
  *out += ']';
}
