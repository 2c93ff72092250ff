// SPDX-License-Identifier: MIT
// The fault campaign: end-to-end runs of build/kestrel on virtual drives with
// simulated time, each with faults drawn from a seed, each checked against a
// model of what the run must leave behind (exit code, console, files, tapes).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/support/e2e/bus_file.h"
#include "tests/support/process.h"

// The random choices of one run, reproducible from its seed.
struct Rng {
  std::mt19937_64 engine;
};
// An integer in [low, high].
int rng_range(Rng* rng, int low, int high);
bool rng_chance(Rng* rng, double probability);

// What one run found.
struct Verdict {
  long long invariants = 0;
  std::vector<std::string> faults;       // the faults injected, named for the report
  std::vector<std::string> fault_kinds;  // their kinds, for the counts
  std::vector<std::string> failures;  // the invariants that did not hold
};
// Counts one invariant; records what failed.
void check(Verdict* verdict, bool holds, const std::string& what);
// A fault of a kind ("read errors"), with what sets it apart in this run.
void add_fault(Verdict* verdict, const std::string& kind, const std::string& detail = "");

// One run of kestrel: its arguments, its drives and how it is started.
struct RunPlan {
  std::vector<std::string> args;
  std::vector<BusDrive> drives;
  BusKeys bus_keys;
  ProcessOptions options;
  // A limit on the size of every file kestrel writes: set by the starter
  // with SIGXFSZ ignored, or with limit_from_shell by a shell's "ulimit -f"
  // (whole KiB) that leaves SIGXFSZ as it is. -1: none.
  long long file_size_limit = -1;
  bool limit_from_shell = false;
  std::string describe() const;
};

// Writes the bus file into dir and runs kestrel there.
ProcessResult run_plan(const RunPlan& plan, const std::string& dir);

// The process ended by itself, with the expected code, without a sanitizer
// report or anything else on standard error.
void check_process(Verdict* verdict, const ProcessResult& result, int expected_exit);
// The console shows text (once at least), or never shows it.
void check_said(Verdict* verdict, const ProcessResult& result, const std::string& text);
void check_not_said(Verdict* verdict, const ProcessResult& result, const std::string& text);
// The console shows every message the model expects, and no failure message
// (of those starting as the known ones) that the model does not expect.
void check_messages(Verdict* verdict, const ProcessResult& result, const std::vector<std::string>& expected,
                    const std::vector<std::string>& known_failures);
// How often the console shows text.
size_t count_said(const ProcessResult& result, const std::string& text);

// The names in dir, sorted.
std::vector<std::string> list_dir(const std::string& dir);
// dir holds exactly these names (in any order).
void check_files(Verdict* verdict, const std::string& dir, std::vector<std::string> expected);

// A frame-sized record of a file compared with the frames it should hold.
std::string frames_bytes(const std::vector<struct DatFrame>& frames);

// "" when actual equals expected, else their sizes and the first byte that differs.
std::string difference(const std::string& actual, const std::string& expected);

// Three decimal digits as the modes number their files ("%.3d").
std::string track_number(int track);
