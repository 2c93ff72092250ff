// SPDX-License-Identifier: MIT
// The subcode end of a DAT frame as the provider reads it: the program number
// of the sub-ID and the times of the absolute-time and program-time packs.
// The virtual drives search and report positions with it, and the command
// trace summarises the frames of READ and WRITE with it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/dat_format.h"

// The trailer of a frame: packs, sub-ID, interpolation flags, main ID.
#define FRAME_TRAILER_OFFSET offsetof(DatFrame, pack)
#define FRAME_TRAILER_BYTES (DAT_FRAME_BYTES - FRAME_TRAILER_OFFSET)

struct FrameSubcode {
  uint8_t digits[3];  // program number: hundreds, tens, units
  uint8_t absolute[4];      // 0xAA each when no pack holds it
  uint8_t program_time[4];
};

// Reads the subcode from a frame's trailer (FRAME_TRAILER_BYTES bytes).
void frame_subcode_parse(const uint8_t* trailer, FrameSubcode* subcode);
