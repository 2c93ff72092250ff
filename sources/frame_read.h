// SPDX-License-Identifier: MIT
// What a source of frames says about a frame it gave, besides the frame.
#pragma once

#include <cstdint>

#include "scsi/tape_status.h"

// A tape read succeeded when its result word says completed.
inline bool tape_read_ok(uint32_t result) { return tape_completed(tape_status(result)); }

struct FrameRead {
  uint32_t result;  // the read's result word: tape_read_ok(result) when a frame came
  int32_t reads;    // how many times this frame was read
  int32_t kept;     // which of those reads gave the copy handed on (1: the first)
  int32_t stand_in;  // the frame could not be read, and *frame holds a stand-in in its place
};
