// SPDX-License-Identifier: MIT
// A work folder for recording runs: a virtual SONY drive at 0:5 whose
// cassette is tape.dat, cue files, sources, and the frames that reached tape.
#pragma once

#include <string>
#include <vector>

#include "datframe/dat_frame.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

struct RecordingFolder {
  // Writes bus.ini: the drive with drive_keys added to its own, and the bus's keys.
  explicit RecordingFolder(const BusKeys& drive_keys = BusKeys(), const BusKeys& bus_keys = BusKeys());

  std::string file(const std::string& name) const { return dir.file(name); }
  std::string cassette() const { return dir.file("tape.dat"); }

  // Writes NAME.CUE with the given text.
  void write_cue(const std::string& name, const std::string& text) const;

  // kestrel /GOSHAWK NAME /OUTPUTID 0:5 and any further arguments in this
  // folder, which holds the cue file (kestrel looks beside itself first, then
  // in the current folder).
  ProcessResult record(const std::string& name, ProcessOptions options = ProcessOptions(),
                       const std::vector<std::string>& more = {}) const;
  // kestrel with these arguments in this folder.
  ProcessResult run(const std::vector<std::string>& args, ProcessOptions options = ProcessOptions()) const;
  // kestrel /KESTREL NAME /INPUTID 0:5 /REWIND /STARTID: the cassette read back.
  ProcessResult extract(const std::string& name, ProcessOptions options = ProcessOptions()) const;

  // The frames on the cassette, from its beginning.
  std::vector<DatFrame> tape() const;

  TempDir dir;
};
