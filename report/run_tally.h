// SPDX-License-Identifier: MIT
// What a run came to, as one small value that every mode keeps whether or
// not a transfer report is written: the frames it found damaged or could not
// read, the breaks of the absolute time, and whether it ended early. The
// report's verdict and the process's exit code both follow from it by
// run_verdict, so that the two cannot disagree.
#pragma once

#include <cstdint>

#include "datframe/continuity.h"
#include "datframe/frame_info.h"

struct RunTally {
  int64_t damaged;            // frames the drive flagged, in the copy kept
  int64_t unreadable;         // frames no read could give (kept as stand-ins, or missing); for a
                              // recording, the source files that could not be read
  int64_t continuity_breaks;  // frames out of step with the absolute time before them
  int32_t ended_early;        // the mode could not start, or ended before its natural end
  ContinuityTracker continuity;
};

enum RunVerdict : int32_t {
  RUN_CLEAN = 0,       // the run went to its natural end, and every frame came whole
  RUN_INCOMPLETE = 1,  // it could not start or ended early (ESC, a failed read or write)
  RUN_DAMAGED = 2,     // it went to its natural end, but frames are damaged, unreadable or out of step
};

// A frame that was read: counted when flagged, and taken into the time
// check, whose finding is returned.
ContinuityResult tally_frame(RunTally* tally, const FrameInfo* info, const FrameEvents* events);
// A frame that no read could give: its place passes.
void tally_unreadable(RunTally* tally);
void tally_ended_early(RunTally* tally);

RunVerdict run_verdict(const RunTally* tally);
// "clean", "damaged" or "incomplete".
const char* run_verdict_name(RunVerdict verdict);
