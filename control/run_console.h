// SPDX-License-Identifier: MIT
// What the verbs show of a reading run: on a terminal one status line
// rewritten in place (where the tape is, frames read, damaged and
// unreadable, the file being written, elapsed time, and the time left and a
// bar when the run's length is known); off one, a plain progress line at
// most every 10 seconds and a line for each event a person must see; with
// quiet, the warnings and the summary alone. With an event stream, one JSON
// object a line for each event, for the tools that wrap kestrel.
#pragma once

#include <cstdint>
#include <string>

#include "control/console_pace.h"

struct RunConsoleSetup {
  ConsolePace pace;
  int events_fd;         // -1: no event stream
  int64_t total_frames;  // frames the run is expected to read; 0 unknown
  const char* verb;      // "read", ...
  const char* name;      // NAME, "" when none
  const char* source;    // "drive 0:4" or "image PATH"
  bool watch_frames;     // the mode reads audio frames: the status line and the events of the tape
};

// Starts watching the run (a mode's watcher and the "started" event).
void run_console_start(const RunConsoleSetup& setup);
// Ends the watching: the last status line, as a line of its own.
void run_console_stop(void);
// Then, the console's pace ended, the summary line and the "finished" event.
void run_console_finish(int exit_code);

// The frames a run reads, when it can be known before it starts: from an
// image's size (image not nullptr), from a listing of the tape (kestrel toc > NAME.toc) beside
// the name, or from a length H:M:S given. 0 when none says; -1 when length
// is given and is no H:M:S.
int64_t expected_frames(const char* image, const char* name, const char* length);
