// The modes: exactly one runs per process. Each returns 0 when it ran (to the
// end, a failure in mid-run, blank tape or ESC) and non-zero when it could not
// start or go on.
#pragma once

#include "base/run_settings.h"

int extract_tracks(RunSettings* settings, PlaybackStaging* staging);  // /KESTREL
int record_to_tape(RunSettings* settings);                            // /GOSHAWK
int dump_image(RunSettings* settings);                                // /BITTERN
int restore_image(RunSettings* settings);                             // /BUNTING
int copy_tape(RunSettings* settings);                                 // /PINTAIL
int list_programs(RunSettings* settings);                             // /TOC
