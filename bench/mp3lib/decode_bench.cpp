// SPDX-License-Identifier: MIT
// sorrel's decoding speed against the mpg123 command on the same file.
//
// A 3-minute 44100 Hz stereo MP3 (128 kbit/s) is made with sox and lame in a
// temporary folder at start. Each iteration decodes it once through sorrel
// (requests of 5760 bytes, output chunk 10000, as kestrel reads it) and once
// with `mpg123 -q -o dummy FILE` (the null output module), alternating which
// goes first. The manual time is sorrel's; the counter `ratio` is mpg123's
// total time over sorrel's: above 1, sorrel decodes faster than the command.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mp3lib/sorrel.h"

extern char** environ;

namespace {

constexpr double kSeconds = 180.0;

struct Source {
  std::string folder;
  std::string mp3;
  bool made = false;
};

const Source& source() {
  static Source s = [] {
    Source made;
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return made;
    made.folder = pattern;
    made.mp3 = made.folder + "/three_minutes.mp3";
    fprintf(stderr, "bench: making a 3-minute 44100 Hz stereo MP3 with sox and lame\n");
    const std::string command =
        "sox -q -R -D -n -r 44100 -c 2 -b 16 -t wav - synth 180 sine 220-880 pinknoise vol 0.5 "
        "2>/dev/null | lame --quiet -b 128 - '" + made.mp3 + "'";
    made.made = system(command.c_str()) == 0 && std::filesystem::file_size(made.mp3) > 1000000;
    return made;
  }();
  return s;
}

void remove_source() {
  if (!source().folder.empty()) std::filesystem::remove_all(source().folder);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Decodes the whole file through sorrel; the PCM bytes, or -1.
long long sorrel_decode(const std::string& path, std::vector<char>& buffer) {
  constexpr uint32_t n = 5760;
  if (init_mp3_decode(path.c_str(), 10000, 2, 44100, 128000) != 1) {
    close_mp3_decode();
    return -1;
  }
  long long total = 0;
  for (;;) {
    const int32_t got = do_mp3_decode(buffer.data(), n);
    total += got;
    if (got < static_cast<int32_t>(n)) break;
  }
  benchmark::DoNotOptimize(buffer.data());
  close_mp3_decode();
  return total;
}

// Runs `mpg123 -q -o dummy path` with its output thrown away: true when it exited 0.
bool mpg123_decode(const std::string& path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string file = path;
  char* argv[] = {const_cast<char*>("mpg123"), const_cast<char*>("-q"), const_cast<char*>("-o"),
                  const_cast<char*>("dummy"), file.data(), nullptr};
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, "mpg123", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_SorrelVersusMpg123(benchmark::State& state) {
  const Source& s = source();
  if (!s.made) {
    state.SkipWithError("cannot make the test MP3 (sox and lame needed)");
    return;
  }
  std::vector<char> buffer(5760 + 10000 - 1);
  double sorrel_total = 0;
  double mpg123_total = 0;
  long long pcm = 0;
  bool sorrel_first = true;
  for (auto _ : state) {
    double sorrel_time = 0;
    double mpg123_time = 0;
    bool ok = true;
    for (int turn = 0; turn < 2; ++turn) {
      const auto start = std::chrono::steady_clock::now();
      if ((turn == 0) == sorrel_first) {
        pcm = sorrel_decode(s.mp3, buffer);
        sorrel_time = seconds_since(start);
      } else {
        ok = mpg123_decode(s.mp3);
        mpg123_time = seconds_since(start);
      }
    }
    sorrel_first = !sorrel_first;
    if (!ok || pcm < static_cast<long long>(kSeconds * 0.99 * 44100 * 4)) {
      state.SkipWithError(ok ? "sorrel did not decode the whole file" : "the mpg123 command failed");
      return;
    }
    state.SetIterationTime(sorrel_time);
    sorrel_total += sorrel_time;
    mpg123_total += mpg123_time;
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["sorrel_ms"] = 1000 * sorrel_total / iterations;
  state.counters["mpg123_ms"] = 1000 * mpg123_total / iterations;
  state.counters["ratio"] = mpg123_total / sorrel_total;
  state.counters["x_realtime"] = kSeconds * iterations / sorrel_total;
  state.SetBytesProcessed(static_cast<int64_t>(pcm) * state.iterations());
}
BENCHMARK(BM_SorrelVersusMpg123)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  remove_source();
  return 0;
}
