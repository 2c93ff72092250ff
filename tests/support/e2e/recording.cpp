// SPDX-License-Identifier: MIT
#include "tests/support/e2e/recording.h"

#include "tests/support/e2e/tape.h"

namespace {

ProcessResult run_in(const RecordingFolder& folder, const std::vector<std::string>& args, ProcessOptions options) {
  options = bus_options(folder.file("bus.ini"), std::move(options));
  if (options.cwd.empty()) options.cwd = folder.dir.path();
  return run_kestrel(args, options);
}

}  // namespace

RecordingFolder::RecordingFolder(const BusKeys& drive_keys, const BusKeys& bus_keys) {
  BusKeys keys = {{"vendor", "SONY"}, {"product", "SDT-9000        1.13"}, {"cassette", "tape.dat"}};
  keys.insert(keys.end(), drive_keys.begin(), drive_keys.end());
  write_bus_file(dir.file("bus.ini"), {BusDrive{"0:5", keys}}, bus_keys);
}

void RecordingFolder::write_cue(const std::string& name, const std::string& text) const {
  write_file(dir.file(name + ".CUE"), text);
}

ProcessResult RecordingFolder::record(const std::string& name, ProcessOptions options,
                                      const std::vector<std::string>& more) const {
  std::vector<std::string> args = {"/GOSHAWK", name, "/OUTPUTID", "0:5"};
  args.insert(args.end(), more.begin(), more.end());
  return run_in(*this, args, options);
}

ProcessResult RecordingFolder::run(const std::vector<std::string>& args, ProcessOptions options) const {
  return run_in(*this, args, options);
}

ProcessResult RecordingFolder::extract(const std::string& name, ProcessOptions options) const {
  return run_in(*this, {"/KESTREL", name, "/INPUTID", "0:5", "/REWIND", "/STARTID"}, options);
}

std::vector<DatFrame> RecordingFolder::tape() const { return tape_read(cassette()); }
