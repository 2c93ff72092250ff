// SPDX-License-Identifier: MIT
#include "modes/mode_io.h"

#include "datframe/rescue_map.h"

#include <cstdio>

#include "datframe/frame_info.h"
#include "modes/run_watch.h"

void say_frame_events(const FrameInfo* info, const FrameEvents* events) {
  char text[kFrameEventsTextSize];
  frame_events_text(info, events, text, sizeof text);
  std::fputs(text, stdout);
}

bool take_read_frame(const DatFrame* frame, RunSettings* settings, FrameInfo* info, FrameEvents* events) {
  take_frame(frame, settings, info, events);
  if (!run_watched()) say_frame_events(info, events);
  return events->blank_stop && !settings->stopeot_arg;
}

bool say_partial_image(const char* path) {
  RescueMap map;
  std::string why;
  if (rescue_map_read(rescue_map_path(path), &map, &why) != 0 || map.finished) return false;
  int64_t last = -1;
  for (const MapRecord& m : map.records)
    if (m.time >= 0) last = m.time;
  std::printf(" - %s is a partial image: its map says the dump stopped after %zu frames (at %s); the files lack the "
              "tape after that\n",
              path, map.records.size(), frame_time_text(last).c_str());
  return true;
}

std::string frame_time_text(int64_t frames) {
  if (frames < 0) return "(no time)";
  char text[16];
  dat_frames_text(static_cast<uint64_t>(frames), text, sizeof text);
  return text;
}
