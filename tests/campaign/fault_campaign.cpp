// SPDX-License-Identifier: MIT
// fault_campaign: hundreds of end-to-end runs of kestrel, each with faults
// drawn from a seed, each checked against the model of the mode it runs.
//
//   fault_campaign [--runs N] [--seed S] [--only I] [--modes LIST] [--keep]
//
// Run I of seed S draws the same tape, switches and faults every time, so a
// failure is repeated with --seed S --only I. --keep leaves the folder of a
// failed run behind. LIST is a comma-separated choice of kestrel, bittern,
// bunting, pintail, goshawk, fromimage, toc, busy (a second run on a busy
// drive). The counts go to standard output; the exit code is 1 when an
// invariant failed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "tests/campaign/scenarios.h"

namespace {

using Scenario = void (*)(Rng*, const std::string&, Verdict*, std::string*);

struct ModeEntry {
  const char* name;
  Scenario run;
  int weight;
};

const ModeEntry kModes[] = {
    {"kestrel", scenario_extract, 4},
    {"bittern", scenario_dump, 2},
    {"reread", scenario_reread, 1},
    {"rescue", scenario_rescue, 1},
    {"merge", scenario_merge, 1},
    {"bunting", scenario_restore, 2},
    {"pintail", scenario_copy, 2},
    {"goshawk", scenario_record, 3},
    {"fromimage", scenario_from_image, 2},
    {"toc", scenario_toc, 2},
    {"busy", scenario_busy, 1},
};

struct Options {
  int runs = 300;
  uint64_t seed = 1;
  int only = -1;
  bool keep = false;
  std::vector<const ModeEntry*> modes;
};

int usage() {
  std::fprintf(stderr, "usage: fault_campaign [--runs N] [--seed S] [--only I] [--modes LIST] [--keep]\n");
  return 2;
}

bool parse_modes(const std::string& list, std::vector<const ModeEntry*>* modes) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const ModeEntry* found = nullptr;
    for (const ModeEntry& m : kModes)
      if (name == m.name) found = &m;
    if (!found) return false;
    modes->push_back(found);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

// The mode of a run, by weight.
const ModeEntry* pick_mode(Rng* rng, const std::vector<const ModeEntry*>& modes) {
  int total = 0;
  for (const ModeEntry* m : modes) total += m->weight;
  int roll = rng_range(rng, 0, total - 1);
  for (const ModeEntry* m : modes) {
    if (roll < m->weight) return m;
    roll -= m->weight;
  }
  return modes.back();
}

// The share of runs through the SCSI generic loopback, and the stream its
// draw comes from.
const double kSgShare = 0.3;
const uint32_t kTransportStream = 0x5347;

std::string make_run_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-campaign-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  return made ? std::string(made) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--runs" && has_value) {
      o.runs = std::atoi(argv[++i]);
    } else if (a == "--seed" && has_value) {
      o.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--only" && has_value) {
      o.only = std::atoi(argv[++i]);
    } else if (a == "--modes" && has_value) {
      if (!parse_modes(argv[++i], &o.modes)) return usage();
    } else if (a == "--keep") {
      o.keep = true;
    } else {
      return usage();
    }
  }
  if (o.modes.empty())
    for (const ModeEntry& m : kModes) o.modes.push_back(&m);

  auto started = std::chrono::steady_clock::now();
  long long invariants = 0, faults = 0;
  int runs = 0, failed_runs = 0, failures = 0;
  std::map<std::string, int> per_mode;
  std::map<std::string, int> per_fault;
  int first = o.only >= 0 ? o.only : 0;
  int last = o.only >= 0 ? o.only + 1 : o.runs;
  for (int i = first; i < last; ++i) {
    std::seed_seq seq{static_cast<uint32_t>(o.seed), static_cast<uint32_t>(o.seed >> 32), static_cast<uint32_t>(i)};
    Rng rng{std::mt19937_64(seq)};
    const ModeEntry* mode = pick_mode(&rng, o.modes);
    std::string dir = make_run_dir();
    if (dir.empty()) {
      std::printf("campaign: cannot make a folder for run %d\n", i);
      return 1;
    }
    Verdict verdict;
    std::string describe;
    // A share of the runs has its drives behind the SCSI generic loopback,
    // which every bus file of the run then names. Drawn apart from the run's
    // own draws, so that a seed's tapes and faults stay what they were.
    std::seed_seq transport_seq{static_cast<uint32_t>(o.seed), static_cast<uint32_t>(o.seed >> 32),
                                static_cast<uint32_t>(i), kTransportStream};
    Rng transport_rng{std::mt19937_64(transport_seq)};
    bool sg = rng_chance(&transport_rng, kSgShare);
    if (sg)
      setenv("KESTREL_TEST_TRANSPORT", "sg", 1);
    else
      unsetenv("KESTREL_TEST_TRANSPORT");
    if (sg) add_fault(&verdict, "SG loopback");
    mode->run(&rng, dir, &verdict, &describe);
    if (sg) describe += " [bus transport=sg]";
    ++runs;
    ++per_mode[mode->name];
    invariants += verdict.invariants;
    faults += static_cast<long long>(verdict.faults.size());
    for (const std::string& kind : verdict.fault_kinds) ++per_fault[kind];
    if (!verdict.failures.empty()) {
      ++failed_runs;
      failures += static_cast<int>(verdict.failures.size());
      std::printf("FAILED run %d (--seed %llu --only %d): %s\n", i, static_cast<unsigned long long>(o.seed), i,
                  describe.c_str());
      std::printf("  faults:");
      for (const std::string& f : verdict.faults) std::printf(" [%s]", f.c_str());
      std::printf("\n");
      for (const std::string& f : verdict.failures) std::printf("  - %s\n", f.c_str());
      if (o.keep) std::printf("  kept in %s\n", dir.c_str());
    }
    if (!(o.keep && !verdict.failures.empty())) {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
    if (runs % 50 == 0) {
      std::printf("campaign: %d of %d runs, %d failed\n", runs, last - first, failed_runs);
      std::fflush(stdout);
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("campaign: seed %llu, runs %d (", static_cast<unsigned long long>(o.seed), runs);
  bool comma = false;
  for (const auto& [name, count] : per_mode) {
    std::printf("%s%s %d", comma ? ", " : "", name.c_str(), count);
    comma = true;
  }
  std::printf("), faults injected %lld, invariants checked %lld, failures %d (in %d runs), %.1f s\n", faults,
              invariants, failures, failed_runs, seconds);
  std::printf("campaign: faults by kind:");
  comma = false;
  for (const auto& [kind, count] : per_fault) {
    std::printf("%s %s %d", comma ? "," : "", kind.c_str(), count);
    comma = true;
  }
  std::printf("\n");
  return failures == 0 ? 0 : 1;
}
