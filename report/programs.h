// SPDX-License-Identifier: MIT
// The programs a reading found on a tape: one stretch per program number in
// one format, in tape order, and the "programs" array of the JSON records
// that list them (the transfer report; a table of contents writes the same).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/level_figures.h"
#include "datframe/frame_info.h"

struct ProgramStretch {
  int32_t program_kind;  // FrameProgramKind; FRAME_PROGRAM_INVALID is listed as "none"
  int32_t program;       // 1..799 for FRAME_PROGRAM_NUMBER
  int64_t first_frame;   // index from 0 at the first frame read; -1 where only times are known
  int64_t frames;        // frames in the stretch; -1 where only times are known
  FrameTime abs_start;   // the first valid absolute time in it (valid 0: none)
  FrameTime abs_end;     // the last
  int32_t rate;          // Hz; 0 for the reserved code
  int32_t channels;
  int32_t bits;          // 16 or 12
  int32_t emphasis;      // 0 none, 1 50/15 us
  int32_t scms;          // 0..3
  FramePackDate date;    // the first valid date pack in it (valid 0: none)
  int32_t start_id_frames;
  int32_t damaged_frames;  // frames the drive flagged
  std::string file;        // the file that holds it ("": none)
  int64_t sample_offset;   // the sample frame in that file where its audio begins (-1: not known)
  bool levels_measured;    // levels holds what the file's writer measured of it
  ProgramLevels levels;
};

// Whether a frame belongs to the stretch: same program and same format.
bool frame_continues_stretch(const ProgramStretch& stretch, const FrameInfo& info);
// Takes frame index into the list: it lengthens the last stretch, or begins
// a new one when its program, its format or the file that holds it ("" or
// nullptr: none) differ; sample_offset is where its audio begins in that file.
void add_program_frame(std::vector<ProgramStretch>* programs, int64_t index, const FrameInfo& info, const char* file,
                       int64_t sample_offset = -1);
// Gives the stretches of file that begin where the measured programs begin
// their levels.
void attach_program_levels(std::vector<ProgramStretch>* programs, const std::string& file,
                           const std::vector<ProgramLevels>& levels);

// The list as a JSON array of objects, one a stretch.
nlohmann::ordered_json programs_json(const std::vector<ProgramStretch>& programs);
// Loudness figures as a JSON object, in hundredths as the files carry them
// (-infinity, silence, as null).
nlohmann::ordered_json loudness_json(const LoudnessFigures& loudness);
// A magnitude 0..32768 in dBFS (0: -infinity).
double peak_dbfs(int32_t magnitude);

// The texts of the fields: the program as a JSON value (a number or
// "lead-in", "lead-out", "none"), a time as hh:mm:ss:ff (for a valid one), a
// date as ISO 8601 (for a valid one), the emphasis, the copy code.
nlohmann::ordered_json program_json(int32_t program_kind, int32_t program);
std::string program_text(int32_t program_kind, int32_t program);
std::string time_code_text(uint32_t code);
std::string pack_date_text(const FramePackDate& date);
const char* emphasis_text(int32_t emphasis);
const char* scms_text(int32_t scms);
