// SPDX-License-Identifier: MIT
#include "report/run_tally.h"

ContinuityResult tally_frame(RunTally* t, const FrameInfo* info, const FrameEvents* events) {
  if (info->flags) t->damaged += 1;
  ContinuityResult found = track_continuity(&t->continuity, info, events);
  if (found.broken) t->continuity_breaks += 1;
  return found;
}

void tally_unreadable(RunTally* t) {
  t->unreadable += 1;
  skip_continuity(&t->continuity);
}

void tally_ended_early(RunTally* t) { t->ended_early = 1; }

RunVerdict run_verdict(const RunTally* t) {
  if (t->ended_early) return RUN_INCOMPLETE;
  return t->damaged || t->unreadable || t->continuity_breaks ? RUN_DAMAGED : RUN_CLEAN;
}

const char* run_verdict_name(RunVerdict verdict) {
  switch (verdict) {
    case RUN_CLEAN: return "clean";
    case RUN_DAMAGED: return "damaged";
    case RUN_INCOMPLETE: break;
  }
  return "incomplete";
}
