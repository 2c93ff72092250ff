// SPDX-License-Identifier: MIT
#include "report/programs.h"

#include <cmath>
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
  ProgramFormat stretch{s.program_kind, s.program, s.rate, s.channels, s.bits, s.emphasis, s.scms};
  return same_program_format(stretch, program_format(info));
}

void add_program_frame(std::vector<ProgramStretch>* programs, int64_t index, const FrameInfo& info, const char* file,
                       int64_t sample_offset) {
  const char* held_by = file ? file : "";
  if (programs->empty() || !frame_continues_stretch(programs->back(), info) || programs->back().file != held_by ||
      programs->back().first_frame + programs->back().frames != index) {
    ProgramFormat format = program_format(info);
    ProgramStretch s{};
    s.program_kind = format.program_kind;
    s.program = format.program;
    s.first_frame = index;
    s.rate = format.rate;
    s.channels = format.channels;
    s.bits = format.bits;
    s.emphasis = format.emphasis;
    s.scms = format.scms;
    s.file = held_by;
    s.sample_offset = *held_by ? sample_offset : -1;
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

void attach_program_levels(std::vector<ProgramStretch>* programs, const std::string& file,
                           const std::vector<ProgramLevels>& levels) {
  size_t next = 0;  // both lists are in file order
  for (ProgramStretch& p : *programs) {
    if (p.file != file || p.sample_offset < 0) continue;
    while (next < levels.size() && levels[next].sample_offset < p.sample_offset) ++next;
    if (next == levels.size()) return;
    if (levels[next].sample_offset != p.sample_offset) continue;
    p.levels = levels[next++];
    p.levels_measured = true;
  }
}

double peak_dbfs(int32_t magnitude) { return magnitude > 0 ? 20 * std::log10(magnitude / 32768.0) : -HUGE_VAL; }

nlohmann::ordered_json loudness_json(const LoudnessFigures& l) {
  auto level = [](double value) {
    return std::isfinite(value) ? nlohmann::ordered_json(std::round(value * 100) / 100) : nlohmann::ordered_json();
  };
  return nlohmann::ordered_json{{"integrated_lufs", level(l.integrated)},
                                {"range_lu", level(l.range)},
                                {"true_peak_dbtp", level(l.true_peak)},
                                {"max_momentary_lufs", level(l.max_momentary)},
                                {"max_short_term_lufs", level(l.max_short_term)}};
}

namespace {

nlohmann::ordered_json places_json(const ProgramStretch& p, const std::vector<LevelPlace>& places) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const LevelPlace& at : places) {
    nlohmann::ordered_json& o = list.emplace_back();
    o["first_frame"] = p.first_frame + at.frame;
    o["abs_time"] = at.abs_valid ? nlohmann::ordered_json(time_code_text(at.abs_code)) : nlohmann::ordered_json();
    o["sample_offset"] = at.sample_offset;
    o["samples"] = at.samples;
    if (at.channel >= 0) o["channel"] = at.channel == 0 ? "L" : "R";
  }
  return list;
}

// What the file's writer measured of a program: peaks and DC offset per
// channel, clipped runs, digital silence and the loudness.
nlohmann::ordered_json levels_json(const ProgramStretch& p) {
  const ProgramLevels& l = p.levels;
  auto dbfs = [](int32_t magnitude) {
    double value = peak_dbfs(magnitude);
    // Hundredths; a peak a hair below full scale is 0.0, not -0.0.
    return std::isfinite(value) ? nlohmann::ordered_json(std::round(value * 100) / 100 + 0.0) : nlohmann::ordered_json();
  };
  auto dc = [&l](int channel) {
    if (l.samples <= 0) return 0.0;
    return std::round(static_cast<double>(l.sum[channel]) / static_cast<double>(l.samples) / 32768.0 * 1e6) / 1e6;
  };
  nlohmann::ordered_json o;
  o["sample_offset"] = l.sample_offset;
  o["samples"] = l.samples;
  o["sample_peak_dbfs"] = nlohmann::ordered_json::array({dbfs(l.peak[0]), dbfs(l.peak[1])});
  o["dc_offset"] = nlohmann::ordered_json::array({dc(0), dc(1)});
  o["clipped_runs"] = l.clipped_runs;
  o["clips"] = places_json(p, l.clips);
  o["silences"] = l.silences;
  o["silent_samples"] = l.silent_samples;
  o["silence"] = places_json(p, l.silent);
  if (l.loudness.measured) o["loudness"] = loudness_json(l.loudness);
  return o;
}

}  // namespace

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
    if (p.levels_measured) o["levels"] = levels_json(p);
  }
  return list;
}
