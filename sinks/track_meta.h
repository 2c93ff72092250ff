// SPDX-License-Identifier: MIT
// What a track's file says of the tape besides its audio, gathered from the
// frames written to it: the first frame (its program, absolute time, rate,
// bits, copy code), the first date pack, emphasis, and markers at program
// starts, start-ID runs and damaged frames. The archival files (Broadcast
// WAV, FLAC) state it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "datframe/frame_info.h"

struct TrackMarker {
  uint64_t sample;  // sample pairs before it in the file
  char label[32];
};

// What frames hold, folded as they come into two 64-bit lanes: the
// beginning of each frame's audio, its absolute time, program and date. Two
// readings of one tape (or of one image) fold the same values.
struct TrackIdentity {
  uint64_t lanes[2] = {0x6b657374726c3031u, 0x9e3779b97f4a7c15u};
  uint32_t frames = 0;
};
void track_identity_take(TrackIdentity* identity, const FrameInfo* info, const uint8_t* pcm, int bytes);

struct TrackMeta {
  bool has_first = false;
  FrameInfo first{};         // the file's first frame
  bool has_date = false;
  FramePackDate date{};      // the first date pack of the file's frames
  uint64_t date_sample = 0;  // sample pairs in the file before the frame that carried it
  int32_t emphasis_frames = 0;  // frames recorded with 50/15 us emphasis
  int32_t long_play_frames = 0;
  uint64_t samples = 0;      // sample pairs taken so far
  int32_t program = 0;       // the program number of the frames before (0: none yet)
  bool in_start_id = false;  // the frame before was in a start-ID run
  bool in_blank = false;     // the frame before carried no pack
  std::vector<TrackMarker> markers;
};

// Forgets everything: the file starts (over).
void track_meta_reset(TrackMeta* meta);
// Takes one frame that is written as `samples` sample pairs.
void track_meta_take(TrackMeta* meta, const FrameInfo* info, uint32_t samples);
// What the run found at the frame about to be taken, besides the frame's own
// value: a frame out of order (continuity_break) gets a marker, and so does
// the first of a stretch of blank frames.
void track_meta_take_events(TrackMeta* meta, bool blank, bool continuity_break);
// The place of a frame no read could give, written as `samples` sample pairs
// of silence: a marker "unreadable" at it.
void track_meta_take_unreadable(TrackMeta* meta, uint32_t samples);

// "DAT program 3 from absolute time 00:01:02:03" (or "DAT lead-in", ...).
void track_description(const TrackMeta* meta, char* text, size_t size);
// The first date pack as "yyyy-mm-dd" and "hh:mm:ss"; false (both empty)
// when no frame of the file carried a valid one.
bool track_origination(const TrackMeta* meta, char* date, size_t date_size, char* time, size_t time_size);
// The time of day of the file's first sample in sample pairs at rate since
// midnight, from the recording time in the first date pack (less the samples
// before the frame that carried it); 0 when no frame carried a valid one.
uint64_t track_time_reference(const TrackMeta* meta, int32_t rate);
// The program of the file's first frame as a short name: "3", "lead-in", ...
void track_program_name(const TrackMeta* meta, char* text, size_t size);
// The first program number (1 to 799) of the file's frames, 0 when none
// carries one.
int track_first_program(const TrackMeta* meta);
// The absolute time of the file's first frame, "hh:mm:ss:ff", or "" when none.
void track_absolute_time(const TrackMeta* meta, char* text, size_t size);

// How the file's audio came to be: one line for the tape (the drive it was
// read on, the absolute time of the file's first frame, and the image it
// went through when image is not "") and one for this program, in the
// coding-history syntax (A=PCM,F=...,W=...,M=...,T=...), each ending in CR LF.
void track_coding_history(const TrackMeta* meta, const char* drive, const char* image, int32_t rate,
                          bool deemphasised, char* text, size_t size);
// What was done with pre-emphasised audio, for every record of the file:
// "none", "50/15 us, written as recorded" or "50/15 us, written de-emphasised".
const char* track_emphasis_text(const TrackMeta* meta, bool deemphasis);
