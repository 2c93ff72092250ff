// SPDX-License-Identifier: MIT
// The input of the frames fuzz target: one tape frame followed by a few
// control bytes that set up the reader's state and the concealment's byte
// count. Shared by the target and the seed generator.
#pragma once

#include <cstdint>

#include "datframe/dat_frame.h"

struct FramesControl {
  uint8_t flags;         // bit 0 /STOPEOT, bit 1 /ERRORCORRECT, bit 2 input needs load,
                         // bits 3-4 the rate code before the frame, bit 5 inside a start-ID run
  uint8_t blank_frames;  // blank frames counted before this one
  uint8_t repeats;       // the frame is analysed 1 + repeats % 80 times
  uint8_t pcm_change;    // non-zero: this byte of the PCM buffer differs from the frame
  uint8_t pcm_at[2];     // where (little-endian, modulo the byte count)
  uint8_t bytes[2];      // PCM byte count for the concealment (signed, little-endian); 0: the frame's own
};
static_assert(sizeof(FramesControl) == 8);

#define FRAMES_INPUT_BYTES (DAT_FRAME_BYTES + sizeof(FramesControl))
