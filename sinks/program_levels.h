// SPDX-License-Identifier: MIT
// The levels of a track file's audio, measured beside the reading in one
// pass: the file's loudness, and per program in it the sample peak, clipped
// runs, the DC offset, stretches of digital silence, the peak of each second
// and (where the file's loudness is measured) the program's loudness.
//
// The meter takes a stream of records, each a LevelRecord followed by the
// frame's bytes of PCM, so that it can run on a PcmWorker: a record is handed
// on whole, its PCM may come in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/level_figures.h"

struct LevelMeter;

enum LevelFrameKind : uint32_t {
  LEVEL_FRAME = 0,       // a frame of a program
  LEVEL_UNREADABLE = 1,  // silence in the place of a frame of a program no read could give
  LEVEL_OUTSIDE = 2,     // audio in the file in no program (blank tape)
};

struct LevelRecord {
  uint32_t bytes;        // of PCM to follow, a multiple of 4
  uint32_t kind;         // LevelFrameKind
  uint32_t new_program;  // 1: the frame begins a program
  uint32_t abs_valid;    // the frame's absolute time
  uint32_t abs_code;
  uint32_t reserved;
};
static_assert(sizeof(LevelRecord) == 24 && sizeof(LevelRecord) % 4 == 0, "a record keeps the PCM's 4-byte steps");

// A meter of 16-bit stereo audio at rate samples a second: loudness
// measures the file's (and each program's) loudness, programs the levels
// of each program. nullptr when it cannot be set up.
LevelMeter* level_meter_begin(int32_t rate, bool loudness, bool programs);
// The meter's lanes, each to be given the whole record stream in order, on
// a thread of its own or one after another: the levels and the loudness, and
// with the loudness each channel's true peak (the costlier part).
int level_meter_lanes(const LevelMeter* meter);
void* level_meter_lane(LevelMeter* meter, int lane);
// Takes bytes of the record stream into a lane; a PcmSink. 0, or -1 when the
// stream is not one of records.
int level_meter_add(void* lane, const uint8_t* data, size_t bytes);
// The file's loudness (not measured: measured false) and the programs'
// levels, in file order; frees the meter (nullptr: nothing measured).
void level_meter_end(LevelMeter* meter, LoudnessFigures* file, std::vector<ProgramLevels>* programs);
