// How often the status line rewritten in place ("...\r") reaches the
// console. On a terminal every one does; off a terminal (a log file, a pipe)
// one in 10 seconds does, as a line of its own; with --quiet none does. The
// lasting lines (those that end in "\n") always do.
#pragma once

#include <cstdint>

enum ConsolePace { PACE_TERMINAL, PACE_PLAIN, PACE_QUIET };

// At most one plain progress line in this many milliseconds.
constexpr uint32_t kPlainProgressMs = 10000;

// Puts a stream that paces the status lines in place of standard output.
// Returns 0, or -1 when it cannot (standard output is then left as it was).
int console_pace_start(ConsolePace pace);
// Writes out what waits and puts standard output back.
void console_pace_finish(void);
