// SPDX-License-Identifier: MIT
#include "datframe/continuity.h"

#include "datframe/dat_frame.h"

namespace {

bool same_program(const ContinuityTracker& t, const FrameInfo& info) {
  return t.program_kind == info.program_kind && t.program == info.program && t.rate_code == info.rate_code;
}

}  // namespace

ContinuityResult track_continuity(ContinuityTracker* t, const FrameInfo* info, const FrameEvents* events) {
  ContinuityResult result{0, 0, info->absolute.code};
  if (events->blank || !info->has_packs) {
    *t = ContinuityTracker{};
    return result;
  }
  if (!t->in_program || !same_program(*t, *info)) {
    *t = ContinuityTracker{1, info->program_kind, info->program, info->rate_code, 0, 0, 0, 0};
  }
  if (!info->absolute.valid) {
    // No time to compare: the frame still takes its place.
    skip_continuity(t);
    return result;
  }
  uint32_t found = info->absolute.code;
  bool in_order = !t->timed || found == t->expected || (t->after_odd && found == t->also_expected);
  if (in_order) {
    t->after_odd = 0;
  } else {
    result.broken = 1;
    result.expected = t->expected;
    // The frame after it may go on from this frame or from the last one in
    // order before it (odd frames in a row were all put in between).
    if (!t->after_odd) t->also_expected = t->expected;
    t->after_odd = 1;
  }
  t->timed = 1;
  t->expected = step_time_code(found);
  return result;
}

void skip_continuity(ContinuityTracker* t) {
  if (t->timed) t->expected = step_time_code(t->expected);
  if (t->after_odd) t->also_expected = step_time_code(t->also_expected);
}
