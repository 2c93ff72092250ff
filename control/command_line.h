// SPDX-License-Identifier: MIT
// The command-line parser: switches, addresses, seek request and file name.
#pragma once

#include <cstdint>

#include "base/run_settings.h"
#include "scsi/seek.h"  // the seek types

// Upper-cases every argument in place, records the switches, addresses, seek
// request and file name in the settings, and prints what it recognised.
// Returns 0 when the command line can run, 1 or 2 when it is rejected (after
// printing why).
int parse_command_line(int argc, char** argv, RunSettings* settings);
// The same with every argument taken as it stands: the switches already in
// upper case, the names as typed.
int parse_switches(int argc, char** argv, RunSettings* settings);

// "YYYY-MM-DDTHH:MM:SS" with "Z" or an offset "+HH:MM"/"-HH:MM" (ISO 8601,
// as /TRANSFERTIME takes it) into seconds since 1970 UTC; false when the
// text is not such a time.
bool parse_iso_time(const char* text, int64_t* seconds);

// Prints the short summary of the switches shown after a bare start.
void print_usage(void);
