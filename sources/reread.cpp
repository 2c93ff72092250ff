// SPDX-License-Identifier: MIT
#include "sources/reread.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "platform/console.h"
#include "platform/log.h"
#include "scsi/aspi_call.h"
#include "scsi/seek.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

const size_t kMaxStretch = 1000;    // frames a stretch holds before it is re-read as it stands
const int64_t kLead = 4;            // a LOCATE aims this many frames before the stretch
const int64_t kMaxLead = 400;       // and, after passes that began late, at most this many
const int64_t kOverrun = 200;       // frames a pass reads beyond what it expects before giving up
const int kPlaceTries = 3;          // tries to put the tape back where the first pass stopped
const uint32_t kLocateWaitMs = 180000;
// Reads in a row (the first pass counting) that give the same frames flagged
// the same way, after which further passes over a stretch stop: what stays
// so is not a misread a pass can clear.
const int kSameReads = 3;
// What a read gave of a frame: its interpolation flags, or one of these.
const uint32_t kOutcomeUnreadable = 0x100;
const uint32_t kOutcomeNotSeen = 0x200;  // the pass did not come to the frame

// One frame of the tape as the stage holds it: its best copy so far.
struct Held {
  DatFrame frame;
  uint32_t result;
  int32_t rank;   // CopyRank of the copy
  FrameKey key;   // where it lies; an unreadable frame's time comes from its neighbours (its
                  // program is left unknown, so that a copy of either program can match it)
  int32_t reads;  // reads of the frame so far
  int32_t kept;   // the read that gave the copy
  bool damaged;   // the first read was damaged or out of step
  uint32_t outcome;   // what the latest read of it gave: flags, or kOutcome...
  uint32_t previous;  // what the read before that gave
};

bool needs_copy(const Held& h) { return h.damaged && h.rank < COPY_CLEAN; }

}  // namespace

struct RereadStage {
  RunSettings* s;
  DriveFrames drive;  // what the frames are read through
  int32_t passes;
  std::deque<Held> out;      // settled frames, handed on from the front
  std::vector<Held> held;    // the open stretch and the frames after it
  int good_after = 0;        // good frames since the stretch's last damaged one
  int64_t next_time = -1;    // the absolute time the next frame should carry
  // The absolute times (-1: none) of the frames handed on since the last
  // stretch, the newest last: a LOCATE aims at one of them or at a held
  // frame, a time the tape is known to carry, and never at a frame of the
  // stretch before, which its own passes have read.
  std::deque<int64_t> recent;
  FrameKey last_key{-1, -1};  // the last frame the first pass read
  DatFrame like{};            // and the frame itself, whose main ID a stand-in takes
  bool have_like = false;
  // The same of the frame before the first held one.
  FrameKey before_key{-1, -1};
  DatFrame before_like{};
  bool have_before_like = false;
  bool ended = false;        // the place was lost: after what is held, reading ends
  bool place_lost = false;   // the drive timed out, was reset or went: no command is worth asking
  uint32_t lost_result = 0;  // and what it said then
  // Totals of the run.
  long long stretches = 0;
  long long damaged = 0;
  long long recovered = 0;
  long long extra_reads = 0;
};

namespace {

// Reads the frame under the head into *h, as a copy of unknown place.
void read_drive(RereadStage* st, Held* h) {
  h->result = read_drive_frame(&st->drive, &h->frame).result;
  h->reads = 1;
  h->kept = 1;
  h->damaged = false;
  h->previous = kOutcomeNotSeen;
  if (!tape_read_ok(h->result)) {
    h->rank = COPY_UNREADABLE;
    h->key = FrameKey{-1, -1};
    h->outcome = kOutcomeUnreadable;
    return;
  }
  FrameInfo info = decode_frame(&h->frame);
  h->rank = copy_rank(1, h->frame.interpolate_flags);
  h->outcome = h->frame.interpolate_flags;
  h->key = frame_key(&info);
}

bool is_unreadable(uint32_t result) { return tape_status(result) == TAPE_MEDIUM_ERROR; }

// ESC or Ctrl-C: noticed here, put back for the mode that ends the run.
bool interrupted() {
  if (!esc_pressed()) return false;
  console_put_back_esc();
  return true;
}

// A frame of the first pass: its place, and whether it is damaged.
void take_first(RereadStage* st, Held* h) {
  if (tape_read_ok(h->result)) {
    bool out_of_step = h->key.time >= 0 && st->next_time >= 0 && h->key.time != st->next_time;
    h->damaged = h->rank < COPY_CLEAN || out_of_step;
    st->next_time = h->key.time >= 0 ? h->key.time + 1 : -1;
    st->last_key = h->key;
    st->like = h->frame;
    st->have_like = true;
  } else {
    h->damaged = true;
    h->key.time = st->next_time;
    if (st->next_time >= 0) ++st->next_time;
  }
}

// The held frame a copy read again is, or -1. A pass reads in tape order:
// the frame after the one matched last (after) is looked for first, so that
// of frames with one time (a repeated frame) each copy is taken for its own.
int find_held(const RereadStage* st, const FrameKey& key, int after) {
  if (key.time < 0) return -1;
  const size_t count = st->held.size();
  const size_t from = after >= 0 ? static_cast<size_t>(after) + 1 : 0;
  for (size_t n = 0; n < count; ++n) {
    size_t i = (from + n) % count;
    if (frame_keys_match(&st->held[i].key, &key)) return static_cast<int>(i);
  }
  return -1;
}

// Whether the drive lost its place at this read (timed out, reset, cut
// short): kept, for the reading it ends to say so.
void lose_place(RereadStage* st, uint32_t result) {
  st->place_lost = true;
  st->lost_result = result;
}
bool lost_place(RereadStage* st, uint32_t result) {
  if (!tape_lost_place(tape_status(result))) return false;
  lose_place(st, result);
  return true;
}

// Sends the tape to the absolute time and waits until it is there. 0, -1
// when the drive refuses, or -2 on ESC.
int go_to_time(RereadStage* st, int64_t time) {
  const DriveAddress d = st->drive.address;
  TapeResult located = locate_time(d, SEEK_ABSTIME, time);
  if (!tape_completed(located)) {
    if (tape_lost_place(located.status)) lose_place(st, located.word);
    return -1;
  }
  TapeResult lost{TAPE_GOOD, 0};
  SearchEnd end = wait_for_search(d, kLocateWaitMs, interrupted, &lost);
  if (lost.status != TAPE_GOOD) lose_place(st, lost.word);
  return end == SEARCH_ARRIVED ? 0 : end == SEARCH_STOPPED ? -2 : -1;
}

// The place of a copy read during a pass: its key, or for an unreadable
// frame the time after the frame read before it.
void place_copy(Held* c, int64_t* previous_time) {
  if (!tape_read_ok(c->result)) c->key = FrameKey{*previous_time >= 0 ? *previous_time + 1 : -1, -1};
  *previous_time = c->key.time;
}

// Takes a copy read again into the held frame it is: a better copy
// replaces the one held; equals keep the first.
void take_copy(Held* h, const Held& c) {
  ++h->reads;
  h->outcome = c.outcome;
  if (c.rank > h->rank) {
    if (!tape_read_ok(h->result)) h->key = c.key;  // now read: it says where it lies
    h->frame = c.frame;
    h->result = c.result;
    h->rank = c.rank;
    h->kept = h->reads;
  }
}

// The time a LOCATE aims at to reach held[index]: that of the frame lead
// frames before it, or of the nearest one before that with a time, among
// the held frames and those handed on since the last stretch; the furthest
// back there is when none is that far back.
int64_t aim_before(const RereadStage* st, int index, int64_t lead) {
  int64_t aim = st->held[static_cast<size_t>(index)].key.time;
  int64_t back = 0;
  auto step = [&](int64_t time) {
    ++back;
    if (time >= 0) aim = time;
    return time >= 0 && back >= lead;
  };
  for (int i = index - 1; i >= 0; --i)
    if (step(st->held[static_cast<size_t>(i)].key.time)) return aim;
  for (auto t = st->recent.rbegin(); t != st->recent.rend(); ++t)
    if (step(*t)) return aim;
  return aim;
}

// One extra pass over held[first..last]. Returns the index of the held frame
// the tape stands just after (-1: not known), or -2 on ESC.
int reread_pass(RereadStage* st, int first, int last, int64_t* lead) {
  for (int i = first; i <= last; ++i) {
    Held& h = st->held[static_cast<size_t>(i)];
    h.previous = h.outcome;
    h.outcome = kOutcomeNotSeen;
  }
  int64_t from = aim_before(st, first, *lead);
  int located = go_to_time(st, from);
  if (located == -2) return -2;
  if (located != 0) {
    if (!st->place_lost) std::printf(" - re-reading: the drive did not go to the stretch\n");
    return -1;
  }
  int64_t last_time = st->held[static_cast<size_t>(last)].key.time;
  int64_t limit = last_time - from + 1 + kOverrun;
  int64_t previous_time = -1;
  int first_seen = -1;
  int at = -1;
  int matched = -1;
  for (int64_t n = 0; n < limit; ++n) {
    if (interrupted()) return -2;
    Held c;
    read_drive(st, &c);
    ++st->extra_reads;
    if (lost_place(st, c.result)) return -1;
    if (!tape_read_ok(c.result) && !is_unreadable(c.result)) break;  // the end of data, or worse
    place_copy(&c, &previous_time);
    int i = find_held(st, c.key, matched);
    at = i;
    if (i < 0) {
      if (c.key.time > last_time) break;  // past the stretch
      continue;
    }
    matched = i;
    if (first_seen < 0) first_seen = i;
    take_copy(&st->held[static_cast<size_t>(i)], c);
    if (i >= last) break;
  }
  // A pass that began after the stretch's first frame aims further back next time.
  if (first_seen < 0 || first_seen > first) *lead = std::min(*lead * 2, kMaxLead);
  return at;
}

// Reads forward until the last held frame has passed the head again, so
// that reading goes on where the first pass stopped. at: the held frame the
// tape stands just after (-1: not known). 0, -1 when the place is lost, -2 on ESC.
int put_back(RereadStage* st, int at) {
  const int end = static_cast<int>(st->held.size()) - 1;
  // The last held frame with a time: a LOCATE can find it, and from it the
  // frames after it are counted as they pass.
  int anchor = end;
  while (anchor >= 0 && st->held[static_cast<size_t>(anchor)].key.time < 0) --anchor;
  if (anchor < 0) return -1;
  int64_t lead = kLead;
  for (int attempt = 0; attempt < kPlaceTries; ++attempt) {
    if (attempt > 0 || at < 0) {
      int located = go_to_time(st, aim_before(st, anchor, lead));
      if (located == -2) return -2;
      if (st->place_lost) return -1;  // asking again would only wait again
      if (located != 0) continue;
      lead = std::min(lead * 4, kMaxLead);
      at = -1;
    }
    int64_t previous_time = -1;
    int64_t limit = end - std::max(at, 0) + kLead + kMaxLead + kOverrun;
    for (int64_t n = 0; at != end && n < limit; ++n) {
      if (interrupted()) return -2;
      Held c;
      read_drive(st, &c);
      ++st->extra_reads;
      if (lost_place(st, c.result)) return -1;
      if (!tape_read_ok(c.result) && !is_unreadable(c.result)) break;
      place_copy(&c, &previous_time);
      int i = find_held(st, c.key, at);
      if (i >= 0)
        at = i;
      else if (at >= anchor)
        ++at;  // beyond the anchor frames are counted
      else if (c.key.time > st->held[static_cast<size_t>(anchor)].key.time)
        break;  // past it without seeing it
    }
    if (at == end) return 0;
  }
  return -1;
}

const char* time_text(int64_t time, char* text, size_t size) {
  if (time < 0) return "(no time)";
  dat_frames_text(static_cast<uint64_t>(time), text, size);
  return text;
}

// Each run of unreadable held frames [p, q): where it lies, told by the
// frames around it, as place_unreadable_run places it. With stand_ins, the
// frames still unreadable get the stand-in of their place, with the main ID
// of the frame before the run (or after it); else only their times are set,
// the program left unknown, for the re-reads to find them.
void place_unreadable(RereadStage* st, bool stand_ins) {
  std::vector<Held>& held = st->held;
  for (size_t p = 0; p < held.size();) {
    size_t q = p;
    while (q < held.size() && !tape_read_ok(held[q].result)) ++q;
    if (q > p) {
      const FrameKey& before = p > 0 ? held[p - 1].key : st->before_key;
      const FrameKey* after = q < held.size() ? &held[q].key : nullptr;
      FrameKey place = place_unreadable_run(&before, after, static_cast<int64_t>(q - p));
      const DatFrame* like = p > 0                 ? &held[p - 1].frame
                             : st->have_before_like ? &st->before_like
                             : q < held.size()      ? &held[q].frame
                                                    : nullptr;
      for (size_t i = p; i < q; ++i) {
        FrameKey key{place.time >= 0 ? place.time + static_cast<int64_t>(i - p) : -1, place.program};
        held[i].key.time = key.time;
        if (stand_ins && !tape_read_ok(held[i].result)) frame_make_stand_in(&held[i].frame, &key, like);
      }
    }
    p = q + 1;
  }
}

// The held stretch re-read (when reread), then handed on.
void settle(RereadStage* st, bool reread) {
  std::vector<Held>& held = st->held;
  // An unreadable frame got its time counted on from the frame before it;
  // the frames after it tell whether that holds.
  place_unreadable(st, false);
  int first = -1, last = -1, targets = 0, untimed = 0;
  for (size_t i = 0; i < held.size(); ++i) {
    if (!needs_copy(held[i])) continue;
    if (held[i].key.time < 0) {
      ++untimed;
      continue;
    }
    if (first < 0) first = static_cast<int>(i);
    last = static_cast<int>(i);
    ++targets;
  }
  st->damaged += targets + untimed;
  if (targets + untimed > 0) ++st->stretches;
  char text[16];
  if (reread && untimed > 0) {
    std::printf("\n - %d damaged frames carry no valid absolute time: they cannot be found again and are not re-read\n",
                untimed);
    track_log_printf("Not re-read: %d damaged frames without a valid absolute time\n", untimed);
  }
  if (reread && targets > 0) {
    std::printf("\n - re-reading a damaged stretch at %s: %d damaged frames\n",
                time_text(held[static_cast<size_t>(first)].key.time, text, sizeof text), targets);
    int64_t lead = kLead;
    int at = static_cast<int>(held.size()) - 1;  // the first pass stopped after the last held frame
    int pass = 0;
    int left = targets;
    int same_reads = 1;  // the first pass is the first read
    while (left > 0 && pass < st->passes) {
      ++pass;
      at = reread_pass(st, first, last, &lead);
      if (at == -2 || st->place_lost) break;
      int before = left;
      left = 0;
      bool same = true;
      for (int i = first; i <= last; ++i) {
        const Held& h = held[static_cast<size_t>(i)];
        if (!needs_copy(h)) continue;
        ++left;
        same = same && h.outcome != kOutcomeNotSeen && h.outcome == h.previous;
      }
      same_reads = same && left == before ? same_reads + 1 : 1;
      if (left > 0 && same_reads >= kSameReads && pass < st->passes) {
        std::printf(" - the same %d frames came back flagged the same way on %d reads in a row: no more passes\n",
                    left, kSameReads);
        track_log_printf("Re-reading stopped at %s: the same %d frames flagged the same way on %d reads in a row\n",
                         time_text(held[static_cast<size_t>(first)].key.time, text, sizeof text), left, kSameReads);
        break;
      }
    }
    int placed = at == -2 ? -2 : st->place_lost ? -1 : put_back(st, at);
    if (placed == -2) {
      std::printf(" - re-reading interrupted after %d passes: %d of %d damaged frames clean\n", pass,
                  targets - left, targets);
    } else {
      std::printf(" - stretch re-read in %d passes: %d of %d damaged frames clean%s\n", pass, targets - left,
                  targets, left > 0 ? ", the best copies of the others kept" : "");
    }
    st->recovered += targets - left;
    // A drive that lost its place is said by the reading it ends, in the
    // words of what it did.
    if (placed == -1) {
      if (!st->place_lost)
        std::printf(" - the tape cannot be put back where reading stopped: reading ends after the stretch\n");
      st->ended = true;
    }
  }
  place_unreadable(st, true);
  for (Held& h : held) st->out.push_back(h);
  held.clear();
  st->recent.clear();
  st->good_after = 0;
}

}  // namespace

RereadStage* open_reread(RunSettings* settings, DriveFrames drive) {
  RereadStage* st = new RereadStage;
  st->s = settings;
  st->drive = drive;
  st->passes = settings->reread_passes;
  return st;
}

FrameRead reread_next_frame(RereadStage* st, DatFrame* frame) {
  while (st->out.empty()) {
    if (st->ended) {
      std::memset(frame, 0, sizeof *frame);
      return FrameRead{st->place_lost ? st->lost_result : ASPI_RESULT_END_OF_DATA, 0, 0, 0};
    }
    Held h;
    read_drive(st, &h);
    if (!tape_read_ok(h.result) && !is_unreadable(h.result)) {
      // The end of the recorded data ends a stretch there, re-read like any
      // other; a drive that fails otherwise is not asked again.
      if (!st->held.empty()) settle(st, tape_status(h.result) == TAPE_END_OF_DATA);
      st->out.push_back(h);
      break;
    }
    take_first(st, &h);
    if (st->held.empty() && !h.damaged) {
      st->recent.push_back(h.key.time);
      if (st->recent.size() > static_cast<size_t>(kMaxLead)) st->recent.pop_front();
      st->out.push_back(h);
      break;
    }
    st->good_after = h.damaged ? 0 : st->good_after + 1;
    if (st->held.empty()) {
      // The frame before the stretch, which an unreadable frame at its start
      // takes its place from (the first pass's record of it is still that
      // frame's: an unreadable frame leaves it as it is).
      st->before_key = st->last_key;
      st->before_like = st->like;
      st->have_before_like = st->have_like;
    }
    st->held.push_back(h);
    if (st->good_after >= DAMAGED_STRETCH_GAP || st->held.size() >= kMaxStretch)
      settle(st, true);
    else if (interrupted())
      settle(st, false);  // the run ends: what is held goes on as read
  }
  Held& h = st->out.front();
  *frame = h.frame;  // a frame still unreadable holds its stand-in
  FrameRead read{h.result, h.reads, h.kept, !tape_read_ok(h.result) && is_unreadable(h.result) ? 1 : 0};
  st->out.pop_front();
  return read;
}

bool reread_lost_place(const RereadStage* st) { return st->ended; }

void close_reread(RereadStage* st) {
  if (!st) return;
  if (st->damaged > 0 || st->extra_reads > 0)
    std::printf("\n - re-reading: %lld damaged frames in %lld stretches, %lld recovered clean, %lld extra frames read\n",
                st->damaged, st->stretches, st->recovered, st->extra_reads);
  delete st;
}

int log_frame_reads(const FrameRead* read, const DatFrame* frame) {
  bool readable = tape_read_ok(read->result);
  int32_t rank = copy_rank(readable ? 1 : 0, readable ? frame->interpolate_flags : 0);
  if (read->kept <= 1 && rank == COPY_CLEAN) return 0;
  static const char* const kRankText[] = {"unreadable", "both channels flagged", "one channel flagged", "clean"};
  FrameInfo info = decode_frame(frame);  // a stand-in carries the time too
  char text[16];
  track_log_printf("Re-read: frame at %s read %d times, copy of read %d kept, %s\n",
                   time_text(info.absolute.valid ? time_code_frames(info.absolute.code) : -1, text, sizeof text),
                   read->reads, read->kept, kRankText[rank]);
  return rank == COPY_CLEAN ? 1 : 0;
}
