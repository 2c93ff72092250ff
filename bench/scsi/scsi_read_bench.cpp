// SPDX-License-Identifier: MIT
// Frames per second that ASPI_Call reads from a virtual drive through the
// provider library (the request block, the event, the bounce buffer, the
// provider's pread), next to a bare pread of the same frames for scale.
//   build/bench/scsi_read_bench
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "aspi/wnaspi32.h"
#include "datframe/dat_frame.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"

namespace {

const int kFrames = 4000;  // 23 MB: stays in the page cache, like a cassette being read
std::string g_folder;

bool write_fixture() {
  char pattern[] = "/tmp/kestrel-bench-XXXXXX";
  if (!mkdtemp(pattern)) return false;
  g_folder = pattern;
  FILE* tape = std::fopen((g_folder + "/bench.tape").c_str(), "wb");
  if (!tape) return false;
  std::vector<uint8_t> frame(DAT_FRAME_BYTES);
  for (int i = 0; i < kFrames; ++i) {
    for (size_t j = 0; j < frame.size(); ++j) frame[j] = static_cast<uint8_t>(i + j);
    std::fwrite(frame.data(), 1, frame.size(), tape);
  }
  if (std::fclose(tape) != 0) return false;
  FILE* bus = std::fopen((g_folder + "/bus.ini").c_str(), "w");
  if (!bus) return false;
  std::fprintf(bus, "[0:4]\ncassette = bench.tape\n");
  return std::fclose(bus) == 0;
}

void remove_fixture() {
  std::remove((g_folder + "/bench.tape").c_str());
  std::remove((g_folder + "/bus.ini").c_str());
  rmdir(g_folder.c_str());
}

void BM_AspiCallReadFrame(benchmark::State& state) {
  static const uint8_t kRewind[6] = {0x01, 0, 0, 0, 0, 0};
  static const uint8_t kRead[6] = {0x08, 0, 0x00, 0x16, 0xBE, 0};
  DatFrame frame;
  set_audio_mode(DriveAddress{0, 4, 0});
  int left = 0;
  for (auto _ : state) {
    if (left == 0) {  // one rewind every kFrames reads
      ASPI_Call(0, 4, 0, kRewind, 6, nullptr, 0, 0, 60000);
      left = kFrames;
    }
    --left;
    uint32_t word = ASPI_Call(0, 4, 0, kRead, 6, &frame, sizeof frame, 0, 25000);
    if (word != ASPI_RESULT_GOOD) {
      state.SkipWithError("READ failed");
      break;
    }
    benchmark::DoNotOptimize(frame);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(DAT_FRAME_BYTES));
}
BENCHMARK(BM_AspiCallReadFrame)->UseRealTime();

void BM_PreadFrame(benchmark::State& state) {
  int fd = open((g_folder + "/bench.tape").c_str(), O_RDONLY);
  DatFrame frame;
  int index = 0;
  for (auto _ : state) {
    if (pread(fd, &frame, sizeof frame, static_cast<off_t>(index) * DAT_FRAME_BYTES) != DAT_FRAME_BYTES) {
      state.SkipWithError("pread failed");
      break;
    }
    index = (index + 1) % kFrames;
    benchmark::DoNotOptimize(frame);
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(DAT_FRAME_BYTES));
}
BENCHMARK(BM_PreadFrame)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!write_fixture()) {
    std::fprintf(stderr, "cannot write the cassette fixture\n");
    return 1;
  }
  setenv("KESTREL_BUS", (g_folder + "/bus.ini").c_str(), 1);
  void* provider = dlopen(KESTREL_BUILD_DIR "/libwnaspi32.so", RTLD_NOW | RTLD_LOCAL);
  auto send = provider ? reinterpret_cast<SendASPI32CommandFn>(dlsym(provider, "SendASPI32Command")) : nullptr;
  if (!send) {
    std::fprintf(stderr, "cannot load %s\n", KESTREL_BUILD_DIR "/libwnaspi32.so");
    remove_fixture();
    return 1;
  }
  aspi_set_send_function(send);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  aspi_set_send_function(nullptr);
  dlclose(provider);
  remove_fixture();
  return 0;
}
