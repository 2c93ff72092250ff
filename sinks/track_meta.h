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

struct TrackMeta {
  bool has_first = false;
  FrameInfo first{};         // the file's first frame
  bool has_date = false;
  FramePackDate date{};      // the first date pack of the file's frames
  int32_t emphasis_frames = 0;  // frames recorded with 50/15 us emphasis
  int32_t long_play_frames = 0;
  uint64_t samples = 0;      // sample pairs taken so far
  int32_t program = 0;       // the program number of the frames before (0: none yet)
  bool in_start_id = false;  // the frame before was in a start-ID run
  std::vector<TrackMarker> markers;
};

// Forgets everything: the file starts (over).
void track_meta_reset(TrackMeta* meta);
// Takes one frame that is written as `samples` sample pairs.
void track_meta_take(TrackMeta* meta, const FrameInfo* info, uint32_t samples);

// "DAT program 3 from absolute time 00:01:02:03" (or "DAT lead-in", ...).
void track_description(const TrackMeta* meta, char* text, size_t size);
// The first date pack as "yyyy-mm-dd" and "hh:mm:ss"; false (both empty)
// when no frame of the file carried a valid one.
bool track_origination(const TrackMeta* meta, char* date, size_t date_size, char* time, size_t time_size);
// Sample pairs at rate from absolute time 00:00:00:00 to the file's first
// sample; 0 when its first frame has no valid absolute time.
uint64_t track_time_reference(const TrackMeta* meta, int32_t rate);
// The program of the file's first frame as a short name: "3", "lead-in", ...
void track_program_name(const TrackMeta* meta, char* text, size_t size);
// The absolute time of the file's first frame, "hh:mm:ss:ff", or "" when none.
void track_absolute_time(const TrackMeta* meta, char* text, size_t size);

// How the file's audio came to be: one line for the tape and one for this
// program, in the coding-history syntax (A=PCM,F=...,W=...,M=...,T=...), each
// ending in CR LF. drive names the drive the tape was read on.
void track_coding_history(const TrackMeta* meta, const char* drive, int32_t rate, bool deemphasised,
                          char* text, size_t size);
// What was done with pre-emphasised audio, for every record of the file:
// "none", "50/15 us, written as recorded" or "50/15 us, written de-emphasised".
const char* track_emphasis_text(const TrackMeta* meta, bool deemphasis);
