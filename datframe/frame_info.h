// SPDX-License-Identifier: MIT
// What a frame says of itself, as a value: decoded with no state and no
// output, so that a mode, a report or a table of contents can read a tape's
// frames without touching the run-long record. What spans frames (a blank
// stretch, a start-ID run, a change of rate, the running program and times)
// is carried by a small tracker that says what happened at each frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datframe/dat_frame.h"

// The program a frame belongs to.
enum FrameProgramKind : int32_t {
  FRAME_PROGRAM_NUMBER = 0,  // a program number 1 to 799
  FRAME_PROGRAM_LEAD_IN = 1,
  FRAME_PROGRAM_LEAD_OUT = 2,
  FRAME_PROGRAM_NONE = 3,     // 0AA: no valid number recorded
  FRAME_PROGRAM_INVALID = 4,  // 000, 800 and up, or digits that are no BCD number
};

// A time code: packed BCD hours, minutes, seconds, frame (hours in bits
// 31-24). valid: a pack carried it and it is not the 0xAA "no time" mark.
struct FrameTime {
  uint32_t code;
  int32_t valid;
};
static_assert(sizeof(FrameTime) == 8);

// One time pack item (program time or absolute time) as the frame's packs
// give it. A frame may carry the item more than once; a later slot counts
// over an earlier one.
struct FramePackTime {
  int32_t present;          // at least one pack of the item
  uint32_t last_time;       // time bytes of the last such pack
  int32_t last_program;     // its 12-bit program number
  int32_t timed;            // a pack of the item carries a program number other than 0BB and 0AA
  uint32_t timed_time;      // the last such pack's time
  int32_t timed_program;    // and its program number
  int32_t steps_after;      // packs with 0BB or 0AA after it, or all of them when none is timed
                            // (each moves the running time one frame on)
};
static_assert(sizeof(FramePackTime) == 28);

// The date pack: BCD year (two digits), month, day, hour, minute, second.
struct FramePackDate {
  int32_t valid;    // a date pack is present and its fields are BCD in range
  int32_t present;  // a date pack is present
  uint32_t date;    // year << 16 | month << 8 | day, BCD bytes as recorded
  uint32_t time;    // hour << 16 | minute << 8 | second, BCD bytes as recorded
  int32_t weekday;  // 1 Sunday .. 7 Saturday as recorded
};
static_assert(sizeof(FramePackDate) == 20);

struct FrameInfo {
  int32_t has_packs;        // a subcode pack in any slot
  int32_t sub_id_program;   // 12-bit BCD program number of the sub-ID
  int32_t program_kind;     // FrameProgramKind, of the sub-ID's number
  int32_t program;          // 1..799 when a number, else 0
  int32_t control;          // sid_control bits 7-4
  int32_t start_id;         // the start-ID bit
  FramePackTime program_pack;
  FramePackTime absolute_pack;
  FrameTime absolute;       // the frame's absolute time, as recorded
  FrameTime program_time;   // its program time, as recorded
  FrameTime running;        // its running time (pack item 3), as recorded
  FramePackDate date;
  int32_t rate_code;        // 0 48 kHz, 1 44.1 kHz, 2 32 kHz, 3 reserved
  int32_t rate;             // Hz; 0 for the reserved code
  int32_t channel_code;
  int32_t channels;         // 2 or 4; 0 for codes 2 and 3
  int32_t quant_code;
  int32_t bits;             // 12 for long play, else 16
  int32_t emphasis;         // main ID bits 5-4: 0 none, 1 50/15 us
  int32_t scms;             // copy code 0..3
  int32_t flags;            // the drive's interpolation flags, 0 when clean
  int32_t left_damaged;     // flag bit 6
  int32_t right_damaged;    // flag bit 5
  int32_t pcm_bytes;        // 16-bit PCM bytes the frame gives (7680 in long play)
};

// What the tracker carries from frame to frame.
struct FrameTracker {
  int32_t blank_frames;   // frames in a row without packs, counted up to 61
  int32_t subcode_seen;   // the blank stretch has not yet raised its stop
  int32_t rate_code;      // the previous frame's rate code
  int32_t start_id_seen;  // inside a start-ID run
  int32_t last_program;   // the last program number an absolute-time pack gave
  uint32_t abs_time;      // the running absolute time
  uint32_t prog_time;     // the running program time
};
static_assert(sizeof(FrameTracker) == 28);

// What happened at one frame.
struct FrameEvents {
  int32_t blank;           // the frame carries no pack
  int32_t blank_stop;      // the 62nd frame in a row without packs (once a stretch)
  int32_t start_id_found;  // the first frame of a start-ID run
  int32_t rate_changed;    // the rate code differs from the frame before
  int32_t old_rate_code;
};
static_assert(sizeof(FrameEvents) == 20);

extern "C" {

// The frame's meaning. No state, no output.
FrameInfo decode_frame(const DatFrame* frame);
// Takes one decoded frame into the tracker and returns what happened.
FrameEvents track_frame(FrameTracker* tracker, const FrameInfo* info);
// The FrameProgramKind of a 12-bit BCD program number.
int32_t frame_program_kind(int32_t program);
// Sampling rate in Hz of a rate code; 0 for the reserved code.
int32_t rate_code_hz(int32_t rate_code);
// 1 when the frame belongs to a lead-in: its sub-ID or its last time pack of
// either kind carries the lead-in's program number; else 0.
int32_t frame_in_lead_in(const FrameInfo* info);
// What a reader says at a frame, as the subcode line that follows it
// expects: "rate change found %x %x\n" at a change of rate, "start_id start
// %x\n" at the start of a start-ID run, then "\r" to rewrite the status line
// in place. text must hold kFrameEventsTextSize bytes.
#define kFrameEventsTextSize 64
void frame_events_text(const FrameInfo* info, const FrameEvents* events, char* text, size_t size);
// 1 when both nibbles of a byte are decimal digits.
int32_t bcd_valid(uint8_t byte);

}

// What tells one program from the next on a tape: its number and its
// format. A number that is no valid one counts as none.
struct ProgramFormat {
  int32_t program_kind;  // FrameProgramKind, never FRAME_PROGRAM_INVALID
  int32_t program;
  int32_t rate;
  int32_t channels;
  int32_t bits;
  int32_t emphasis;
  int32_t scms;
};
ProgramFormat program_format(const FrameInfo& info);
bool same_program_format(const ProgramFormat& a, const ProgramFormat& b);
