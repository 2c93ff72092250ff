// SPDX-License-Identifier: MIT
#include "report/transfer_report.h"

#include <cmath>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include <sys/stat.h>

#include "datframe/dat_frame.h"
#include "platform/clock.h"
#include "platform/digest.h"
#include "report/checksums.h"
#include "report/text.h"

namespace {

std::vector<std::string> g_arguments;

}  // namespace

// Local time with its offset from UTC, ISO 8601: 2026-12-07T18:31:02+01:00.
std::string report_time_text(int64_t seconds, bool utc) {
  time_t now = static_cast<time_t>(seconds);
  struct tm local {};
  if (utc) gmtime_r(&now, &local);
  else localtime_r(&now, &local);
  char text[40];
  size_t used = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  long offset = local.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  std::snprintf(text + used, sizeof text - used, "%c%02ld:%02ld", sign, offset / 60, offset % 60);
  return text;
}

const std::vector<std::string>& report_arguments() { return g_arguments; }

void transfer_report_fix_time(TransferReport* r, int64_t seconds) {
  if (!r) return;
  r->time_fixed = true;
  r->started = r->finished = report_time_text(seconds, true);
}

namespace {

std::string local_time_text() { return report_time_text(platform_time_s(), false); }

int32_t file_index(TransferReport* r, const char* file) {
  if (!file) return -1;
  if (!r->file_names.empty() && r->file_names.back() == file) return static_cast<int32_t>(r->file_names.size() - 1);
  for (size_t i = 0; i < r->file_names.size(); ++i)
    if (r->file_names[i] == file) return static_cast<int32_t>(i);
  r->file_names.push_back(file);
  return static_cast<int32_t>(r->file_names.size() - 1);
}

ReportEvent event_at(const TransferReport* r, int64_t frame, int32_t kind) {
  ReportEvent e{};
  e.frame = frame;
  e.kind = kind;
  e.file = -1;
  e.sample_offset = -1;
  e.reads = 1;
  e.kept = 1;
  if (kind != REPORT_UNREADABLE) {
    e.abs_time = r->info.absolute;
    e.program_kind = r->info.program_kind;
    e.program = r->info.program;
  }
  return e;
}

// The frame taken last goes into the lists, with what the mode did with it.
void settle_pending(TransferReport* r) {
  if (!r->pending) return;
  r->pending = false;
  int64_t index = r->frames - 1;
  const FrameInfo& info = r->info;
  if (r->frame_events.blank) {
    if (!r->blanks.empty() && r->blanks.back().first_frame + r->blanks.back().frames == index) {
      r->blanks.back().frames += 1;
    } else {
      r->blanks.push_back(BlankStretch{index, 1});
    }
  } else {
    const char* file = r->pending_file >= 0 ? r->file_names[static_cast<size_t>(r->pending_file)].c_str() : nullptr;
    add_program_frame(&r->programs, index, info, file, r->pending_offset);
  }
  auto add_event = [&](int32_t kind) {
    ReportEvent e = event_at(r, index, kind);
    e.flags = info.flags;
    e.file = r->pending_file;
    e.sample_offset = r->pending_file >= 0 ? r->pending_offset : -1;
    e.concealed = r->pending_concealed;
    e.reads = r->pending_reads;
    e.kept = r->pending_kept;
    e.expected = r->pending_continuity.expected;
    r->events.push_back(e);
  };
  if (info.flags) {
    add_event(REPORT_INTERPOLATED);
  } else if (r->pending_kept > 1) {
    // A later read gave the clean copy kept: listed apart, no problem of the transfer.
    add_event(REPORT_RECOVERED);
    r->recovered.push_back(r->events.back());
    r->events.pop_back();
  }
  if (r->pending_continuity.broken) add_event(REPORT_CONTINUITY);
}

}  // namespace

void remember_report_arguments(int argc, char** argv) {
  g_arguments.clear();
  for (int i = 1; i < argc; ++i) g_arguments.push_back(argv[i] ? argv[i] : "");
}

TransferReport* transfer_report_begin(const char* mode, const char* base_name, const ReportSource& source,
                                      const RunTally* tally) {
  auto* r = new (std::nothrow) TransferReport;
  if (!r) return nullptr;
  r->tally = tally;
  r->mode = mode;
  r->base_name = base_name;
  r->arguments = g_arguments;
  r->source = source;
  r->started = local_time_text();
  r->checksums = checksum_worker_start();
  return r;
}

void transfer_report_frame(TransferReport* r, const FrameInfo* info, const FrameEvents* events,
                           const ContinuityResult* continuity, int32_t reads, int32_t kept) {
  if (!r) return;
  settle_pending(r);
  r->pending = true;
  r->info = *info;
  r->frame_events = *events;
  r->pending_continuity = *continuity;
  r->pending_reads = reads;
  r->pending_kept = kept;
  r->pending_file = -1;
  r->pending_offset = -1;
  r->pending_concealed = 0;
  r->frames += 1;
  r->frames_read += 1;
}

void transfer_report_unreadable(TransferReport* r, uint32_t result) {
  if (!r) return;
  settle_pending(r);
  int64_t index = r->frames;
  r->frames += 1;
  // The place lies within the program around it.
  if (!r->programs.empty() && r->programs.back().first_frame + r->programs.back().frames == index)
    r->programs.back().frames += 1;
  ReportEvent e = event_at(r, index, REPORT_UNREADABLE);
  e.read_result = result;
  r->events.push_back(e);
}

void transfer_report_written(TransferReport* r, const char* file, int64_t sample_offset, int32_t concealed,
                             const void* audio, size_t bytes) {
  if (!r || !r->pending) return;
  r->pending_file = file_index(r, file);
  if (r->pending_file >= 0 && audio) checksum_worker_audio(r->checksums, r->pending_file, audio, bytes);
  r->pending_offset = sample_offset;
  r->pending_concealed = concealed > 0 ? concealed : 0;
}

void transfer_report_unreadable_written(TransferReport* r, const char* file, int64_t sample_offset,
                                        const void* audio, size_t bytes) {
  if (!r || r->events.empty() || r->events.back().kind != REPORT_UNREADABLE) return;
  ReportEvent& e = r->events.back();
  e.file = file_index(r, file);
  e.sample_offset = e.file >= 0 ? sample_offset : -1;
  if (e.file >= 0 && audio) checksum_worker_audio(r->checksums, e.file, audio, bytes);
}

void transfer_report_file_restarted(TransferReport* r, const char* file) {
  if (!r || !file) return;
  for (size_t i = 0; i < r->file_names.size(); ++i) {
    if (r->file_names[i] != file) continue;
    for (ReportEvent& e : r->events)
      if (e.file == static_cast<int32_t>(i)) {
        e.file = -1;
        e.sample_offset = -1;
      }
    for (ProgramStretch& p : r->programs)
      if (p.file == file) {
        p.file.clear();
        p.sample_offset = -1;
      }
    checksum_worker_restart(r->checksums, static_cast<int32_t>(i));
  }
  if (r->pending_file >= 0 && r->file_names[static_cast<size_t>(r->pending_file)] == file) {
    r->pending_file = -1;
    r->pending_offset = -1;
  }
}

void transfer_report_file(TransferReport* r, const char* file, bool wav, const char* audio_md5,
                          const LoudnessFigures* loudness, const std::vector<ProgramLevels>* levels) {
  if (!r || !file) return;
  // Given to its programs at the finish, once the file's last frame is among them.
  if (levels && !levels->empty()) r->program_levels.emplace_back(file, *levels);
  r->files.push_back(ReportFile{file, wav ? 1 : 0, -1, "", audio_md5 ? audio_md5 : "", {}});
  if (loudness) r->files.back().loudness = *loudness;
  checksum_worker_file(r->checksums, file_index(r, file), r->files.size() - 1, r->files.back());
}

bool transfer_report_checksums_wait(TransferReport* r, uint32_t ms, int64_t* done, int64_t* total) {
  *done = *total = 0;
  return !r || checksum_worker_wait(r->checksums, ms, done, total);
}

void transfer_report_checksums_cancel(TransferReport* r) {
  if (r) checksum_worker_cancel(r->checksums);
}

const char* report_verdict(const TransferReport& r) { return run_verdict_name(run_verdict(r.tally)); }

void transfer_report_map(TransferReport* r, const RescueMap* map) {
  if (!r || !map) return;
  r->map = *map;
  r->mapped = true;
}

const char* report_damage_class(const TransferReport& r, int64_t index) {
  if (!r.mapped || index < 0 || static_cast<size_t>(index) >= r.map.records.size()) return nullptr;
  switch (rescue_map_class(&r.map.records[static_cast<size_t>(index)])) {
    case MAP_TAPES: return "tape";
    case MAP_DRIVES: return "drive";
    case MAP_ONE_PASS: return "undecided";
    case MAP_UNDAMAGED: break;
  }
  return nullptr;
}

void transfer_report_free(TransferReport* r) {
  if (!r) return;
  checksum_worker_cancel(r->checksums);
  std::vector<ReportFile> dropped;
  checksum_worker_finish(r->checksums, &dropped);
  delete r;
}

namespace {

using Json = nlohmann::ordered_json;

Json text_or_null(const std::string& value) { return value.empty() ? Json() : Json(value); }

std::string channels_text(int32_t flags) {
  std::string text;
  if (flags & 0x40) text += 'L';
  if (flags & 0x20) text += 'R';
  return text;
}

const char* event_kind_text(int32_t kind) {
  static const char* const kKinds[] = {"interpolated", "unreadable", "continuity", "recovered"};
  return kKinds[kind];
}

std::string hex_text(const char* format, uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

Json event_json(const TransferReport& r, const ReportEvent& e) {
  Json o;
  o["frame"] = e.frame;
  o["abs_time"] = e.abs_time.valid ? Json(time_code_text(e.abs_time.code)) : Json();
  // An unreadable frame tells nothing of itself.
  o["program"] = e.kind == REPORT_UNREADABLE ? Json() : program_json(e.program_kind, e.program);
  o["kind"] = event_kind_text(e.kind);
  o["channels"] = text_or_null(e.kind == REPORT_INTERPOLATED ? channels_text(e.flags) : "");
  o["flags"] = e.kind == REPORT_UNREADABLE ? Json() : Json(hex_text("0x%02x", static_cast<uint32_t>(e.flags)));
  o["file"] = e.file >= 0 ? Json(file_part(r.file_names[static_cast<size_t>(e.file)])) : Json();
  o["sample_offset"] = e.file >= 0 && e.sample_offset >= 0 ? Json(e.sample_offset) : Json();
  o["concealed"] = e.concealed;
  if (e.kind == REPORT_CONTINUITY) o["expected"] = time_code_text(e.expected);
  if (e.kind == REPORT_UNREADABLE) o["read_result"] = hex_text("0x%08x", e.read_result);
  if (e.reads > 1) {
    o["reads"] = e.reads;
    o["kept"] = e.kept;
    o["clean"] = e.flags == 0;
  }
  if (e.kind != REPORT_CONTINUITY)
    if (const char* whose = report_damage_class(r, e.frame)) o["damage"] = whose;
  return o;
}

Json events_json(const TransferReport& r, const std::vector<ReportEvent>& events) {
  Json list = Json::array();
  for (const ReportEvent& e : events) list.push_back(event_json(r, e));
  return list;
}

}  // namespace

std::string report_json(const TransferReport& r) {
  Json doc;
  doc["kestrel"] = KESTREL_VERSION;
  // Raised when a field goes or changes its meaning (doc/report.schema.json).
  doc["schema_version"] = 1;
  doc["mode"] = r.mode;
  doc["started"] = r.started;
  doc["finished"] = r.finished;
  doc["options"] = r.arguments;
  Json& source = doc["source"] = Json::object();
  if (!r.source.image.empty()) {
    source["image"] = r.source.image;
    // The reading that made the image, as its record says.
    if (r.source.image_made_known) source["made"] = provenance_reading_json(r.source.image_made);
  } else {
    source["adapter"] = r.source.adapter;
    source["target"] = r.source.target;
    source["vendor"] = r.source.vendor;
    source["product"] = r.source.product;
    source["revision"] = r.source.revision;
  }
  doc["frames_read"] = r.frames_read;
  doc["frames_unreadable"] = r.tally->unreadable;
  doc["frames_damaged"] = r.tally->damaged;
  doc["continuity_breaks"] = r.tally->continuity_breaks;
  // Names as they lie beside the report.
  std::vector<ProgramStretch> programs = r.programs;
  for (ProgramStretch& p : programs) p.file = file_part(p.file);
  doc["programs"] = programs_json(programs);
  Json& blanks = doc["blank_stretches"] = Json::array();
  for (const BlankStretch& b : r.blanks) blanks.push_back(Json{{"first_frame", b.first_frame}, {"frames", b.frames}});
  doc["events"] = events_json(r, r.events);
  // Frames re-reads gave clean: how often each was read, which read was kept.
  if (!r.recovered.empty()) doc["recovered"] = events_json(r, r.recovered);
  Json& files = doc["files"] = Json::array();
  for (const ReportFile& f : r.files) {
    Json& o = files.emplace_back();
    o["name"] = file_part(f.name);
    o["bytes"] = f.bytes >= 0 ? Json(f.bytes) : Json();
    o["sha256"] = text_or_null(f.sha256);
    if (f.wav) o["audio_md5"] = text_or_null(f.audio_md5);
    if (f.loudness.measured) o["loudness"] = loudness_json(f.loudness);
  }
  if (r.mapped) {
    // The passes of the map, and whose the damage is by them.
    MapDamage whose = rescue_map_damage(&r.map);
    Json& passes = doc["passes"] = Json::array();
    for (size_t p = 0; p < r.map.passes.size(); ++p) {
      const MapPass& pass = r.map.passes[p];
      passes.push_back(Json{{"pass", p + 1}, {"kind", pass.kind}, {"date", pass.date}, {"drive", pass.drive},
                            {"frames_damaged", whose.per_pass[p]}});
    }
    Json& drives = doc["drives"] = Json::array();
    for (const auto& d : whose.per_drive) drives.push_back(Json{{"drive", d.first}, {"frames_damaged", d.second}});
    doc["damage"] = Json{{"tape", whose.tapes}, {"drive", whose.drives}, {"undecided", whose.one_pass}};
  }
  doc["verdict"] = report_verdict(r);
  return json_layout(doc);
}

ReportNames transfer_report_names(const std::string& base_name) {
  return ReportNames{base_name + ".json", base_name + ".html", base_name + ".sha256"};
}

int transfer_report_of_a_drive(const char* path) {
  // The beginning of the JSON object as report_json writes it: the version,
  // the mode, the times, the arguments (long at most as a command line),
  // then the source, a drive's with its adapter.
  FILE* file = std::fopen(path, "rb");
  if (!file) return 0;
  std::string head(65536, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::fclose(file);
  return head.rfind("{\n  \"kestrel\": ", 0) == 0 && head.find("\n  \"source\": {\"adapter\": ") != std::string::npos
             ? 1
             : 0;
}

std::string report_sha256_list(const std::vector<ReportFile>& files) {
  std::string out;
  for (const ReportFile& f : files) {
    if (f.sha256.empty()) continue;
    // sha256sum's own form for a name with a backslash or a line end: the
    // line begins with a backslash and they are escaped.
    std::string name = file_part(f.name);
    bool escaped = name.find_first_of("\\\n\r") != std::string::npos;
    if (escaped) {
      std::string plain;
      for (char c : name) plain += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
      name = plain;
      out += '\\';
    }
    out += f.sha256 + "  " + name + "\n";
  }
  return out;
}

int transfer_report_finish(TransferReport* r, ReportSummary* summary, ReportFailure* failure) {
  if (!r) return 0;
  settle_pending(r);
  for (const auto& measured : r->program_levels) attach_program_levels(&r->programs, measured.first, measured.second);
  checksum_worker_finish(r->checksums, &r->files);
  r->checksums = nullptr;
  if (!r->time_fixed) r->finished = local_time_text();
  ReportNames names = transfer_report_names(r->base_name);
  summary->json_name = names.json;
  summary->html_name = names.html;
  summary->sha256_name = names.sha256;
  std::string json = report_json(*r);
  std::string html = report_html(*r);
  std::vector<ReportFile> listed = r->files;
  listed.push_back(ReportFile{summary->json_name, 0, static_cast<int64_t>(json.size()), report_text_sha256(json), ""});
  listed.push_back(ReportFile{summary->html_name, 0, static_cast<int64_t>(html.size()), report_text_sha256(html), ""});
  std::string sums = report_sha256_list(listed);
  listed.push_back(ReportFile{summary->sha256_name, 0, static_cast<int64_t>(sums.size()), report_text_sha256(sums), ""});
  summary->report_files.assign(listed.end() - 3, listed.end());
  const std::pair<const std::string*, const std::string*> written[] = {
      {&summary->json_name, &json}, {&summary->html_name, &html}, {&summary->sha256_name, &sums}};
  for (size_t i = 0; i < sizeof written / sizeof written[0]; ++i) {
    if (report_write_whole(*written[i].first, *written[i].second) == 0) continue;
    failure->file = *written[i].first;
    failure->error = errno;
    // No part of a report stands without the rest.
    for (size_t j = 0; j < i; ++j) std::remove(written[j].first->c_str());
    return -1;
  }
  summary->programs = 0;
  int32_t last_program = 0;
  for (const ProgramStretch& p : r->programs) {
    if (p.program_kind != FRAME_PROGRAM_NUMBER || p.program == last_program) continue;
    summary->programs += 1;
    last_program = p.program;
  }
  summary->left_damaged = summary->right_damaged = summary->both_damaged = summary->other_damaged = 0;
  for (const ReportEvent& e : r->events) {
    if (e.kind != REPORT_INTERPOLATED) continue;
    bool left = e.flags & 0x40, right = e.flags & 0x20;
    int64_t* count = left && right ? &summary->both_damaged
                     : left        ? &summary->left_damaged
                     : right       ? &summary->right_damaged
                                   : &summary->other_damaged;
    *count += 1;
  }
  summary->unreadable = r->tally->unreadable;
  summary->continuity_breaks = r->tally->continuity_breaks;
  summary->unchecked_files = 0;
  for (const ReportFile& f : r->files) summary->unchecked_files += f.sha256.empty() ? 1 : 0;
  summary->verdict = report_verdict(*r);
  return 0;
}
