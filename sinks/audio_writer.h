// SPDX-License-Identifier: MIT
// The audio file of a track behind one interface: a WAV file, a Broadcast
// WAV file (/BWF) or a FLAC file (/FLAC). The track file (sinks/track_file.h)
// keeps the state they share and calls the writer of its kind; each writer
// says its own failures on the console.
#pragma once

#include <cstdint>

#include "sinks/pcm_worker.h"

struct TrackFile;

struct AudioWriter {
  // Creates file->name with a header for no audio yet at file->rate_code. 0,
  // or 1 after saying why it cannot (no file is left without a header).
  int (*open)(TrackFile* file);
  // Appends bytes of 16-bit stereo PCM. 0, or -1 after saying that the
  // write failed (the file then takes nothing more).
  int (*write)(TrackFile* file, const uint8_t* pcm, int bytes);
  // Starts the audio over at file->rate_code. 0, or -1 after saying that the
  // write failed.
  int (*restart)(TrackFile* file);
  // Finishes and closes the audio file: left valid whatever failed. 0, or -1
  // after saying what failed.
  int (*finish)(TrackFile* file);
  // Audio bytes the file can still take.
  uint32_t (*room)(const TrackFile* file);
};

extern const AudioWriter kWavWriter;
extern const AudioWriter kBwfWriter;
extern const AudioWriter kFlacWriter;
extern const AudioWriter kRf64WavWriter;  // a WAV file that becomes RF64 past 4 GiB (/RF64)

// For the writers. The rate a file states for a DAT rate code (48000 for
// the reserved one).
int32_t audio_file_rate(int32_t rate_code);
// The worker that hashes or encodes the audio beside the reading (none when
// no thread can be started: the sink is then called in line).
void audio_worker_start(TrackFile* file, PcmSink sink, void* context);
// Waits until the worker has taken everything. 0, or -1 when its sink failed.
int audio_worker_stop(TrackFile* file);
// For the WAV writers with chunks before "fmt " (leading_bytes of them):
// creates the file with its header (removed when not even that can be
// written), kept valid after an abrupt exit. 0, or 1 after saying why.
int chunked_wav_open(TrackFile* file, const uint8_t* leading, uint32_t leading_bytes);
// Writes the header again for no audio yet. 0, or -1 after saying so.
int chunked_wav_restart(TrackFile* file, const uint8_t* leading, uint32_t leading_bytes);
// Step one of the finish: writes out what is buffered; the audio the file
// holds in *data_bytes. 0, or -1 after saying what failed.
int chunked_wav_settle(TrackFile* file, uint32_t leading_bytes, uint64_t* data_bytes);
// Step two: the trailing chunks behind data_bytes of audio, the header
// (RF64 when file->rf64 and past rf64_threshold()), the close. 0, or -1
// after saying what failed; the file is left valid.
int chunked_wav_end(TrackFile* file, const uint8_t* leading, uint32_t leading_bytes, uint64_t data_bytes,
                    const uint8_t* trailing, uint32_t trailing_bytes);
// The "JUNK" chunk that keeps the place of "ds64", into out
// (THISTLE_DS64_CHUNK_BYTES).
void put_ds64_place(uint8_t* out);
// Audio bytes a WAV file with these chunks around its audio can still take
// (as good as unbounded for one that becomes RF64).
uint32_t chunked_wav_room(const TrackFile* file, uint64_t around_bytes);
// Appends PCM to the WAV stream of a WAV or Broadcast WAV file, and to its
// MD5 when it keeps one. 0, or -1 after saying that the write failed.
int wav_audio_write(TrackFile* file, const uint8_t* pcm, int bytes);
