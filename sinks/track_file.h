// SPDX-License-Identifier: MIT
// The files of one track of /KESTREL: the audio file and the track log. One
// small writer with open, write PCM, restart and finish; the extraction only
// decides when each happens. The audio file is a WAV file, a Broadcast WAV
// file (/BWF: the tape's metadata in "bext", markers in "cue ", the audio's
// MD5) or a FLAC file (/FLAC: the same metadata in Vorbis comments), each
// written by its own writer (sinks/audio_writer.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/run_settings.h"
#include "datframe/dat_frame.h"
#include "datframe/frame_info.h"
#include "sinks/audio_writer.h"
#include "sinks/deemphasis.h"
#include "sinks/loudness.h"
#include "sinks/program_levels.h"
#include "sinks/track_meta.h"

struct Digest;
struct FlacFile;
struct PcmWorker;

enum TrackFileKind : int32_t { TRACK_FILE_WAV = 0, TRACK_FILE_BWF = 1, TRACK_FILE_FLAC = 2 };

struct TrackFile {
  TrackFileKind kind = TRACK_FILE_WAV;
  const AudioWriter* writer = &kWavWriter;  // of the kind
  char drive[64] = "";      // the drive the tape is read on, as the records name it (given by the caller)
  // The image the frames came through, "NAME.img of TIME" ("": none; given by the caller).
  char image[192] = "";
  const RunSettings* settings = nullptr;  // the run's, from the open: the archive's texts
  TrackIdentity tape_identity;  // the run's first frames, whatever file they went to
  TrackIdentity file_identity;  // the file's frames
  int32_t track = 0;
  FILE* wav = nullptr;  // the WAV or Broadcast WAV file
  FlacFile* flac = nullptr;
  FILE* log = nullptr;
  char name[KESTREL_BASE_NAME_SIZE + 16] = "";
  char log_name[KESTREL_BASE_NAME_SIZE + 16] = "";
  uint64_t data_bytes = 0;  // audio bytes written to the file behind its header
  bool rf64 = false;        // a WAV file past 4 GiB becomes RF64 instead of being split
  int32_t rate_code = 0;    // the rate code its header states
  bool write_failed = false;
  TrackMeta meta;            // what the file's frames said
  Digest* md5 = nullptr;     // of the audio written (Broadcast WAV)
  char reference[33] = "";   // the file's own name for the archive, once finished (Broadcast WAV, FLAC)
  EmphasisStage emphasis;  // /DEEMPHASIS: pre-emphasised frames are written de-emphasised
  PcmWorker* worker = nullptr;  // hashes or encodes the audio beside the reading
  bool md5_lost = false;        // the running MD5 missed audio: it is taken from the file at the finish
  bool opened_silently = false;  // the opening is not said on the console (its caller tells it)
  char stem[KESTREL_BASE_NAME_SIZE + 8] = "";  // the files' name without suffix, when the caller chose it ("": NAME001)
  char audio_md5[33] = "";      // hex, once finished: the MD5 of the audio the file holds (Broadcast WAV)
  bool measure_loudness = false;   // Broadcast WAV and FLAC, unless /NOLOUDNESS
  bool measure_programs = false;   // the levels of each program (given by the caller: a report lists them)
  LevelMeter* meter = nullptr;     // the measurement under way, fed by the workers
  PcmWorker* level_workers[3] = {};  // one a lane of the meter: the levels and the loudness, each channel's true peak
  LoudnessFigures levels;          // once the audio is all taken: the writer's finish puts them in the file
  std::vector<ProgramLevels> program_levels;  // once the audio is all taken, in file order
  // What the meter was told of the frame before: whether it lay in a program, and its values.
  bool level_in_program = false;
  bool next_blank = false;  // the frame about to be written is blank tape
  ProgramFormat level_program{};
};

// Whether the writer of the file takes the MD5 of its audio (which is then
// in file->audio_md5 once finished), so that no one else need hash it.
bool track_file_hashes_audio(const TrackFile* file);

// What follows NAME and the track number in the names of a track's files:
// the audio file's extension (".wav", or ".flac" with /FLAC), the log's.
struct TrackFileSuffixes {
  const char* audio;
  const char* log;
};
TrackFileSuffixes track_file_suffixes(const RunSettings* settings);

// Whether the audio file of a run with these switches names the drive the
// tape is read on (Broadcast WAV, FLAC): the caller then gives it in drive.
bool track_file_names_drive(const RunSettings* settings);

// The file's names for the archive, from what it holds so far: its
// OriginatorReference (the stem given, or one from the tape's first frames,
// then the track) and a basic UMID (SMPTE 330M: 32 bytes, the material
// number from the tape's and the file's frames); the description (the
// identifiers given, then the tape's program and absolute time).
void track_file_reference(const TrackFile* file, char* text, size_t size);
void track_file_umid(const TrackFile* file, uint8_t* umid32);
void track_file_description(const TrackFile* file, char* text, size_t size);
// The archive's originator: the one given, or "kestrel".
const char* track_file_originator(const TrackFile* file);

// Creates track `track`'s audio file and log, named from the file-name
// argument, in the kind the switches ask for, its header for no audio yet at
// rate_code, and says so on the console. Returns 0, or 1 when a file cannot
// be created (said; the mode cannot go on).
int track_file_open(TrackFile* file, const RunSettings* settings, int track, int32_t rate_code);

// Takes a frame (what it is, info) and appends its bytes of 16-bit stereo
// PCM. 0, or -1 after saying that the write failed (the file then takes
// nothing more and is left valid at its finish).
int track_file_write(TrackFile* file, const FrameInfo* info, uint8_t* pcm, int bytes);

// What the run found at the frame about to be written besides its value (a
// blank frame, a frame out of order): markers in the file where it lies.
void track_file_take_events(TrackFile* file, bool blank, bool continuity_break);

// The place of a frame no read could give: bytes of silence, so that what
// follows stays at its place in time, with a marker "unreadable" at it. 0,
// or -1 after saying that the write failed.
int track_file_write_unreadable(TrackFile* file, int bytes);

// Starts the audio over at another rate: what the file held is dropped. 0,
// or -1 after saying that the write failed.
int track_file_restart(TrackFile* file, int32_t rate_code);

// Audio bytes the file can still take.
uint32_t track_file_room(const TrackFile* file);

// Finishes the track: the header states exactly the audio in the file, the
// log gets its totals, both are closed. 0, or -1 when a write failed (said on
// the console; the files are still left valid). unreadable and recovered
// (damaged frames re-reads gave clean) join the totals when not 0.
int track_file_finish(TrackFile* file, const ConcealTotals* totals, int unreadable, int recovered);
