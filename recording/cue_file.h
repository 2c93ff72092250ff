// SPDX-License-Identifier: MIT
// The cue file of the recording mode: an INI file with a CONFIG section of
// recording options and a FILES section listing the files to record, in order.
#pragma once

#include <cstdint>
#include <string>

#include "base/run_settings.h"

// The list holds at most this many entries: a program number has three
// decimal digits and a hundreds digit of at most 7.
#define CUE_MAX_ENTRIES 799

// What the CONFIG section asks for.
struct RecordingOptions {
  int32_t mark_start_ids;              // start IDs at the head of each track
  int32_t scms_code;                   // 0..3, copy-management code of every audio frame
  int32_t allow_lp;                    // 32 kHz sources in long play
  int32_t mark_time_date;              // a date pack at the start of each track
  int32_t intertrack_silence_seconds;  // silence after each track
  int32_t leadin_silence_seconds;      // silence after the lead-in
  int32_t leadout_silence_seconds;     // silence before the lead-out
  int32_t emphasis;                    // the sources are pre-emphasised (50/15 us): the main ID says so
};

// Finds the cue file named by the file-name argument (its name part and
// ".CUE", beside the program, else in the current folder, the name matched
// without regard to case), reads and echoes its options and checks that the
// list has a first entry. Returns 0 when recording may go on (cue_path holds
// the file's path, first_entry the value of FILE_001), 1 when it must stop
// (the reason was printed).
int cue_file_load(const RunSettings* settings, std::string* cue_path, RecordingOptions* options,
                  std::string* first_entry);

// The value of FILE_nnn (n from 1) in section FILES, or "NONE" when absent.
// Prints "which_file error %d" when the key is present with an empty value,
// and gives the empty string then; a path longer than the system can open is
// refused with a message and also gives the empty string.
std::string cue_file_entry(const std::string& cue_path, int n);

// The cue path beside the program for a file-name argument: the program's
// folder, the argument's name part (no folder, no extension) and ".CUE".
std::string cue_file_compose_path(const std::string& program_dir, const char* base_name);

// The path of a file named like `name` (compared without regard to case) in
// folder `dir`: the exact name when it exists, else the first match in name
// order; empty when there is none.
std::string find_file_ignoring_case(const std::string& dir, const std::string& name);
