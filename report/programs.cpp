// SPDX-License-Identifier: MIT
#include "report/programs.h"

#include <cstdio>

#include "datframe/dat_frame.h"
#include "report/text.h"

namespace {

nlohmann::ordered_json time_json(const FrameTime& time) {
  return time.valid ? nlohmann::ordered_json(time_code_text(time.code)) : nlohmann::ordered_json();
}

nlohmann::ordered_json count_json(int64_t value) {
  return value < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(value);
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

nlohmann::ordered_json program_json(int32_t kind, int32_t program) {
  if (kind == FRAME_PROGRAM_NUMBER) return program;
  return program_text(kind, program);
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

nlohmann::ordered_json programs_json(const std::vector<ProgramStretch>& programs) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ProgramStretch& p : programs) {
    nlohmann::ordered_json& o = list.emplace_back();
    o["number"] = program_json(p.program_kind, p.program);
    o["first_frame"] = count_json(p.first_frame);
    o["frames"] = count_json(p.frames);
    o["abs_start"] = time_json(p.abs_start);
    o["abs_end"] = time_json(p.abs_end);
    o["rate"] = p.rate;
    o["channels"] = p.channels;
    o["bits"] = p.bits;
    o["emphasis"] = emphasis_text(p.emphasis);
    o["scms"] = scms_text(p.scms);
    o["date"] = p.date.valid ? nlohmann::ordered_json(pack_date_text(p.date)) : nlohmann::ordered_json();
    o["start_id_frames"] = p.start_id_frames;
    o["damaged_frames"] = p.damaged_frames;
    o["file"] = p.file.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(p.file);
  }
  return list;
}
