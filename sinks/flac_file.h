// SPDX-License-Identifier: MIT
// A FLAC file of 16-bit stereo written through libFLAC (level 5, verify on).
// Its frames go straight to the file, so that after a failure, or at an
// abrupt exit, the file is cut after its last whole frame: it then decodes
// up to there and its stream info claims no more (total samples unknown).
// The Vorbis comments and a cue sheet are written at its finish.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct FlacFile;

// What a finished file says besides its audio.
struct FlacTags {
  std::vector<std::pair<std::string, std::string>> comments;  // Vorbis comments, name and value
  std::vector<uint64_t> track_starts;  // samples where the tracks of a cue sheet begin (none: no cue sheet)
};

// Creates the file at rate samples a second. nullptr when it cannot be
// created (*opened false) or its header cannot be written (*opened true; the
// file is removed); errno says why.
FlacFile* flac_file_create(const char* name, int32_t rate, bool* opened);
// Appends bytes of 16-bit stereo PCM, little-endian. 0, or -1 when the
// write failed (errno, or flac_file_failure, says why); the file then takes
// nothing more.
int flac_file_write(FlacFile* file, const uint8_t* pcm, int bytes);
// Drops what the file holds and starts it over at another rate. 0, or -1.
int flac_file_restart(FlacFile* file, int32_t rate);
// Finishes and closes the file and frees it: after a failure it is cut
// after its last whole frame, else its stream info, tags and cue sheet are
// written. 0, or -1 when a step failed (failure says what, errno why; it
// may be null).
int flac_file_finish(FlacFile* file, const FlacTags* tags, std::string* failure);
// What failed, as a short text ("" when nothing did), and errno of the failure.
const char* flac_file_failure(const FlacFile* file);
int flac_file_errno(const FlacFile* file);

// For tests: a function called on the writing thread after each write of the
// encoder's output and before the file's valid length is recorded (nullptr,
// as in kestrel: none).
void flac_file_set_frame_written_hook(void (*hook)(void));
