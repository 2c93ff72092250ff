// Setting the named drives up before a mode and tearing them down after it.
#pragma once

#include "base/run_settings.h"

// Identifies, readies, switches to audio mode and loads the named drives.
// 0 on success, 1 when a drive does not answer, 2 when it is of an unknown kind.
// An interrupt (Ctrl-C, SIGTERM) stops it after the step it came in, with 0.
int configure_drives(RunSettings* settings);
// Rewinds the drives when the command line asks for it, none after an
// interrupt. Always 0.
int rewind_drives(RunSettings* settings);
// Unloads and returns to data mode the drives that need it. Always 0.
int close_drives(RunSettings* settings);
