// SPDX-License-Identifier: MIT
// /TOC: the programs of a tape, found without reading their audio. On a
// drive each program number is searched for (audio LOCATE, READ POSITION, the
// search watch, the tape then brought to the program's first frame) and a few
// frames at its start are read; an image's subcode is scanned whole. Both
// give the same list, a plain value for the console and for a report.
#pragma once

#include <cstdint>
#include <vector>

#include "base/run_settings.h"
#include "datframe/frame_info.h"

// Frames read at the start of each program on a drive, at most.
const int kTocHeadFrames = 10;
// On a drive, the numbers searched for in a row without finding a program
// before the search ends: programs are found across a gap of up to 9
// missing numbers.
const int kTocGapLimit = 10;

// A program's own frames run from its first frame (the first on the tape
// that carries its number) to the last frame that carries its number before
// the next program's start: a lead-out, blank tape or frames without a
// number after it are not its own.
struct TocProgram {
  int32_t number = 0;          // 1..799
  int64_t start_frame = -1;    // frame index from the tape's beginning; -1 unknown
  int64_t frames = -1;         // its own frames; -1 unknown
  int64_t own_end = -1;        // frame index past its last own frame; -1 unknown
  uint32_t abs_start = TIME_CODE_NONE;  // absolute time of its first frame (packed BCD, hours in bits 31-24)
  uint32_t abs_end = TIME_CODE_NONE;    // absolute time past its last own frame
  int32_t rate = 0;            // Hz of its first frame; 0 for the reserved code or unknown
  int32_t channels = 0;
  int32_t bits = 0;
  int32_t emphasis = -1;       // main ID emphasis code; -1 unknown
  int32_t scms = -1;           // copy code 0..3; -1 unknown
  FramePackDate date{};        // the first valid date among its first frames; valid 0 when none
  int32_t head_frames = 0;     // of its first kTocHeadFrames frames, those taken (its own, read)
};

struct TapeContents {
  std::vector<TocProgram> programs;  // by program number
  int64_t end_frame = -1;            // frames from the beginning to the end of the data; -1 unknown
  bool complete = true;              // false when ESC ended the listing early
};

// The table of contents of the input tape, or with /FROMIMAGE of the image.
// 0, or 1 after saying on the console why there is none.
int read_table_of_contents(RunSettings* settings, TapeContents* contents);
