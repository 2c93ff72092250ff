// Positioning the input tape by program number or time code.
#pragma once

#include <cstdint>

#include "base/run_settings.h"

// Seek types as stored in RunSettings::seek_type.
enum SeekType { SEEK_PROGNUM = 0, SEEK_ABSTIME = 1, SEEK_RUNTIME = 2, SEEK_PROGTIME = 3 };

// 0 when the tape stands at the first frame that shows the requested
// position (or, with a drive that does not say where it stands, is taken to),
// -1 when not or when an interrupt (Ctrl-C, SIGTERM) ended the seek.
int seek_tape(int adapter, int target, int lun, RunSettings* settings);
// 1 when the 20-byte position data shows the requested position, else 0.
int position_matches(const RunSettings* settings, const uint8_t* position);
// The same for a position of a seek type given apart.
int position_shows(int type, uint32_t goal, const uint8_t* position);

// READ POSITION's audio position data: its length and where its fields
// begin (program number digits, running time, absolute time, program time,
// each time four BCD bytes hours, minutes, seconds, frame).
#define SEARCH_POSITION_BYTES 20
const int kPositionProgramDigits = 4;
const int kPositionRunningTime = 8;
const int kPositionAbsoluteTime = 12;
const int kPositionProgramTime = 16;
// The program number position data shows: 1 to 799, else 0 (the lead-in,
// the lead-out, none, or digits that make no number).
int position_program(const uint8_t* position);

// The running time (frames from the tape's beginning) of position data; -1
// when the drive gives none.
int64_t position_running_index(const uint8_t* position);
// A frame index as a search for a running time takes it (a goal of the
// seek type SEEK_RUNTIME).
uint32_t running_time_goal(int64_t index);

// How a search ended. SEARCH_NOT_NEAR: the drive stopped, but no frame near
// where it stopped shows the position (only after a correction).
enum SearchEnd { SEARCH_ARRIVED = 0, SEARCH_END_OF_DATA = 1, SEARCH_FAILED = -1, SEARCH_NOT_NEAR = -2 };
// The search of a seek, for a position given apart: an audio LOCATE to goal
// (type a SeekType, goal as RunSettings::seek_target holds it), then the
// watch of the moving tape until the drive shows the position or settles
// there, the search ends at the end of data (no frame shows it), or it fails
// (the LOCATE fails, the tape stops elsewhere, an interrupt ends the watch).
// position receives the last READ POSITION data, SEARCH_POSITION_BYTES long.
// With progress, the watch reports what the seek's console shows. stop, when
// given, is asked after every poll: true ends the watch as an interrupt does.
int search_tape(int adapter, int target, int lun, int type, uint32_t goal, uint8_t* position, bool progress,
                bool (*stop)(void) = nullptr);

// What a search that arrived left to do: where it came to rest is checked,
// and the tape brought to the first frame that shows the position sought.
struct SearchCorrection {
  int32_t checked = 0;       // 0: the drive did not say where it stood, and it is taken as arrived
  int64_t offset = 0;        // frames from where the search stopped to the frame sought (below 0: it stopped past it)
  int32_t before_known = 0;  // before holds the position data of the frame just before it
  uint8_t before[SEARCH_POSITION_BYTES] = {};
};
// Frames read on from where a search stopped before the position is taken
// not to be near; as many again after a step back.
const int kSearchReadOnFrames = 150;

// The search of a seek and its correction: after search_tape, once the drive
// stands still, the frame it stands on is looked at. A search that stopped
// short is read on, frame by frame, until the next frame shows the position
// (the frame sought is not read); one that went past it, or that stands on a
// frame of the program whose first frame it cannot tell (its program time is
// not 0), is taken back by a search for an earlier running time and read on.
// SEARCH_ARRIVED with the tape at that frame and position its data,
// SEARCH_END_OF_DATA as search_tape, SEARCH_NOT_NEAR when no frame near where
// it stopped shows the position, SEARCH_FAILED when the search or a command
// fails or an interrupt (or stop) ends it. correction, when given, receives
// what was done.
int search_exactly(int adapter, int target, int lun, int type, uint32_t goal, uint8_t* position, bool progress,
                   bool (*stop)(void), SearchCorrection* correction);
