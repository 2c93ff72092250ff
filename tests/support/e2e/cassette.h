// Recorded cassettes for tests: frames built through DatFrame's fields with
// the sub-ID program number, a program-time pack (slot 1) and an
// absolute-time pack (slot 2), written back to back as a cassette file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"

struct CassetteProgram {
  int number;                  // program number, 1-799
  int frames;                  // how many frames it lasts
  bool absolute_time = true;   // false: the frames carry no absolute-time pack (reads 0xAA)
  bool program_time = true;    // false: no program-time pack
  int start_id_frames = 10;    // frames at its head that carry the start ID
};

// The BCD time code of a frame count (100 frames in 3 seconds): hh mm ss ff.
void test_time_code(uint32_t frame_count, uint8_t* bytes);

// One frame: program number, absolute time (frames from the start of the
// tape, or -1 for none), program time (frames from the start of the program,
// or -1), start ID; the audio holds a pattern made from tape_index.
void fill_test_frame(DatFrame* frame, int program, int64_t absolute, int64_t program_time,
                     bool start_id, uint32_t tape_index);

// The programs one after another from the beginning of the tape. false when
// the file cannot be written.
bool write_cassette(const std::string& path, const std::vector<CassetteProgram>& programs);
