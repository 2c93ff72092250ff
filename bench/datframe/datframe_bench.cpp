// SPDX-License-Identifier: MIT
// Per-frame cost of the frame analysis, the long-play codec and the
// concealment, and the one-off cost of the frame tables. A frame is 30 ms of
// audio (60 ms in long play); the per-frame operations must keep up with
// 200,000 frames a second. The console and track-log lines the operations
// write go to /dev/null while they are measured.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "datframe/dat_frame.h"
#include "datframe/frame_build.h"
#include "datframe/frame_info.h"
#include "scsi/aspi_call.h"

namespace {

// Swaps stdout and the track log for /dev/null for the life of the object.
struct Quiet {
  FILE* null = std::fopen("/dev/null", "w");
  FILE* saved = stdout;
  Quiet() {
    std::fflush(stdout);
    if (null) stdout = null;
    track_log_set(null);
  }
  ~Quiet() {
    track_log_set(nullptr);
    stdout = saved;
    if (null) std::fclose(null);
  }
};

DatFrame subcode_frame() {
  DatFrame f;
  std::memset(&f, 0, sizeof f);
  FrameDate date = {3, 24, 5, 17, 10, 15, 30};
  bool ok = frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, 0x001, 0x01, time_code_from_values(0, 1, 2, 3)) == 0 &&
            frame_set_time_pack(&f, 2, PACK_ITEM_ABSOLUTE_TIME, 0x001, 0x01, time_code_from_values(0, 4, 5, 6)) == 0 &&
            frame_set_date_pack(&f, 3, &date) == 0 && frame_set_sub_id(&f, 0x001, 3) == 0 &&
            frame_set_control_id(&f, SID_START_ID | SID_PRIORITY) == 0 && frame_set_main_id(&f, 0, 0, 0, 0) == 0;
  if (!ok || frame_set_pack_parity(&f) != 3) std::abort();
  return f;
}

void fill_noise(uint8_t* bytes, size_t count) {
  uint32_t x = 2024;
  for (size_t i = 0; i < count; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(x >> 16);
  }
}

void BM_AnalyzeFrame(benchmark::State& state) {
  DatFrame f = subcode_frame();
  RunSettings s;
  std::memset(&s, 0, sizeof s);
  Quiet quiet;
  for (auto _ : state) {
    int32_t r = analyze_frame(&f, &s);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnalyzeFrame);

// The frame's value and the tracker's step, as a mode or a report reads a
// tape: 64 frames of a recording with a start-ID run, a lead-in pack, a blank
// frame and a change of rate among them, taken in turn.
void BM_DecodeAndTrackFrame(benchmark::State& state) {
  const size_t kFrames = 64;
  std::vector<DatFrame> frames(kFrames, subcode_frame());
  for (size_t i = 0; i < frames.size(); ++i) {
    DatFrame& f = frames[i];
    if (i % 16 != 0) frame_set_control_id(&f, 0);
    if (i == 20) std::memset(f.pack, 0, sizeof f.pack);
    if (i == 30) frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, PROGRAM_LEAD_IN, 0x01, TIME_CODE_NONE);
    if (i >= 40) frame_set_main_id(&f, 1, 0, 0, 0);
    f.interpolate_flags = i == 50 ? 0x40 : 0;
  }
  FrameTracker tracker{};
  int64_t events = 0;
  size_t i = 0;
  for (auto _ : state) {
    FrameInfo info = decode_frame(&frames[i]);
    FrameEvents ev = track_frame(&tracker, &info);
    events += ev.start_id_found + ev.rate_changed + ev.blank;
    benchmark::DoNotOptimize(info);
    i = (i + 1) % kFrames;
  }
  benchmark::DoNotOptimize(events);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeAndTrackFrame);

void BM_LpUnpackFrame(benchmark::State& state) {
  build_frame_tables();
  DatFrame f = subcode_frame();
  fill_noise(f.audio, sizeof f.audio);
  std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES);
  for (auto _ : state) {
    if (lp_unpack_frame(pcm.data(), &f) != DAT_LP_PCM_BYTES) state.SkipWithError("unpack failed");
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LpUnpackFrame);

void BM_LpPackFrame(benchmark::State& state) {
  build_frame_tables();
  std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES);
  fill_noise(pcm.data(), pcm.size());
  DatFrame f = subcode_frame();
  for (auto _ : state) {
    if (lp_pack_frame(f.audio, pcm.data()) != DAT_AUDIO_BYTES) state.SkipWithError("pack failed");
    benchmark::DoNotOptimize(f.audio);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LpPackFrame);

// A 48 kHz frame of music-like sound with a damaged sample every 40 pairs on
// both channels, flagged 0x60 (both channels); each pass copies the frame's
// audio into the PCM buffer first, as the extraction does.
void BM_ConcealErrors(benchmark::State& state) {
  DatFrame f = subcode_frame();
  for (int32_t k = 0; k < 1440; ++k) {
    int32_t left = static_cast<int32_t>(8000.0 * std::sin(k * 0.05));
    int32_t right = static_cast<int32_t>(6000.0 * std::sin(k * 0.031 + 1.0));
    if (k % 40 == 7) left = right = 0;
    uint8_t* p = f.audio + 4 * k;
    p[0] = static_cast<uint8_t>(left);
    p[1] = static_cast<uint8_t>(left >> 8);
    p[2] = static_cast<uint8_t>(right);
    p[3] = static_cast<uint8_t>(right >> 8);
  }
  f.interpolate_flags = 0x60;
  std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES);
  Quiet quiet;
  int64_t repaired = 0;
  for (auto _ : state) {
    std::memcpy(pcm.data(), f.audio, DAT_AUDIO_BYTES);
    repaired += conceal_errors(&f, pcm.data(), DAT_AUDIO_BYTES, f.interpolate_flags);
    benchmark::DoNotOptimize(pcm.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["repaired/frame"] = static_cast<double>(repaired) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ConcealErrors);

void BM_BuildFrameTables(benchmark::State& state) {
  for (auto _ : state) {
    build_frame_tables();
    benchmark::DoNotOptimize(lp_position);
    benchmark::DoNotOptimize(lp_compress_table);
  }
}
BENCHMARK(BM_BuildFrameTables)->Unit(benchmark::kMillisecond);

}  // namespace
