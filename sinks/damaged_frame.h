// SPDX-License-Identifier: MIT
// What the extraction does with a frame the drive flagged.
#pragma once

#include <cstdint>

#include "base/run_settings.h"
#include "datframe/dat_frame.h"

extern "C" {
// The extraction's handling of a frame the drive flagged (interpolate_flags
// non-zero): the report to the track log and the console, the repair of pcm
// (pcm_bytes long) when /ERRORCORRECT is given and the frame is 16-bit, and
// the track's totals. wav_name is the track's file name, "" in live playback
// (where no track log is open), nullptr when the caller says nothing of the
// frame on the console. Returns the samples repaired; 0 for a clean frame,
// which is left alone; -1 when an argument is missing.
int32_t handle_error_frame(const DatFrame* frame, uint8_t* pcm, int32_t pcm_bytes,
                           const RunSettings* settings, ConcealTotals* totals, const char* wav_name);
}
