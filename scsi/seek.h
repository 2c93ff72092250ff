// SPDX-License-Identifier: MIT
// Positioning the input tape by program number or time code, and the
// helpers of every search: the seek of /SEEK, the table of contents and the
// re-read stage position the tape through them.
#pragma once

#include <cstdint>

#include "aspi/scsi_codes.h"
#include "base/run_settings.h"
#include "scsi/drive_address.h"
#include "scsi/tape_status.h"

// Seek types as stored in RunSettings::seek_type: the audio LOCATE's search types.
enum SeekType {
  SEEK_PROGNUM = AUDIO_SEARCH_PROGRAM,
  SEEK_ABSTIME = AUDIO_SEARCH_ABSOLUTE,
  SEEK_RUNTIME = AUDIO_SEARCH_RUNNING,
  SEEK_PROGTIME = AUDIO_SEARCH_PROGRAM_TIME,
};

// true when the tape stands at the first frame that shows the requested
// position (or, with a drive that does not say where it stands, is taken to),
// false when not or when an interrupt (Ctrl-C, SIGTERM) ended the seek.
bool seek_tape(const DriveAddress& d, RunSettings* settings);
// Whether the 20-byte position data shows the requested position.
bool position_matches(const RunSettings* settings, const uint8_t* position);
// The same for a position of a seek type given apart.
bool position_shows(int type, uint32_t goal, const uint8_t* position);

// The program number position data shows: 1 to 799, else 0 (the lead-in,
// the lead-out, none, or digits that make no number).
int position_program(const uint8_t* position);
// The running time (frames from the tape's beginning) of position data; -1
// when the drive gives none.
int64_t position_running_index(const uint8_t* position);
// A time field of position data (kPositionAbsoluteTime, ...) as a packed
// BCD code, hours in bits 31-24; TIME_CODE_NONE when its frame number is the
// 0xAA of no time.
uint32_t position_time_code(const uint8_t* position, int field);
// The time code of a frame count (from 00:00:00:00; below 0 counts as 0) as
// a goal of a search for a time (one value a byte, as RunSettings::seek_target).
uint32_t time_goal(int64_t frames);

// How a search ended. SEARCH_NOT_NEAR: the drive stopped, but no frame near
// where it stopped shows the position (only after a correction).
// SEARCH_STOPPED: the stop asked of wait_for_search, or an interrupt, ended it.
enum SearchEnd {
  SEARCH_ARRIVED = 0,
  SEARCH_END_OF_DATA = 1,
  SEARCH_FAILED = -1,
  SEARCH_NOT_NEAR = -2,
  SEARCH_STOPPED = -3,
};
// The search of a seek, for a position given apart: an audio LOCATE to goal
// (type a SeekType, goal as RunSettings::seek_target holds it), then the
// watch of the moving tape until the drive shows the position or settles
// there, the search ends at the end of data (no frame shows it), or it fails
// (the LOCATE fails, the tape stops elsewhere, an interrupt ends the watch).
// position receives the last READ POSITION data, AUDIO_POSITION_BYTES long.
// With progress, the watch reports what the seek's console shows. stop, when
// given, is asked after every poll: true ends the watch as an interrupt does.
SearchEnd search_tape(const DriveAddress& d, int type, uint32_t goal, uint8_t* position, bool progress,
                      bool (*stop)(void) = nullptr);

// What a search that arrived left to do: where it came to rest is checked,
// and the tape brought to the first frame that shows the position sought.
struct SearchCorrection {
  int32_t checked = 0;       // 0: the drive did not say where it stood, and it is taken as arrived
  int64_t offset = 0;        // frames from where the search stopped to the frame sought (below 0: it stopped past it)
  int32_t before_known = 0;  // before holds the position data of the frame just before it
  uint8_t before[AUDIO_POSITION_BYTES] = {};
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
SearchEnd search_exactly(const DriveAddress& d, int type, uint32_t goal, uint8_t* position, bool progress,
                         bool (*stop)(void), SearchCorrection* correction);
// search_exactly for the frame at a running index, without progress.
SearchEnd search_frame(const DriveAddress& d, int64_t index, uint8_t* position, bool (*stop)(void));

// An audio LOCATE to the time code of a frame count (type SEEK_ABSTIME or
// SEEK_RUNTIME), started and not watched.
TapeResult locate_time(const DriveAddress& d, int type, int64_t frames);
// Waits for a search started by locate_time: READ POSITION follows it and
// TEST UNIT READY asks whether it arrived, every 100 ms. SEARCH_ARRIVED when
// the drive is ready, SEARCH_FAILED when it is not within limit_ms or has
// lost its place (timed out, reset, gone: asking again would only wait
// again; *lost, when given, then receives what it said), SEARCH_STOPPED when
// stop (asked first) or an interrupt ends the wait.
SearchEnd wait_for_search(const DriveAddress& d, uint32_t limit_ms, bool (*stop)(void), TapeResult* lost = nullptr);
