// SPDX-License-Identifier: MIT
// Copies of one frame: where a frame lies on the tape, told by its absolute
// time and program number (never by counting, which a LOCATE that stops a
// few frames off or an image that starts elsewhere would mislead), and which
// of two copies of it is kept. The re-reading of damaged stretches and the
// merging of images both decide by these rules.
#pragma once

#include <cstdint>

#include "datframe/dat_frame.h"

struct FrameInfo;

// Damaged frames with fewer good frames than this between them make one
// damaged stretch.
#define DAMAGED_STRETCH_GAP 30

// How good a copy of a frame is; a higher rank is better.
enum CopyRank : int32_t {
  COPY_UNREADABLE = 0,    // the drive could not read it (or an image's stand-in for such a frame)
  COPY_BOTH_FLAGGED = 1,  // both channels (or an unknown flag) marked for interpolation
  COPY_ONE_FLAGGED = 2,   // one channel marked
  COPY_CLEAN = 3,         // no interpolation flag
};

// Where a frame lies: its absolute time as frames since 00:00:00:00 (-1: no
// valid absolute time) and the 12-bit BCD program number of its sub-ID (-1:
// not known, as for a frame that could not be read).
struct FrameKey {
  int64_t time;
  int32_t program;
};
static_assert(sizeof(FrameKey) == 16);

extern "C" {

// The rank of a copy that was read (readable 1) with these interpolation
// flags, or of one that was not (readable 0).
int32_t copy_rank(int32_t readable, uint32_t flags);
// The rank of an image record: its flags, and COPY_UNREADABLE for the
// stand-in an image keeps for a frame no read could give.
int32_t record_rank(const DatFrame* record);
// The key of a decoded frame.
FrameKey frame_key(const FrameInfo* info);
// 1 when two keys can be the same frame: equal valid times, and equal program
// numbers where both are known.
int32_t frame_keys_match(const FrameKey* a, const FrameKey* b);
// A packed BCD time code (hours in bits 31-24) as frames since 00:00:00:00,
// 100 frames in 3 seconds; -1 when it is no valid time code.
int64_t time_code_frames(uint32_t code);
// The reverse: the packed BCD time code of a frame count (0 .. 99 hours).
uint32_t frames_time_code(int64_t frames);
// Where a run of count frames lies that no read could give, told by the
// frames read around it: before just before the run (time -1: none, program
// -1: no frame), after just after it (nullptr: the recorded data, or the
// reading, ended there). Their times go on from the frame before, one a
// frame, when the frame after carries the time that follows them or none
// follows (blank tape carries no time, and does not move it on); else they
// have none. Their program number is a neighbour's: the number (1 to 799) of
// the frame before, else of the frame after, else the lead-in or lead-out of
// either, else none (-1). Returns the place of the run's first frame; frame
// i of the run lies i frames later, in the same program.
FrameKey place_unreadable_run(const FrameKey* before, const FrameKey* after, int64_t count);
// The stand-in for a frame that could not be read: silence, both channels
// flagged, an absolute-time pack of key's time (none when it is not known)
// and key's program number (0AA when not known) in it and in the sub-ID,
// the main ID of like (a frame near it; nullptr: 48 kHz two-channel 16-bit),
// and in the sub-ID's data ID a mark no frame that was read carries.
void frame_make_stand_in(DatFrame* out, const FrameKey* key, const DatFrame* like);
// 1 for such a stand-in, also of the form images kept before the mark (the
// program number 0AA throughout, and nothing but the time pack).
int32_t frame_is_stand_in(const DatFrame* record);

}
