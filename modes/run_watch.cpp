// SPDX-License-Identifier: MIT
#include "modes/run_watch.h"

namespace {

struct Watch {
  RunWatcher watcher;
  bool set = false;
  WatchPosition at{};
  WatchEvent stretch{};  // the damaged stretch being read (count 0: none)
};

Watch g_watch;

void tell(const WatchEvent& event) { g_watch.watcher.event(g_watch.watcher.context, &event); }

// A damaged stretch is told once a frame that is not damaged (or no frame) follows it.
void end_stretch(void) {
  if (g_watch.stretch.count == 0) return;
  tell(g_watch.stretch);
  g_watch.stretch.count = 0;
}

}  // namespace

void run_watch_set(const RunWatcher* watcher) {
  g_watch = Watch{};
  if (!watcher) return;
  g_watch.watcher = *watcher;
  g_watch.set = true;
}

bool run_watched(void) { return g_watch.set; }

void watch_frame(const FrameInfo* info, bool damaged, const char* file) {
  if (!g_watch.set) return;
  WatchPosition& at = g_watch.at;
  at.frames += 1;
  at.file = file;
  if (info->absolute.valid) at.absolute = info->absolute;
  if (info->program_kind == FRAME_PROGRAM_NUMBER) at.program = info->program;
  if (damaged) {
    at.damaged += 1;
    if (g_watch.stretch.count == 0)
      g_watch.stretch = WatchEvent{WATCH_DAMAGED, file, at.absolute, at.program, 0, 0};
    g_watch.stretch.count += 1;
  } else {
    end_stretch();
  }
  g_watch.watcher.position(g_watch.watcher.context, &at);
}

void watch_unreadable(uint32_t result, const char* file) {
  if (!g_watch.set) return;
  end_stretch();
  g_watch.at.unreadable += 1;
  tell(WatchEvent{WATCH_UNREADABLE, file, g_watch.at.absolute, g_watch.at.program, result, 0});
  g_watch.watcher.position(g_watch.watcher.context, &g_watch.at);
}

void watch_reread(int32_t reads, bool recovered, const char* file) {
  if (!g_watch.set) return;
  tell(WatchEvent{WATCH_REREAD, file, g_watch.at.absolute, g_watch.at.program, reads, recovered ? 1 : 0});
}

void watch_file(WatchKind kind, const char* file) {
  if (!g_watch.set) return;
  end_stretch();
  if (kind == WATCH_FILE_OPENED) g_watch.at.file = file;
  tell(WatchEvent{kind, file, g_watch.at.absolute, g_watch.at.program, 0, 0});
  if (kind == WATCH_FILE_CLOSED) g_watch.at.file = "";
}

void watch_end(void) {
  if (!g_watch.set) return;
  end_stretch();
  tell(WatchEvent{WATCH_END, g_watch.at.file, g_watch.at.absolute, g_watch.at.program, 0, 0});
}
