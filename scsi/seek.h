// Positioning the input tape by program number or time code.
#pragma once

#include <cstdint>

#include "base/run_settings.h"

// Seek types as stored in RunSettings::seek_type.
enum SeekType { SEEK_PROGNUM = 0, SEEK_ABSTIME = 1, SEEK_RUNTIME = 2, SEEK_PROGTIME = 3 };

// 0 when the tape is taken to be at the requested position, -1 when not or
// when an interrupt (Ctrl-C, SIGTERM) ended the watch.
int seek_tape(int adapter, int target, int lun, RunSettings* settings);
// 1 when the 20-byte position data shows the requested position, else 0.
int position_matches(const RunSettings* settings, const uint8_t* position);
