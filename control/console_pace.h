// SPDX-License-Identifier: MIT
// How often the status line rewritten in place ("...\r") reaches the
// console. On a terminal every one does (a lasting line clears the status
// line it takes the place of); off a terminal (a log file, a pipe)
// one in 10 seconds does, as a line of its own; with --quiet none does. The
// lasting lines (those that end in "\n") do, but with --quiet, where they are
// held back and shown only when the run fails.
#pragma once

#include <cstdint>

enum ConsolePace { PACE_TERMINAL, PACE_PLAIN, PACE_QUIET };

// At most one plain progress line in this many milliseconds.
constexpr uint32_t kPlainProgressMs = 10000;

// Puts a stream that paces the status lines in place of standard output.
// Returns 0, or -1 when it cannot (standard output is then left as it was).
int console_pace_start(ConsolePace pace);
// A warning (a line with its "\n"): shown at once, with --quiet too.
void console_pace_warn(const char* line);
// Writes out what waits (with --quiet, the lines held back only when the
// run failed) and puts standard output back.
void console_pace_finish(bool failed);
