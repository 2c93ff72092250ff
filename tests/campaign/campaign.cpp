// SPDX-License-Identifier: MIT
#include "tests/campaign/campaign.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>

#include "datframe/dat_frame.h"

int rng_range(Rng* rng, int low, int high) {
  std::uniform_int_distribution<int> pick(low, high);
  return pick(rng->engine);
}

bool rng_chance(Rng* rng, double probability) {
  std::bernoulli_distribution pick(probability);
  return pick(rng->engine);
}

void check(Verdict* verdict, bool holds, const std::string& what) {
  ++verdict->invariants;
  if (!holds) verdict->failures.push_back(what);
}

void add_fault(Verdict* verdict, const std::string& kind, const std::string& detail) {
  verdict->faults.push_back(detail.empty() ? kind : kind + " " + detail);
  verdict->fault_kinds.push_back(kind);
}

std::string RunPlan::describe() const {
  std::string text = "kestrel";
  for (const std::string& a : args) text += " " + a;
  for (const BusDrive& d : drives) {
    text += " [" + d.address;
    for (const auto& [key, value] : d.keys)
      if (key != "cassette") text += " " + key + "=" + value;
    text += "]";
  }
  for (const auto& [key, value] : bus_keys) text += " [bus " + key + "=" + value + "]";
  if (!options.stdin_data.empty()) text += " stdin=" + std::to_string(options.stdin_data.size()) + " keys";
  if (file_size_limit >= 0)
    text += (limit_from_shell ? " ulimit -f " + std::to_string(file_size_limit / 1024) + " (KiB)"
                              : " fsize=" + std::to_string(file_size_limit));
  return text;
}

ProcessResult run_plan(const RunPlan& plan, const std::string& dir) {
  if (!write_bus_file(dir + "/bus.ini", plan.drives, plan.bus_keys)) {
    ProcessResult failed;
    failed.err = "the bus file cannot be written";
    return failed;
  }
  ProcessOptions options = bus_options(dir + "/bus.ini", plan.options);
  options.cwd = dir;
  options.timeout_s = 120;
  if (!plan.limit_from_shell) {
    options.file_size_limit = plan.file_size_limit;
    return run_kestrel(plan.args, options);
  }
  std::vector<std::string> args = {"-c", "ulimit -f " + std::to_string(plan.file_size_limit / 1024) +
                                             " && exec \"$0\" \"$@\"",
                                   build_path("kestrel")};
  args.insert(args.end(), plan.args.begin(), plan.args.end());
  options.env.push_back("KESTREL_CLOCK=simulated");
  return run_process("/bin/bash", args, options);
}

void check_process(Verdict* verdict, const ProcessResult& result, int expected_exit) {
  check(verdict, !result.timed_out, "kestrel did not end within its time");
  check(verdict, result.term_signal == 0, "kestrel died of signal " + std::to_string(result.term_signal));
  bool sanitizer = result.err.find("Sanitizer") != std::string::npos ||
                   result.err.find("runtime error:") != std::string::npos;
  check(verdict, !sanitizer, "sanitizer report: " + result.err.substr(0, 2000));
  check(verdict, sanitizer || result.err.empty(), "standard error: " + result.err.substr(0, 500));
  check(verdict, result.exit_code == expected_exit,
        "exit code " + std::to_string(result.exit_code) + ", expected " + std::to_string(expected_exit));
}

size_t count_said(const ProcessResult& result, const std::string& text) {
  size_t count = 0;
  for (size_t at = result.out.find(text); at != std::string::npos; at = result.out.find(text, at + text.size()))
    ++count;
  return count;
}

void check_said(Verdict* verdict, const ProcessResult& result, const std::string& text) {
  check(verdict, result.out.find(text) != std::string::npos, "the console did not say \"" + text + "\"");
}

void check_not_said(Verdict* verdict, const ProcessResult& result, const std::string& text) {
  check(verdict, result.out.find(text) == std::string::npos, "the console said \"" + text + "\"");
}

void check_messages(Verdict* verdict, const ProcessResult& result, const std::vector<std::string>& expected,
                    const std::vector<std::string>& known_failures) {
  for (const std::string& text : expected) check_said(verdict, result, text);
  for (const std::string& failure : known_failures) {
    bool expected_one = false;
    for (const std::string& text : expected) expected_one = expected_one || text.rfind(failure, 0) == 0;
    if (!expected_one) check_not_said(verdict, result, failure);
  }
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void check_files(Verdict* verdict, const std::string& dir, std::vector<std::string> expected) {
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  std::vector<std::string> found = list_dir(dir);
  std::string text;
  for (const std::string& name : found) text += " " + name;
  std::string wanted;
  for (const std::string& name : expected) wanted += " " + name;
  check(verdict, found == expected, "files" + text + " where" + wanted + " were expected");
}

std::string frames_bytes(const std::vector<DatFrame>& frames) {
  return std::string(reinterpret_cast<const char*>(frames.data()), frames.size() * sizeof(DatFrame));
}

std::string track_number(int track) {
  char text[16];
  std::snprintf(text, sizeof text, "%.3d", track);
  return text;
}

std::string difference(const std::string& actual, const std::string& expected) {
  if (actual == expected) return "";
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return std::to_string(actual.size()) + " bytes where " + std::to_string(expected.size()) +
         " were expected, first difference at byte " + std::to_string(at);
}
