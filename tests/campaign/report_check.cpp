// SPDX-License-Identifier: MIT
// The transfer report of a run drawn with /REPORT, against the model.
#include <cstdio>

#include "platform/digest.h"
#include "tests/campaign/scenarios.h"
#include "tests/support/e2e/archival_files.h"
#include "tests/support/e2e/json.h"
#include "tests/support/report_schema.h"
#include "tests/support/temp_dir.h"

namespace {

std::string digest_of(DigestKind kind, const std::string& bytes) {
  char hex[65] = "";
  Digest* d = digest_begin(kind);
  digest_add(d, bytes.data(), bytes.size());
  digest_end(d, nullptr, hex);
  return hex;
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
  // What a consumer of reports checks first: the published schema.
  std::string problems = report_schema_problems({dir + "/" + name + ".json"});
  check(v, problems.empty(), name + ".json against the schema: " + problems);
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
