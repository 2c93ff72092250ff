// SPDX-License-Identifier: MIT
// The levels of a program's audio as its file holds it: what the file's
// writer measured beside the reading (sinks/program_levels), and what the
// report lists of each program.
#pragma once

#include <cstdint>
#include <vector>

#include "base/loudness_figures.h"

// A clipped run or a stretch of digital silence in a program.
struct LevelPlace {
  int64_t frame;          // frames from the program's first to the one the place begins in
  bool abs_valid;         // that frame's absolute time
  uint32_t abs_code;
  int64_t sample_offset;  // sample frame in the file where it begins
  int64_t samples;        // its length in sample frames
  int32_t channel;        // a clipped run: 0 left, 1 right; silence: -1 (both)
};

// A clipped run: at least kClipRunSamples consecutive samples of one channel
// at the same full-scale value (+32767 or -32768). Digital silence: at least
// one second of sample frames all 0 in both channels. Frames no read could
// give (written as silence) are measured in neither, and end both.
const int32_t kClipRunSamples = 3;
// The places listed at most per program of each kind; the counts count all.
const size_t kLevelPlacesListed = 100;

struct ProgramLevels {
  int64_t sample_offset = 0;  // where the program's audio begins in its file
  int64_t samples = 0;        // sample frames measured (unreadable frames not among them)
  int32_t peak[2] = {0, 0};   // the highest magnitude per channel, 0..32768
  int64_t sum[2] = {0, 0};    // of the sample values per channel: the DC offset is sum / samples
  int64_t clipped_runs = 0;
  std::vector<LevelPlace> clips;
  int64_t silences = 0;
  int64_t silent_samples = 0;  // in the silences counted
  std::vector<LevelPlace> silent;
  // The highest magnitude of either channel in each second of tape (every
  // 100 frames make 3 seconds) from the program's first frame on.
  std::vector<uint16_t> peak_per_second;
  LoudnessFigures loudness;  // measured: when the file's loudness is
};
