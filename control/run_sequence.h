// The run sequence: everything kestrel does in one run, in order.
#pragma once

// Runs kestrel with the given argument vector (whose strings are upper-cased
// in place) and returns the process exit code.
int run_kestrel(int argc, char** argv);

// Exit codes.
enum {
  EXIT_DONE = 0,
  EXIT_MISSING_ARGUMENTS = 1,
  EXIT_BAD_COMMAND_LINE = 2,
  EXIT_NO_ASPI = 3,
  EXIT_DRIVE_SETUP = 4,
  EXIT_MODE_FAILED = 6,
  EXIT_NO_MEMORY = 8,
};
