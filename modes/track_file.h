// The files of one track of /KESTREL: the audio file and the track log. One
// small writer with open, write PCM, restart and finish; the extraction only
// decides when each happens.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/run_settings.h"
#include "datframe/dat_frame.h"

struct TrackFile {
  FILE* wav = nullptr;
  FILE* log = nullptr;
  char name[KESTREL_BASE_NAME_SIZE + 16] = "";
  char log_name[KESTREL_BASE_NAME_SIZE + 16] = "";
  uint32_t data_bytes = 0;  // audio bytes written to the file behind its header
  int32_t rate_code = 0;    // the rate code its header states
  bool write_failed = false;
};

// Creates track `track`'s audio file and log, named from base_name, its
// header for no audio yet at rate_code, and says so on the console. Returns
// 0, or 1 when a file cannot be created (said; the mode cannot go on).
int track_file_open(TrackFile* file, const char* base_name, int track, int32_t rate_code);

// Appends bytes of 16-bit stereo PCM. 0, or -1 after saying that the write
// failed (the file then takes nothing more and is left valid at its finish).
int track_file_write(TrackFile* file, const uint8_t* pcm, int bytes);

// Starts the audio over at another rate: what the file held is dropped. 0,
// or -1 after saying that the write failed.
int track_file_restart(TrackFile* file, int32_t rate_code);

// Audio bytes the file can still take.
uint32_t track_file_room(const TrackFile* file);

// Finishes the track: the header states exactly the audio in the file, the
// log gets its totals, both are closed. 0, or -1 when a write failed (said on
// the console; the files are still left valid).
int track_file_finish(TrackFile* file, const ConcealTotals* totals, int unreadable);
