// SPDX-License-Identifier: MIT
// soak: long cassettes through kestrel, with the peak memory of each run.
//
//   soak [--dir DIR] FRAMES...
//
// For each count: a cassette of FRAMES frames of 48 kHz audio in programs of
// 1,000 frames, each beginning with a start-ID run, is extracted with
// /KESTREL /STARTID and checked file by file against the frames, then put in
// an image and restored with /BUNTING onto a fresh tape, which is checked
// byte for byte. Each run's wall time and peak resident memory (the child's
// ru_maxrss) are printed. With two or more counts the peak memory of the
// largest may exceed that of the smallest by at most 1 MiB. Exit code 0 when
// every output was exact and the memory stayed flat.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/e2e/bus_file.h"
#include "tests/support/cassette.h"
#include "tests/support/process.h"

namespace {

const int kProgramFrames = 1000;
const int kStartIdFrames = 10;
const long kFlatMemoryKiB = 1024;

void make_frame(DatFrame* frame, uint64_t index) {
  Recording r{.program = static_cast<int>(index / kProgramFrames) % 799 + 1, .start_id_frames = kStartIdFrames};
  recording_frame(frame, r, static_cast<int>(index % kProgramFrames), static_cast<uint32_t>(index),
                  static_cast<size_t>(index));
}

bool write_soak_cassette(const std::string& path, uint64_t frames) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  DatFrame frame;
  bool ok = true;
  for (uint64_t i = 0; i < frames && ok; ++i) {
    make_frame(&frame, i);
    ok = std::fwrite(&frame, sizeof frame, 1, f) == 1;
  }
  return std::fclose(f) == 0 && ok;
}

struct Measured {
  int exit_code = -1;
  long max_rss_kib = 0;
  double seconds = 0;
};

// Runs kestrel in dir with standard output to a file; its exit code, peak
// resident memory and wall time.
Measured run_measured(const std::string& dir, const std::vector<std::string>& args, const std::string& out_name) {
  Measured m;
  std::string program = build_path("kestrel");
  auto started = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    int out = open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    setenv("KESTREL_CLOCK", "simulated", 1);
    setenv("KESTREL_BUS", (dir + "/bus.ini").c_str(), 1);
    std::vector<char*> argv = {program.data()};
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) < 0) return m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  m.max_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(status)) m.exit_code = WEXITSTATUS(status);
  return m;
}

// Compares a WAV file with the frames [first, last) of the soak tape, reading
// it in pieces.
bool wav_holds_frames(const std::string& path, uint64_t first, uint64_t last, std::string* why) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *why = path + " is missing";
    return false;
  }
  uint8_t header[44];
  bool ok = std::fread(header, 1, sizeof header, f) == sizeof header;
  uint32_t data_size = 0, riff_size = 0;
  std::memcpy(&riff_size, header + 4, 4);
  std::memcpy(&data_size, header + 40, 4);
  uint64_t expected = (last - first) * DAT_AUDIO_BYTES;
  if (!ok || data_size != expected || riff_size != expected + 36) {
    *why = path + ": the header states " + std::to_string(data_size) + " bytes, expected " + std::to_string(expected);
    std::fclose(f);
    return false;
  }
  DatFrame want;
  uint8_t got[DAT_AUDIO_BYTES];
  for (uint64_t i = first; i < last && ok; ++i) {
    make_frame(&want, i);
    ok = std::fread(got, 1, sizeof got, f) == sizeof got && std::memcmp(got, want.audio, sizeof got) == 0;
    if (!ok) *why = path + ": frame " + std::to_string(i) + " differs";
  }
  if (ok && std::fgetc(f) != EOF) {
    *why = path + ": more than the header states";
    ok = false;
  }
  std::fclose(f);
  return ok;
}

bool same_files(const std::string& a, const std::string& b) {
  FILE* fa = std::fopen(a.c_str(), "rb");
  FILE* fb = std::fopen(b.c_str(), "rb");
  bool same = fa && fb;
  std::vector<char> x(1 << 20), y(1 << 20);
  while (same) {
    size_t na = std::fread(x.data(), 1, x.size(), fa);
    size_t nb = std::fread(y.data(), 1, y.size(), fb);
    same = na == nb && std::memcmp(x.data(), y.data(), na) == 0;
    if (na == 0) break;
  }
  if (fa) std::fclose(fa);
  if (fb) std::fclose(fb);
  return same;
}

bool output_says(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::string tail(4096, '\0');
  std::fseek(f, 0, SEEK_END);
  long size = std::ftell(f);
  std::fseek(f, size > 4096 ? size - 4096 : 0, SEEK_SET);
  tail.resize(std::fread(tail.data(), 1, tail.size(), f));
  std::fclose(f);
  return tail.find(text) != std::string::npos;
}

struct SoakResult {
  bool exact = false;
  Measured extract;
  Measured restore;
};

// The bus of the soak: the cassette in 0:4, the tape restored to in 0:5.
// A function of its own: built in soak(), the temporaries of its
// initializer lists draw a false "may be used uninitialized" from g++ 12
// with Debian's hardening flags.
bool write_soak_bus(const std::string& dir) {
  return write_bus_file(dir + "/bus.ini", {{"0:4", {{"cassette", "soak.tape"}}}, {"0:5", {{"cassette", "out.tape"}}}});
}

SoakResult soak(const std::string& dir, uint64_t frames) {
  SoakResult r;
  std::string tape = dir + "/soak.tape";
  auto started = std::chrono::steady_clock::now();
  if (!write_soak_cassette(tape, frames) || !write_soak_bus(dir)) {
    std::printf("soak: cannot write the cassette in %s\n", dir.c_str());
    return r;
  }
  std::printf("soak: %llu frames: cassette of %.1f MB made in %.1f s\n", static_cast<unsigned long long>(frames),
              static_cast<double>(frames * sizeof(DatFrame)) / 1e6,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

  r.extract = run_measured(dir, {"/KESTREL", "SOAK", "/INPUTID", "0:4", "/STARTID"}, "extract.out");
  bool exact = r.extract.exit_code == 0 && output_says(dir + "/extract.out", " - closing input drive...");
  // Appended, not "exit code " + ...: g++ 12 at -O3 warns about the temporary.
  std::string why;
  if (!exact) why.append("exit code ").append(std::to_string(r.extract.exit_code));
  // Every frame is written, from the first; every program is a track.
  uint64_t tracks = (frames + kProgramFrames - 1) / kProgramFrames;
  for (uint64_t t = 0; t < tracks && exact; ++t) {
    char name[64];
    std::snprintf(name, sizeof name, "/SOAK%.3llu.wav", static_cast<unsigned long long>(t + 1));
    uint64_t first = t * kProgramFrames;
    exact = wav_holds_frames(dir + name, first, std::min<uint64_t>((t + 1) * kProgramFrames, frames), &why);
    std::remove((dir + name).c_str());
  }
  std::printf("soak: %llu frames: /KESTREL /STARTID: %s, %.2f s, peak RSS %ld KiB\n",
              static_cast<unsigned long long>(frames), exact ? "every WAV file exact" : why.c_str(),
              r.extract.seconds, r.extract.max_rss_kib);
  std::fflush(stdout);

  bool restored = link(tape.c_str(), (dir + "/SOAK.img").c_str()) == 0;
  r.restore = run_measured(dir, {"/BUNTING", "SOAK", "/OUTPUTID", "0:5"}, "restore.out");
  restored = restored && r.restore.exit_code == 0 && same_files(dir + "/out.tape", tape);
  std::printf("soak: %llu frames: /BUNTING: %s, %.2f s, peak RSS %ld KiB\n", static_cast<unsigned long long>(frames),
              restored ? "tape exact" : "tape NOT exact", r.restore.seconds, r.restore.max_rss_kib);
  std::fflush(stdout);
  r.exact = exact && restored;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::string base = std::filesystem::temp_directory_path().string();
  std::vector<uint64_t> counts;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      base = argv[++i];
    } else {
      counts.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (counts.empty()) {
    std::fprintf(stderr, "usage: soak [--dir DIR] FRAMES...\n");
    return 2;
  }
  bool ok = true;
  std::vector<SoakResult> results;
  for (uint64_t frames : counts) {
    std::string pattern = base + "/kestrel-soak-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::printf("soak: cannot make a folder in %s\n", base.c_str());
      return 1;
    }
    results.push_back(soak(pattern, frames));
    ok = ok && results.back().exact;
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
  }
  if (results.size() >= 2) {
    long extract_growth = results.back().extract.max_rss_kib - results.front().extract.max_rss_kib;
    long restore_growth = results.back().restore.max_rss_kib - results.front().restore.max_rss_kib;
    bool flat = extract_growth <= kFlatMemoryKiB && restore_growth <= kFlatMemoryKiB;
    std::printf("soak: peak RSS from %llu to %llu frames: /KESTREL %+ld KiB, /BUNTING %+ld KiB (at most %+ld): %s\n",
                static_cast<unsigned long long>(counts.front()), static_cast<unsigned long long>(counts.back()),
                extract_growth, restore_growth, kFlatMemoryKiB, flat ? "flat" : "NOT flat");
    ok = ok && flat;
  }
  std::printf("soak: %s\n", ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
