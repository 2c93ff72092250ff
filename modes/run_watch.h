// SPDX-License-Identifier: MIT
// What a reading mode tells whoever watches the run (the verbs' console and
// their event stream): where the tape is, and the events a person must see.
// Nothing is told when no watcher is set, and the mode then says on the
// console what it always said; with a watcher set, the mode leaves the
// per-frame status line and the routine lines to the watcher.
#pragma once

#include <cstdint>

#include "datframe/frame_info.h"

enum WatchKind {
  WATCH_FILE_OPENED,
  WATCH_DAMAGED,     // a stretch of damaged frames, told once it ends
  WATCH_UNREADABLE,  // a frame no read could give
  WATCH_REREAD,      // a frame read more than once
  WATCH_FILE_CLOSED,
  WATCH_END,         // the end of the recorded data
};

// Where the run stands: the last frame read.
struct WatchPosition {
  FrameTime absolute;  // its absolute time, as recorded
  int32_t program;     // its program number, 0 when none
  int64_t frames;      // frames read so far
  int64_t damaged;     // of them flagged by the drive
  int64_t unreadable;  // frames no read could give
  const char* file;    // the file being written, "" when none
};

struct WatchEvent {
  WatchKind kind;
  const char* file;    // FILE_OPENED, FILE_CLOSED: its name; else the file being written
  FrameTime absolute;  // DAMAGED: of the stretch's first frame; UNREADABLE: of the frame before it
  int32_t program;
  int64_t count;       // DAMAGED: frames in the stretch; REREAD: reads; UNREADABLE: the read's result word
  int32_t recovered;   // REREAD: a clean copy came of the reads
};

struct RunWatcher {
  void (*position)(void* context, const WatchPosition* position);
  void (*event)(void* context, const WatchEvent* event);
  void* context;
};

// Sets the watcher of the run (nullptr: none).
void run_watch_set(const RunWatcher* watcher);
bool run_watched(void);

// Told by the reading modes. A frame read (damaged: the drive flagged it);
// the file it goes to, "" when none.
void watch_frame(const FrameInfo* info, bool damaged, const char* file);
void watch_unreadable(uint32_t result, const char* file);
void watch_reread(int32_t reads, bool recovered, const char* file);
void watch_file(WatchKind kind, const char* file);
void watch_end(void);
