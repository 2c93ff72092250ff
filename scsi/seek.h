// Positioning the input tape by program number or time code.
#pragma once

#include <cstdint>

#include "base/run_settings.h"

// Seek types as stored in RunSettings::seek_type.
enum SeekType { SEEK_PROGNUM = 0, SEEK_ABSTIME = 1, SEEK_RUNTIME = 2, SEEK_PROGTIME = 3 };

// 0 when the tape is taken to be at the requested position, -1 when not or
// when an interrupt (Ctrl-C, SIGTERM) ended the watch.
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

// How a search ended.
enum SearchEnd { SEARCH_ARRIVED = 0, SEARCH_END_OF_DATA = 1, SEARCH_FAILED = -1 };
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
