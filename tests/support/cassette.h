// SPDX-License-Identifier: MIT
// The one cassette builder of the tests and the benchmarks: recordings
// (program numbers, start IDs, times, dates, sampling rates, long play),
// blank stretches, a recorder's lead-in and lead-out and frames the drive
// flags, stated in a few lines and written as a cassette file. A recording's
// frames can also be made one at a time, for cassettes too long to hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"
#include "datframe/frame_build.h"

// One stretch of recording.
struct Recording {
  int program = 1;          // program number of the sub-ID and the time packs
  int rate_code = 0;        // 0 = 48 kHz, 1 = 44.1 kHz, 2 = 32 kHz
  bool long_play = false;   // 12-bit long play (32 kHz)
  int start_id_frames = 0;  // frames at its head that carry the start ID
  bool times = true;        // time packs: program time (slot 1), absolute time (slot 2)
  int scms = 0;
  std::optional<FrameDate> date = std::nullopt;  // a date pack after the time packs
  bool absolute_time = true;  // false: the absolute-time pack is left out (the drive reads 0xAA)
};

struct Tape {
  std::vector<DatFrame> frames;
  uint32_t absolute_frames = 0;  // absolute time of the next recorded frame, in frames
};

// The frame count frames into recording r (counted from its first frame), at
// absolute time absolute (frames from 00:00:00:00); its audio is a pattern of
// tape_index, different for every frame of a tape.
void recording_frame(DatFrame* frame, const Recording& r, int count, uint32_t absolute, size_t tape_index);
// A frame of a recorder's lead-out: program number 0EE, time packs without a
// time, the priority ID, silence.
void lead_out_frame(DatFrame* frame);

// Appends count frames of a recording. Returns the index of the first.
size_t tape_record(Tape* tape, const Recording& recording, int count);
// Appends count frames without subcode packs and with silent audio.
size_t tape_blank(Tape* tape, int count);
// Sets the drive's interpolation flags of one frame.
void tape_flag(Tape* tape, size_t index, uint8_t flags);
// Marks the frames [first, last) as a recorder's lead-in: program number 0BB
// in the sub-ID and the time packs.
void tape_mark_lead_in(Tape* tape, size_t first, size_t last);
// The same for a recorder's lead-out: program number 0EE.
void tape_mark_lead_out(Tape* tape, size_t first, size_t last);
// Gives the frames [first, last) a date pack (slot 3) of date.
void tape_date(Tape* tape, size_t first, size_t last, const FrameDate& date);

// Programs one after another from the beginning of the tape, each given as
// its number and its length in frames, each beginning with start_id_frames
// frames of start ID.
struct ProgramLength {
  int number;
  int frames;
  bool absolute_time = true;
};
Tape tape_of_programs(const std::vector<ProgramLength>& programs, int start_id_frames = 10);

// One program of 600 frames with three continuity breaks and nothing else:
// frame 100 repeated after itself, a frame from later in the program (500)
// after frame 200, frame 300 lost.
Tape tape_out_of_order();

// Writes the cassette file. false when it cannot be written.
bool tape_write(const Tape& tape, const std::string& path);
// Reads a cassette or image file back into frames.
std::vector<DatFrame> tape_read(const std::string& path);
