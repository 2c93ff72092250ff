// SPDX-License-Identifier: MIT
// NAME.html: the report as a page a person reads: the verdict, the source,
// the programs, and a map of the tape drawn as inline SVG. One file, nothing
// loaded from elsewhere; every text from the tape or the command line escaped.
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <set>
#include <vector>

#include "report/text.h"
#include "report/transfer_report.h"

namespace {

// A level with its unit, to a tenth ("-inf" for silence).
std::string level_text(double value, const char* unit) {
  char text[32];
  if (std::isfinite(value))
    std::snprintf(text, sizeof text, "%.1f %s", std::round(value * 100) / 100 + 0.0, unit);  // as the file carries it
  else
    std::snprintf(text, sizeof text, "-inf %s", unit);
  return text;
}

// A file's loudness in a line: integrated, range, true peak ("" when not
// measured; "-inf" for silence).
std::string loudness_text(const LoudnessFigures& l) {
  if (!l.measured) return "";
  return level_text(l.integrated, "LUFS") + ", range " + level_text(l.range, "LU") + ", true peak " +
         level_text(l.true_peak, "dBTP");
}

// A program's levels in the cells of the program table: integrated loudness,
// true peak, sample peak (the louder channel), clipped runs, silence.
std::string levels_cells(const ProgramStretch& p) {
  if (!p.levels_measured) return "<td></td><td></td><td></td><td></td><td></td>";
  const ProgramLevels& l = p.levels;
  const LoudnessFigures& loud = l.loudness;
  char silence[64];
  std::snprintf(silence, sizeof silence, "%lld, %.1f s", static_cast<long long>(l.silences),
                static_cast<double>(l.silent_samples) / (p.rate > 0 ? p.rate : 48000));
  return "<td>" + (loud.measured ? level_text(loud.integrated, "LUFS") : "") + "</td><td>" +
         (loud.measured ? level_text(loud.true_peak, "dBTP") : "") + "</td><td>" +
         level_text(peak_dbfs(std::max(l.peak[0], l.peak[1])), "dBFS") + "</td><td>" +
         std::to_string(l.clipped_runs) + "</td><td>" + silence + "</td>";
}

const int kMapLeft = 40;
const int kMapWidth = 920;
const int kEventRows = 500;  // the page lists at most these; the JSON lists all

struct Map {
  int64_t frames;
  double x(int64_t frame) const { return kMapLeft + static_cast<double>(frame) * kMapWidth / static_cast<double>(frames); }
  double width(int64_t count) const {
    double w = static_cast<double>(count) * kMapWidth / static_cast<double>(frames);
    return w < 1 ? 1 : w;
  }
};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// The class of a program's band: its format.
std::string format_class(const ProgramStretch& p) {
  if (p.bits == 12) return "fmt-lp";
  if (p.rate == 48000 || p.rate == 44100 || p.rate == 32000) return "fmt-" + std::to_string(p.rate);
  return "fmt-other";
}

std::string format_text(const ProgramStretch& p) {
  std::string text = p.rate ? std::to_string(p.rate) + " Hz" : "reserved rate";
  text += p.bits == 12 ? ", 12-bit long play" : ", 16-bit";
  if (p.channels) text += ", " + std::to_string(p.channels) + " ch";
  if (p.emphasis == 1) text += ", emphasis";
  return text;
}

// A time from the first frame read as h:mm:ss or m:ss.
std::string elapsed_text(int64_t seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  return text;
}

const int kLevelTop = 114;  // the level lane, below the L and R lanes
const int kLevelLane = 28;
const double kLevelFloor = -60;  // dBFS at the lane's foot
const int kAxisY = kLevelTop + kLevelLane + 8;

void append_axis(std::string* out, const Map& map) {
  static const int64_t kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200};
  int64_t total_seconds = map.frames * 3 / 100;
  int64_t step = kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
  for (int64_t s : kSteps)
    if (total_seconds / s <= 10) {
      step = s;
      break;
    }
  const std::string y = std::to_string(kAxisY), tick = std::to_string(kAxisY + 5), label = std::to_string(kAxisY + 18);
  *out += "<g class=\"axis\"><line x1=\"" + number(kMapLeft) + "\" y1=\"" + y + "\" x2=\"" +
          number(kMapLeft + kMapWidth) + "\" y2=\"" + y + "\"/>\n";
  for (int64_t s = 0; s <= total_seconds; s += step) {
    int64_t frame = s * 100 / 3;
    std::string x = number(map.x(frame));
    *out += "<line class=\"axis-tick\" x1=\"" + x + "\" y1=\"" + y + "\" x2=\"" + x + "\" y2=\"" + tick +
            "\"/><text x=\"" + x + "\" y=\"" + label + "\">" + elapsed_text(s) + "</text>\n";
  }
  *out += "</g>\n";
}

const int kPassTop = kAxisY + 28;  // the passes' lanes, below the axis
const int kPassLane = 18;

// One lane per pass of the image's map: the frames that pass read damaged,
// coloured by whose the damage is.
void append_pass_lanes(std::string* out, const TransferReport& r, const Map& map) {
  const std::vector<MapRecord>& records = r.map.records;
  for (size_t p = 0; p < r.map.passes.size() && p < MAP_MOST_PASSES; ++p) {
    int y = kPassTop + static_cast<int>(p) * kPassLane;
    std::string pass = std::to_string(p + 1);
    *out += "<g class=\"pass\" id=\"pass-" + pass + "\"><text class=\"lane-label\" x=\"4\" y=\"" +
            std::to_string(y + 11) + "\">" + pass + "</text><rect class=\"lane\" x=\"40\" y=\"" + std::to_string(y) +
            "\" width=\"920\" height=\"14\"><title>pass " + pass + ", ";
    append_html(out, r.map.passes[p].kind + ", " + r.map.passes[p].date + ", " + r.map.passes[p].drive);
    *out += "</title></rect>\n";
    for (size_t first = 0; first < records.size();) {
      if (!(records[first].damaged >> p & 1)) {
        ++first;
        continue;
      }
      const char* whose = report_damage_class(r, static_cast<int64_t>(first));
      size_t end = first + 1;
      while (end < records.size() && (records[end].damaged >> p & 1) &&
             report_damage_class(r, static_cast<int64_t>(end)) == whose)
        ++end;
      *out += "<rect class=\"damage whose-" + std::string(whose) + "\" x=\"" +
              number(map.x(static_cast<int64_t>(first))) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
              number(map.width(static_cast<int64_t>(end - first))) + "\" height=\"14\"><title>frames " +
              std::to_string(first) + " to " + std::to_string(end - 1) + ": damaged, the " + whose +
              (std::string(whose) == "undecided" ? "" : "'s") + "</title></rect>\n";
      first = end;
    }
    *out += "</g>\n";
  }
}

// Whether some program's levels were measured: the lane is drawn.
bool any_levels(const TransferReport& r) {
  for (const ProgramStretch& p : r.programs)
    if (p.levels_measured) return true;
  return false;
}

// The level lane: the peak of each second of the programs whose levels were
// measured, from -60 dBFS at its foot to full scale at its head. One bar a
// pixel column (the loudest second that falls in it), all in one path, so
// that a two-hour tape's lane stays a few kilobytes.
void append_level_lane(std::string* out, const TransferReport& r, const Map& map) {
  std::vector<int32_t> columns(kMapWidth, -1);
  for (const ProgramStretch& p : r.programs) {
    if (!p.levels_measured || p.first_frame < 0) continue;
    const std::vector<uint16_t>& peaks = p.levels.peak_per_second;
    for (size_t s = 0; s < peaks.size(); ++s) {
      int64_t first = p.first_frame + static_cast<int64_t>(s) * 100 / 3;
      int64_t end = std::min(p.first_frame + static_cast<int64_t>(s + 1) * 100 / 3, p.first_frame + p.frames);
      int from = static_cast<int>(map.x(first)) - kMapLeft;
      int to = std::max(from + 1, static_cast<int>(std::ceil(map.x(end))) - kMapLeft);
      for (int c = std::max(from, 0); c < to && c < kMapWidth; ++c) columns[static_cast<size_t>(c)] = std::max<int32_t>(columns[static_cast<size_t>(c)], peaks[s]);
    }
  }
  if (!any_levels(r)) return;
  const std::string foot = std::to_string(kLevelTop + kLevelLane);
  *out += "<text class=\"lane-label\" x=\"4\" y=\"" + std::to_string(kLevelTop + 18) +
          "\">dB</text><rect class=\"lane\" x=\"40\" y=\"" + std::to_string(kLevelTop) + "\" width=\"920\" height=\"" +
          std::to_string(kLevelLane) + "\"><title>peak per second, " + number(kLevelFloor) +
          " to 0 dBFS</title></rect>\n<path class=\"level\" d=\"";
  for (int c = 0; c < kMapWidth; ++c) {
    int32_t peak = columns[static_cast<size_t>(c)];
    if (peak <= 0) continue;
    double height = (peak_dbfs(peak) - kLevelFloor) / -kLevelFloor * kLevelLane;
    if (height < 0.5) continue;
    char bar[48];
    std::snprintf(bar, sizeof bar, "M%d.5 %sv-%.1f", kMapLeft + c, foot.c_str(), height);
    *out += bar;
  }
  *out += "\"/>\n";
}

void append_map(std::string* out, const TransferReport& r) {
  Map map{r.frames > 0 ? r.frames : 1};
  size_t lanes = r.mapped ? r.map.passes.size() : 0;
  std::string height = std::to_string(kPassTop + static_cast<int>(lanes) * kPassLane);
  *out += "<svg id=\"tape-map\" xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"" + height +
          "\" viewBox=\"0 0 1000 " + height + "\" role=\"img\" aria-label=\"map of the tape\">\n";
  *out += "<text class=\"lane-label\" x=\"4\" y=\"45\">prog</text><text class=\"lane-label\" x=\"4\" y=\"82\">L</text>"
          "<text class=\"lane-label\" x=\"4\" y=\"104\">R</text>\n";
  *out += "<rect class=\"lane\" x=\"40\" y=\"72\" width=\"920\" height=\"14\"/>"
          "<rect class=\"lane\" x=\"40\" y=\"94\" width=\"920\" height=\"14\"/>\n";
  for (const BlankStretch& b : r.blanks)
    *out += "<rect class=\"blank\" x=\"" + number(map.x(b.first_frame)) + "\" y=\"24\" width=\"" +
            number(map.width(b.frames)) + "\" height=\"36\"><title>blank tape, " + std::to_string(b.frames) +
            " frames</title></rect>\n";
  for (const ProgramStretch& p : r.programs) {
    if (p.first_frame < 0 || p.frames < 0) continue;  // only its times are known: no place on the map
    bool edge = p.program_kind != FRAME_PROGRAM_NUMBER;  // lead-in, lead-out, no number: paler
    *out += "<rect class=\"band " + format_class(p) + (edge ? " edge" : "") + "\" x=\"" +
            number(map.x(p.first_frame)) + "\" y=\"24\" width=\"" + number(map.width(p.frames)) +
            "\" height=\"36\"><title>program ";
    append_html(out, program_text(p.program_kind, p.program));
    *out += ", " + format_text(p) + ", " + std::to_string(p.frames) + " frames</title></rect>\n";
    std::string label = program_text(p.program_kind, p.program);
    if (map.width(p.frames) >= 8.0 * static_cast<double>(label.size()) + 6)
      *out += "<text class=\"band-label\" x=\"" + number(map.x(p.first_frame) + 3) + "\" y=\"46\">" + label +
              "</text>\n";
  }
  for (const ReportEvent& e : r.events) {
    std::string x = number(map.x(e.frame) + 0.5);
    std::string title = "<title>frame " + std::to_string(e.frame) + "</title>";
    if (e.kind == REPORT_CONTINUITY) {
      *out += "<g class=\"break\"><line x1=\"" + x + "\" y1=\"18\" x2=\"" + x + "\" y2=\"112\"/><path d=\"M" + x +
              " 18 l-4 -7 h8 z\"/>" + title + "</g>\n";
      continue;
    }
    bool unreadable = e.kind == REPORT_UNREADABLE;
    bool left = unreadable || (e.flags & 0x40) || !(e.flags & 0x60);
    bool right = unreadable || (e.flags & 0x20) || !(e.flags & 0x60);
    const char* kind = unreadable ? " unreadable" : "";
    if (left)
      *out += "<line class=\"tick tick-l" + std::string(kind) + "\" x1=\"" + x + "\" y1=\"72\" x2=\"" + x +
              "\" y2=\"86\">" + title + "</line>\n";
    if (right)
      *out += "<line class=\"tick tick-r" + std::string(kind) + "\" x1=\"" + x + "\" y1=\"94\" x2=\"" + x +
              "\" y2=\"108\">" + title + "</line>\n";
  }
  append_level_lane(out, r, map);
  append_axis(out, map);
  if (lanes) append_pass_lanes(out, r, map);
  *out += "</svg>\n";
}

void append_row(std::string* out, const char* label, const std::string& value) {
  *out += "<tr><th>";
  *out += label;
  *out += "</th><td>";
  append_html(out, value);
  *out += "</td></tr>\n";
}

std::string source_text(const ReportSource& s) {
  if (!s.image.empty()) return "image " + s.image;
  return "drive " + std::to_string(s.adapter) + ":" + std::to_string(s.target) + " " + s.vendor + " " + s.product +
         " " + s.revision;
}

const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.5em 0 1.5em}td,th{border:1px solid #bbb;padding:2px 6px;text-align:left}"
    ".verdict{font-size:1.4em;font-weight:bold;padding:.2em .5em;display:inline-block}"
    ".verdict-clean{background:#cfc}.verdict-damaged{background:#fe9}.verdict-incomplete{background:#f99}"
    "svg text{font-size:11px;fill:#333}.axis line{stroke:#333}.lane{fill:#f4f4f4}.level{fill:none;stroke:#2e5f8f}"
    ".blank{fill:#ccc}.band{stroke:#fff;stroke-width:.5}.edge{opacity:.45}svg text.band-label{fill:#fff;font-size:12px}"
    "td{white-space:nowrap}"
    ".fmt-48000{fill:#4a7fc1}.fmt-44100{fill:#4caf50}.fmt-32000{fill:#e39b2d}.fmt-lp{fill:#9b59b6}"
    ".fmt-other{fill:#888}.tick{stroke:#d62728;stroke-width:1}.tick.unreadable{stroke:#000;stroke-width:2}"
    ".break line{stroke:#c00;stroke-dasharray:3 2}.break path{fill:#c00}"
    ".whose-tape{fill:#d62728}.whose-drive{fill:#1f77b4}.whose-undecided{fill:#999}"
    ".swatch{display:inline-block;width:1em;height:1em;vertical-align:middle;margin:0 .3em 0 1em}";

}  // namespace

std::string report_html(const TransferReport& r) {
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Transfer report: ";
  append_html(&out, r.base_name);
  out += "</title>\n<style>";
  out += kStyle;
  out += "</style>\n</head>\n<body>\n<h1>Transfer report: ";
  append_html(&out, file_part(r.base_name));
  const char* verdict = report_verdict(r);
  out += "</h1>\n<p id=\"verdict\" class=\"verdict verdict-" + std::string(verdict) + "\">" + verdict + "</p>\n";
  out += "<table id=\"summary\">\n";
  append_row(&out, "kestrel", KESTREL_VERSION);
  append_row(&out, "mode", r.mode);
  append_row(&out, "source", source_text(r.source));
  std::string options;
  for (const std::string& a : r.arguments) options += (options.empty() ? "" : " ") + a;
  append_row(&out, "options", options);
  append_row(&out, "started", r.started);
  append_row(&out, "finished", r.finished);
  append_row(&out, "frames read", std::to_string(r.frames_read));
  append_row(&out, "frames unreadable", std::to_string(r.tally->unreadable));
  append_row(&out, "frames damaged", std::to_string(r.tally->damaged));
  append_row(&out, "continuity breaks", std::to_string(r.tally->continuity_breaks));
  out += "</table>\n<h2>Map of the tape</h2>\n";
  append_map(&out, r);
  size_t lanes = r.mapped ? r.map.passes.size() : 0;
  out += "<p class=\"legend\">";
  std::set<std::string> shown;
  for (const ProgramStretch& p : r.programs) {
    std::string cls = format_class(p);
    if (!shown.insert(cls).second) continue;
    out += "<svg class=\"swatch\" width=\"12\" height=\"12\"><rect class=\"" + cls +
           "\" width=\"12\" height=\"12\"/></svg>" + format_text(p);
  }
  out += "<svg class=\"swatch\" width=\"12\" height=\"12\"><rect class=\"blank\" width=\"12\" height=\"12\"/></svg>"
         "blank tape; red ticks: interpolated frames on the left (L) and right (R) channel; black: unreadable; "
         "dashed line: continuity break";
  if (any_levels(r)) out += "; dB: the highest sample of each second, from -60 dBFS to full scale";
  if (lanes)
    out += "; lanes 1 to " + std::to_string(lanes) +
           ": the passes of the image's map, each with the frames it read damaged, red where the damage is the "
           "tape's (damaged on every pass), blue where it is a drive's (read clean on another pass), grey where "
           "one pass alone cannot tell";
  out += "</p>\n";
  out += "<h2>Programs</h2>\n<table id=\"programs\">\n<thead><tr><th>program</th><th>first frame</th><th>frames</th>"
         "<th>start</th><th>end</th><th>format</th><th>emphasis</th><th>SCMS</th><th>date</th><th>start ID frames</th>"
         "<th>damaged frames</th><th>file</th><th>loudness</th><th>true peak</th><th>sample peak</th>"
         "<th>clipped runs</th><th>silence</th></tr></thead>\n<tbody>\n";
  for (const ProgramStretch& p : r.programs) {
    out += "<tr><td>";
    append_html(&out, program_text(p.program_kind, p.program));
    out += "</td><td>" + std::to_string(p.first_frame) + "</td><td>" + std::to_string(p.frames) + "</td><td>" +
           (p.abs_start.valid ? time_code_text(p.abs_start.code) : "") + "</td><td>" +
           (p.abs_end.valid ? time_code_text(p.abs_end.code) : "") + "</td><td>" + format_text(p) + "</td><td>" +
           emphasis_text(p.emphasis) + "</td><td>" + scms_text(p.scms) + "</td><td>" +
           (p.date.valid ? pack_date_text(p.date) : "") + "</td><td>" + std::to_string(p.start_id_frames) +
           "</td><td>" + std::to_string(p.damaged_frames) + "</td><td>";
    append_html(&out, file_part(p.file));
    out += "</td>" + levels_cells(p) + "</tr>\n";
  }
  out += "</tbody>\n</table>\n<h2>Problem frames</h2>\n";
  if (r.events.empty()) out += "<p>None.</p>\n";
  else {
    out += "<table id=\"events\">\n<thead><tr><th>frame</th><th>time</th><th>kind</th><th>flags</th><th>file</th>"
           "<th>sample</th><th>whose</th></tr></thead>\n<tbody>\n";
    static const char* const kKinds[] = {"interpolated", "unreadable", "continuity"};
    for (size_t i = 0; i < r.events.size() && i < kEventRows; ++i) {
      const ReportEvent& e = r.events[i];
      char flags[8];
      std::snprintf(flags, sizeof flags, "0x%02x", static_cast<unsigned>(e.flags));
      out += "<tr><td>" + std::to_string(e.frame) + "</td><td>" +
             (e.abs_time.valid ? time_code_text(e.abs_time.code) : "") + "</td><td>" + kKinds[e.kind] + "</td><td>" +
             (e.kind == REPORT_UNREADABLE ? "" : flags) + "</td><td>";
      if (e.file >= 0) {
        append_html(&out, file_part(r.file_names[static_cast<size_t>(e.file)]));
        out += "</td><td>" + std::to_string(e.sample_offset);
      } else {
        out += "</td><td>";
      }
      const char* whose = e.kind == REPORT_CONTINUITY ? nullptr : report_damage_class(r, e.frame);
      out += "</td><td>" + std::string(whose ? whose : "") + "</td></tr>\n";
    }
    out += "</tbody>\n</table>\n";
    if (r.events.size() > kEventRows)
      out += "<p>The first " + std::to_string(kEventRows) + " of " + std::to_string(r.events.size()) +
             "; the JSON report lists all.</p>\n";
  }
  out += "<h2>Files</h2>\n<table id=\"files\">\n<thead><tr><th>file</th><th>bytes</th><th>SHA-256</th>"
         "<th>audio MD5</th><th>loudness</th></tr></thead>\n<tbody>\n";
  for (const ReportFile& f : r.files) {
    out += "<tr><td>";
    append_html(&out, file_part(f.name));
    out += "</td><td>" + (f.bytes >= 0 ? std::to_string(f.bytes) : std::string("unreadable")) + "</td><td><code>" +
           f.sha256 + "</code></td><td><code>" + f.audio_md5 + "</code></td><td>" + loudness_text(f.loudness) +
           "</td></tr>\n";
  }
  out += "</tbody>\n</table>\n</body>\n</html>\n";
  return out;
}
