// SPDX-License-Identifier: MIT
// The two text logs of a run: "log.txt", which the player appends to, and
// the log of the track being extracted, a stream its owner opens and hands
// in. Every layer writes to them through these; none prints on its own.
#pragma once

#include <cstdint>
#include <cstdio>

// The run log's name, in the folder kestrel runs in.
inline constexpr const char* kRunLogName = "log.txt";

extern "C" {

// Sets the level of the "log.txt" writer and returns it (starts at 0).
int32_t RecVerbose(int32_t level);
// Appends at most 499 formatted characters to "log.txt" (dropped when it cannot
// be opened). Returns the number of characters written, or -1.
int log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes at most 499 formatted characters to the open track log. Returns the
// number written, 0 when no track log is open, -1 when the write fails.
int track_log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
}

// The track log that track_log_printf writes to (nullptr: none is open).
void track_log_set(FILE* stream);
FILE* track_log_get(void);
