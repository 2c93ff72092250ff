// SPDX-License-Identifier: MIT
// A tape in a virtual drive: a composed cassette written as tape.dat into a
// temporary folder, put into a virtual drive at 0:4 through the bus file
// bus.ini beside it, and kestrel run on that bus.
#pragma once

#include <string>
#include <vector>

#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

struct TapeRun {
  TempDir dir;
  BusKeys bus_keys;  // the [bus] section of every run's bus file (for example stats = stats.json)

  TapeRun() = default;
  explicit TapeRun(BusKeys keys) : bus_keys(std::move(keys)) {}

  // Writes tape.dat and bus.ini: the drive at 0:4 with drive_keys beside its
  // cassette, the bus with bus_keys and more_bus_keys.
  void load(const Tape& tape, const BusKeys& drive_keys = {}, const BusKeys& more_bus_keys = {}) const;
  // kestrel with args on the bus, run in the folder of dir named folder (made
  // when missing; "" is dir itself).
  ProcessResult run_in(const std::string& folder, const std::vector<std::string>& args,
                       ProcessOptions options = {}) const;
  // load, then kestrel with args and /INPUTID 0:4 in dir.
  ProcessResult run(const Tape& tape, std::vector<std::string> args, const BusKeys& drive_keys = {},
                    ProcessOptions options = {}, const BusKeys& more_bus_keys = {}) const;

  std::string path(const std::string& name) const { return dir.file(name); }
  std::string read(const std::string& name) const { return read_file(dir.file(name)); }
  bool has(const std::string& name) const { return file_exists(dir.file(name)); }
  WavFile wav(const std::string& name) const { return read_wav(dir.file(name)); }
  // A figure of the drive's tally in stats.json (when bus_keys name it); -1 when it is not there.
  double stat(const char* key) const { return stats_figure(read("stats.json"), key); }
};
