#include "modes/mode_io.h"

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
