// SPDX-License-Identifier: MIT
#include "tests/support/report_schema.h"

#include <fstream>

#include "tests/support/process.h"

namespace fs = std::filesystem;

namespace {

// python3 -c kValidator SCHEMA FILE...: the files as JSON documents, or
// with --lines first, a JSON object on each line of standard input.
const char kValidator[] = R"(
import json, sys, jsonschema
schema = json.load(open(sys.argv[1]))
validator = jsonschema.Draft202012Validator(schema)
if sys.argv[2:] == ['--lines']:
    documents = [('line %d' % (n + 1), json.loads(line)) for n, line in enumerate(sys.stdin.read().splitlines())]
else:
    documents = [(name, json.load(open(name))) for name in sys.argv[2:]]
for name, document in documents:
    for error in validator.iter_errors(document):
        print(name + ': ' + '/'.join(str(p) for p in error.absolute_path) + ': ' + error.message[:200])
)";

bool is_report(const fs::path& path) {
  if (path.extension() != ".json") return false;
  std::ifstream in(path, std::ios::binary);
  char head[16] = {};
  in.read(head, 15);
  return std::string(head) == "{\n  \"kestrel\": ";
}

void add_reports(const fs::path& folder, fs::file_time_type since, std::vector<std::string>* reports) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    if (entry.is_regular_file(error) && entry.last_write_time(error) >= since && is_report(entry.path()))
      reports->push_back(entry.path().string());
}

}  // namespace

std::vector<std::string> reports_written_since(const std::string& folder, fs::file_time_type since) {
  std::vector<std::string> reports;
  fs::path root = folder.empty() ? fs::current_path() : fs::path(folder);
  add_reports(root, since, &reports);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root, error))
    if (entry.is_directory(error)) add_reports(entry.path(), since, &reports);
  return reports;
}

std::string report_schema_problems(const std::vector<std::string>& reports) {
  if (reports.empty()) return "";
  std::vector<std::string> args = {"-c", kValidator, std::string(KESTREL_SOURCE_DIR) + "/doc/report.schema.json"};
  args.insert(args.end(), reports.begin(), reports.end());
  ProcessResult r = run_process("/usr/bin/python3", args);
  if (r.exit_code != 0) return "the schema check did not run: " + r.err;
  return r.out;
}

std::string event_schema_problems(const std::string& lines) {
  ProcessOptions options;
  options.stdin_data = lines;
  ProcessResult r = run_process(
      "/usr/bin/python3", {"-c", kValidator, std::string(KESTREL_SOURCE_DIR) + "/doc/events.schema.json", "--lines"}, options);
  if (r.exit_code != 0) return "the schema check did not run: " + r.err;
  return r.out;
}
