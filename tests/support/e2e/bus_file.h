// SPDX-License-Identifier: MIT
// Virtual buses for end-to-end tests: a bus file listing virtual drives.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/support/process.h"

using BusKeys = std::vector<std::pair<std::string, std::string>>;

struct BusDrive {
  std::string address;  // "ADAPTER:TARGET"
  BusKeys keys;         // vendor, product, cassette, not_ready, ...
};

// Writes the bus file: one section per drive, then a [bus] section when
// bus_keys (for example interrupt_at) are given. false when it cannot be written.
// With KESTREL_TEST_TRANSPORT set (sg: the SCSI generic loopback), a bus
// whose keys do not name a transport gets that one: the ctest entries
// labelled sg run the end-to-end tests so.
bool write_bus_file(const std::string& path, const std::vector<BusDrive>& drives,
                    const BusKeys& bus_keys = BusKeys());

// Options for run_kestrel that present the bus file's drives: options with
// KESTREL_BUS added to their environment.
ProcessOptions bus_options(const std::string& bus_path, ProcessOptions options = ProcessOptions());

// A figure of the first drive in a stats file's JSON (reads, writes,
// locates, frames_searched, drive_seconds); -1 when it is not there.
double stats_figure(const std::string& stats_json, const char* key);
