// SPDX-License-Identifier: MIT
// Setting the named drives up before a mode and tearing them down after it.
#pragma once

#include "base/run_settings.h"

// Identifies, readies, switches to audio mode and loads the named drives.
// false when a drive does not answer or is of an unknown kind (after saying
// so). An interrupt (Ctrl-C, SIGTERM) stops it after the step it came in,
// with true.
bool configure_drives(RunSettings* settings);
// Rewinds the drives when the command line asks for it, none after an
// interrupt.
void rewind_drives(RunSettings* settings);
// Unloads and returns to data mode the drives that need it.
void close_drives(RunSettings* settings);
