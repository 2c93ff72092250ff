// SPDX-License-Identifier: MIT
// The transfer report of a run drawn with /REPORT, against the model.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/digest.h"
#include "tests/campaign/scenarios.h"
#include "tests/support/e2e/archival_files.h"
#include "tests/support/e2e/json.h"
#include "tests/support/temp_dir.h"

namespace {

std::string digest_of(DigestKind kind, const std::string& bytes) {
  char hex[65] = "";
  Digest* d = digest_begin(kind);
  digest_add(d, bytes.data(), bytes.size());
  digest_end(d, nullptr, hex);
  return hex;
}

// The samples of a frame of a program at its rate (long play: 12 bits).
int64_t frame_samples(JsonFlat& json, const std::string& program) {
  std::string rate = json[program + "rate"];
  if (rate == "48000") return 1440;
  if (rate == "44100") return 1323;
  return json[program + "bits"] == "12" ? DAT_LP_PCM_BYTES / 4 : 960;
}

// The levels the report gives each program in a WAV file against the audio
// the file holds from the program's first sample to its last frame's end
// (or the next program's first sample): the peak and the DC offset of each
// channel (frames written as silence in its place change neither). Blank
// tape after a program is in the file but in no program. A run a failed
// write cut short measured audio its last file could not keep: not checked.
void check_program_levels(Verdict* v, const std::string& dir, JsonFlat& json, bool cut_short) {
  if (cut_short) return;
  size_t programs = std::stoul("0" + json["programs#"]);
  for (size_t i = 0; i < programs; ++i) {
    std::string p = "programs." + std::to_string(i) + ".levels.";
    std::string file = json["programs." + std::to_string(i) + ".file"];
    if (!json.count(p + "samples") || file.size() < 4 || file.substr(file.size() - 4) != ".wav") continue;
    std::string data = read_riff(dir + "/" + file).data();
    int64_t first = std::stoll(json[p + "sample_offset"]), end = static_cast<int64_t>(data.size() / 4);
    for (size_t j = i + 1; j < programs; ++j)
      if (json["programs." + std::to_string(j) + ".file"] == file &&
          json.count("programs." + std::to_string(j) + ".levels.sample_offset")) {
        end = std::stoll(json["programs." + std::to_string(j) + ".levels.sample_offset"]);
        break;
      }
    std::string program = "programs." + std::to_string(i) + ".";
    end = std::min<int64_t>(end, first + std::stoll(json[program + "frames"]) * frame_samples(json, program));
    int32_t peak[2] = {0, 0};
    int64_t sum[2] = {0, 0};
    for (int64_t at = first; at < end; ++at)
      for (int c = 0; c < 2; ++c) {
        int16_t x;
        std::memcpy(&x, data.data() + 4 * at + 2 * c, 2);
        peak[c] = std::max(peak[c], std::abs(static_cast<int32_t>(x)));
        sum[c] += x;
      }
    int64_t samples = std::stoll(json[p + "samples"]);
    check(v, samples <= end - first, "report: " + p + "samples beyond the program's audio");
    for (int c = 0; c < 2; ++c) {
      std::string said = json[p + "sample_peak_dbfs." + std::to_string(c)];
      double db = 20 * std::log10(peak[c] / 32768.0);
      check(v, peak[c] == 0 ? said == "null" : said != "null" && std::fabs(std::stod(said) - db) < 0.006,
            "report: " + p + "sample peak " + said + ", the file's is " + std::to_string(db));
      double dc = samples > 0 ? static_cast<double>(sum[c]) / static_cast<double>(samples) / 32768 : 0;
      said = json[p + "dc_offset." + std::to_string(c)];
      check(v, std::fabs(std::stod(said) - dc) < 1e-5,
            "report: " + p + "DC offset " + said + ", the file's is " + std::to_string(dc));
    }
  }
}

}  // namespace

bool check_report(Verdict* v, const std::string& dir, const std::string& name, const ReportModel& model,
                  bool incomplete, bool cut_short, const ProcessResult& result, bool may_fail,
                  std::vector<std::string>* files) {
  const std::string parts[] = {name + ".json", name + ".sha256", name + ".html"};
  if (may_fail && result.out.find("The transfer report could not be written:") != std::string::npos) {
    for (const std::string& part : parts) check(v, !file_exists(dir + "/" + part), part + ": left by a failed report");
    return false;
  }
  for (const std::string& part : parts) files->push_back(part);
  JsonFlat json;
  if (!json_flatten(read_file(dir + "/" + name + ".json"), &json)) {
    check(v, false, name + ".json: no valid JSON");
    return true;
  }
  std::string events = json["events#"];
  // A run a failed write cut short read a first part of the frames.
  check(v, cut_short ? std::stoul("0" + events) <= model.events.size() : events == std::to_string(model.events.size()),
        "report: " + events + " events, the model has " + std::to_string(model.events.size()));
  for (size_t i = 0; i < model.events.size() && i < std::stoul("0" + events); ++i) {
    std::string e = "events." + std::to_string(i) + ".";
    check(v, json[e + "frame"] == std::to_string(model.events[i].first) && json[e + "kind"] == model.events[i].second,
          "report: event " + std::to_string(i) + " is " + json[e + "kind"] + " at " + json[e + "frame"] +
              ", the model has " + model.events[i].second + " at " + std::to_string(model.events[i].first));
  }
  check(v, json["continuity_breaks"] == "0", "report: continuity breaks on a tape in order");
  int64_t unreadable = 0;
  for (const auto& e : model.events) unreadable += e.second == "unreadable";
  check(v, cut_short || json["frames_read"] == std::to_string(model.frames - unreadable),
        "report: frames_read " + json["frames_read"] + ", the model has " + std::to_string(model.frames - unreadable));
  std::string verdict = incomplete ? "incomplete" : model.events.empty() ? "clean" : "damaged";
  check(v, json["verdict"] == verdict, "report: verdict " + json["verdict"] + ", the model has " + verdict);
  // The exit code agrees with the verdict the report states.
  int code = json["verdict"] == "clean" ? 0 : json["verdict"] == "damaged" ? 5 : 6;
  check(v, result.exit_code == code,
        "exit code " + std::to_string(result.exit_code) + " with the verdict " + json["verdict"]);
  bool given_up = result.out.find(" - checksums given up") != std::string::npos;
  for (size_t i = 0; i < std::stoul("0" + json["files#"]); ++i) {
    std::string f = "files." + std::to_string(i) + ".";
    std::string listed = json[f + "name"];
    std::string bytes = read_file(dir + "/" + listed);
    check(v, json[f + "bytes"] == std::to_string(bytes.size()), "report: " + listed + " listed with another size");
    if (given_up && json[f + "sha256"] == "null") continue;
    check(v, json[f + "sha256"] == digest_of(DIGEST_SHA256, bytes), "report: " + listed + ": SHA-256 differs");
    if (json.count(f + "audio_md5"))
      check(v, json[f + "audio_md5"] == digest_of(DIGEST_MD5, read_riff(dir + "/" + listed).data()),
            "report: " + listed + ": audio MD5 differs");
  }
  check_program_levels(v, dir, json, cut_short);
  return true;
}

std::string report_failure_line(const ProcessResult& result) {
  const std::string mark = "The transfer report could not be written:\n";
  size_t at = result.out.find(mark);
  if (at == std::string::npos) return "";
  at += mark.size();
  size_t end = result.out.find('\n', at);
  return result.out.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
}
