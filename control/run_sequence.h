// SPDX-License-Identifier: MIT
// The run sequence: everything kestrel does in one run, in order.
#pragma once

// Runs kestrel with the given argument vector (whose strings are upper-cased
// in place) and returns the process exit code.
int run_kestrel(int argc, char** argv);

// How the command line was given: the slash switches, or switches the verbs'
// front end made of its options (taken as they stand, no banner).
enum CommandForm { FORM_SLASH, FORM_VERB };
int run_kestrel_as(int argc, char** argv, CommandForm form);

// Exit codes, one table for every mode.
enum {
  EXIT_DONE = 0,               // the run went to its natural end, every frame whole
  EXIT_MISSING_ARGUMENTS = 1,
  EXIT_BAD_COMMAND_LINE = 2,
  EXIT_NO_ASPI = 3,
  EXIT_DRIVE_SETUP = 4,
  EXIT_DAMAGED = 5,            // to its natural end, with frames damaged, unreadable or out of step
  EXIT_MODE_FAILED = 6,        // the mode could not start, or ended early
  EXIT_NO_MEMORY = 8,
};
