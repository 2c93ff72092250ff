// SPDX-License-Identifier: MIT
// Whether the frames of a program come in the order of their absolute times.
// Within one program (one program number at one rate), each frame's time
// must be the one after the time of the frame before it. A frame that
// repeats a time, jumps ahead or goes back breaks the run; the frame after
// such an odd frame is in order again when its time follows the odd frame's
// or the one before it (before a row of odd frames: the last in order), so
// that a repeated frame, a stretch of lost frames and one stray frame each
// break it exactly once. A change of program or of
// rate, the edges of a lead-in or lead-out and blank stretches are no break.
#pragma once

#include <cstdint>

#include "datframe/frame_info.h"

struct ContinuityTracker {
  int32_t in_program;     // a frame of the program has been seen (0 after a blank, at the start)
  int32_t program_kind;   // FrameProgramKind of that program
  int32_t program;        // its number (0 unless a number)
  int32_t rate_code;      // its rate code
  int32_t timed;          // expected holds a time to compare with
  uint32_t expected;      // the time the next frame should carry
  int32_t after_odd;      // the frame before was an odd one:
  uint32_t also_expected; // the time that follows the last frame in order is in order too
};
static_assert(sizeof(ContinuityTracker) == 32);

// What the tracker found at one frame.
struct ContinuityResult {
  int32_t broken;     // the frame is out of order
  uint32_t expected;  // the time it should have carried
  uint32_t found;     // the time it carries
};
static_assert(sizeof(ContinuityResult) == 12);

extern "C" {
// Takes one frame, decoded and tracked, and says whether it breaks the run.
ContinuityResult track_continuity(ContinuityTracker* tracker, const FrameInfo* info, const FrameEvents* events);
// A frame the drive could not read: its place on the tape passes, so the
// next frame is expected one frame later.
void skip_continuity(ContinuityTracker* tracker);
}
