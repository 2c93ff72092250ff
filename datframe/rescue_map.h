// SPDX-License-Identifier: MIT
// The map kept beside an image (NAME.map beside NAME.img): what is known of
// each record read so far, the passes that read them and whether the dump
// reached the end of the tape. A dump that stops goes on from it, a later
// pass reads again only what it lists as damaged, and the report tells the
// tape's damage from a drive's by it. It is text, one line per stretch of
// records in the same state (doc/rescue-map.md), and is only ever replaced
// whole: a record is in it once it is in the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"

// What the best copy of a record is.
enum MapState : uint8_t {
  MAP_GOOD = 0,
  MAP_LEFT = 1,        // the left channel flagged
  MAP_RIGHT = 2,       // the right channel flagged
  MAP_BOTH = 3,        // both channels (or an unknown flag) flagged
  MAP_UNREADABLE = 4,  // no read gave it: the image keeps a stand-in
};

// The passes a map can tell apart (one bit each in MapRecord).
#define MAP_MOST_PASSES 32

struct MapRecord {
  int64_t time;      // absolute time in frames, -1: none
  uint8_t state;     // MapState of the copy in the image
  uint16_t reads;    // reads of it so far, over every pass
  uint32_t seen;     // bit p-1: pass p read it
  uint32_t damaged;  // bit p-1: pass p gave no clean copy of it
};

struct MapPass {
  std::string kind;   // dump, resume, rescue or merge
  std::string date;   // when it began, YYYY-MM-DDTHH:MM:SSZ
  std::string drive;  // vendor, product, revision and address of the drive read (or the inputs merged)
};

struct RescueMap {
  std::string tape;  // what recognises the tape: the time and program of the first timed frame
  bool finished = false;  // the dump read the tape to its end
  std::vector<MapPass> passes;
  std::vector<MapRecord> records;  // the image's records read so far, from its first
};

// The state of an image record: its interpolation flags, or unreadable for a stand-in.
MapState map_state_of(const DatFrame* record);
inline bool map_state_damaged(uint8_t state) { return state != MAP_GOOD; }
const char* map_state_name(uint8_t state);
// NAME.map for the image NAME.img (an image named otherwise: its name and .map).
std::string rescue_map_path(const std::string& image_path);
// Adds a pass; returns its number (from 1), or 0 when the map holds as many as it can tell apart.
int rescue_map_add_pass(RescueMap* map, const char* kind, const char* drive);
// Record index (appended when it is the next) now holds record, read reads
// times by pass (0: no pass read it now, as for a record taken over from an input).
void rescue_map_take(RescueMap* map, size_t index, const DatFrame* record, int reads, int pass);
// Record index read once more by pass: copy is what the read gave (nullptr:
// it could not be read), kept the record the image keeps now.
void rescue_map_read_again(RescueMap* map, size_t index, const DatFrame* copy, const DatFrame* kept, int pass);
// Says what recognises the tape, from the first record with a time (nothing before one is read).
void rescue_map_name_tape(RescueMap* map);
// Writes the map to path whole or not at all: a temporary file beside it,
// flushed to the disk, renamed over it. 0, or errno.
int rescue_map_write(const RescueMap* map, const std::string& path);
// Reads the map at path. 0; ENOENT when there is none; EINVAL when it is not
// a whole map (why says what is wrong); another errno when it cannot be read.
int rescue_map_read(const std::string& path, RescueMap* map, std::string* why);
// The first record whose state is damaged, at or after from; records.size() when none is.
size_t rescue_map_next_damaged(const RescueMap* map, size_t from);

// Whose a damaged frame is, from the passes that read it: the tape's when
// every pass saw it damaged (at the same absolute time, on every drive), the
// drive's when a pass or a drive read it clean; one pass alone cannot tell.
enum MapDamageClass { MAP_UNDAMAGED = 0, MAP_TAPES = 1, MAP_DRIVES = 2, MAP_ONE_PASS = 3 };
MapDamageClass rescue_map_class(const MapRecord* record);

struct MapDamage {
  size_t tapes = 0, drives = 0, one_pass = 0;  // frames of each class
  std::vector<size_t> per_pass;                 // frames each pass read damaged
  std::vector<std::pair<std::string, size_t>> per_drive;  // and each drive, over its passes
};
MapDamage rescue_map_damage(const RescueMap* map);
