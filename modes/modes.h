// SPDX-License-Identifier: MIT
// The modes: exactly one runs per process. Each returns what its run came
// to: clean (to its natural end, every frame whole), damaged (to its natural
// end, with frames damaged, unreadable or out of step), or incomplete (it
// could not start, or ended early: ESC, a failed read or write). The run
// sequence turns that into the exit code.
#pragma once

#include "base/run_settings.h"
#include "report/run_tally.h"

RunVerdict extract_tracks(RunSettings* settings, PlaybackStaging* staging);  // /KESTREL
RunVerdict record_to_tape(RunSettings* settings);                            // /GOSHAWK
RunVerdict dump_image(RunSettings* settings);                                // /BITTERN
RunVerdict restore_image(RunSettings* settings);                             // /BUNTING
RunVerdict copy_tape(RunSettings* settings);                                 // /PINTAIL
RunVerdict list_programs(RunSettings* settings);                             // /TOC
RunVerdict rescue_image(RunSettings* settings);                              // /RESCUE
