// SPDX-License-Identifier: MIT
// What the extraction does with a frame the drive flagged: the entry in the
// track log, the lines on the console, the repair, the track's totals.
#include <cstdio>

#include "datframe/dat_frame.h"
#include "sinks/damaged_frame.h"
#include "platform/log.h"

int32_t handle_error_frame(const DatFrame* frame, uint8_t* pcm, int32_t pcm_bytes, const RunSettings* settings,
                           ConcealTotals* totals, const char* wav_name) {
  if (!frame || !pcm || !settings || !totals) return -1;
  unsigned flags = frame->interpolate_flags;
  if (flags == 0) return 0;
  // No track log is open in live playback: these writes then go nowhere.
  track_log_printf("Error: 0x%.2x - ", flags);
  log_subcode(settings);
  bool say = wav_name != nullptr;  // nullptr: the caller tells of the frame its own way
  if (say) {
    std::printf("\n - Error detected in data buffer ... ");
    if (settings->input_needs_load == 0) {
      if (flags & 0x40) std::printf(": LEFT channel");
      if (flags & 0x20) std::printf(": RIGHT channel");
    }
    std::printf("\n - interpolate flag set to %x writing buffer to file:%s\n", flags, wav_name);
  }
  if (settings->sample_bits == 16 && settings->errorcorrect_arg != 0) {
    if (say) std::printf("attempting to correct\n");
    int32_t repaired = conceal_errors(frame, pcm, pcm_bytes, static_cast<int32_t>(flags));
    totals->samples_fixed += repaired;
    if (repaired > 0) {
      totals->frames_fixed += 1;
    } else {
      totals->frames_not_fixed += 1;
    }
    return repaired;
  }
  totals->frames_not_fixed += 1;
  if (say) std::printf("\n");
  return 0;
}
