// SPDX-License-Identifier: MIT
#include "tests/support/e2e/tape_run.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

void TapeRun::load(const Tape& tape, const BusKeys& drive_keys, const BusKeys& more_bus_keys) const {
  EXPECT_TRUE(tape_write(tape, dir.file("tape.dat")));
  BusKeys keys = {{"cassette", "tape.dat"}};
  keys.insert(keys.end(), drive_keys.begin(), drive_keys.end());
  BusKeys bus = bus_keys;
  bus.insert(bus.end(), more_bus_keys.begin(), more_bus_keys.end());
  EXPECT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", keys}}, bus));
}

ProcessResult TapeRun::run_in(const std::string& folder, const std::vector<std::string>& args,
                              ProcessOptions options) const {
  if (!folder.empty()) mkdir(dir.file(folder).c_str(), 0755);
  options = bus_options(dir.file("bus.ini"), std::move(options));
  options.cwd = folder.empty() ? dir.path() : dir.file(folder);
  return run_kestrel(args, options);
}

ProcessResult TapeRun::run(const Tape& tape, std::vector<std::string> args, const BusKeys& drive_keys,
                           ProcessOptions options, const BusKeys& more_bus_keys) const {
  load(tape, drive_keys, more_bus_keys);
  args.insert(args.end(), {"/INPUTID", "0:4"});
  return run_in("", args, std::move(options));
}
