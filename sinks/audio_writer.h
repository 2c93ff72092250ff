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

// For the writers. The rate a file states for a DAT rate code (48000 for
// the reserved one).
int32_t audio_file_rate(int32_t rate_code);
// The worker that hashes or encodes the audio beside the reading (none when
// no thread can be started: the sink is then called in line).
void audio_worker_start(TrackFile* file, PcmSink sink, void* context);
// Waits until the worker has taken everything. 0, or -1 when its sink failed.
int audio_worker_stop(TrackFile* file);
// Appends PCM to the WAV stream of a WAV or Broadcast WAV file, and to its
// MD5 when it keeps one. 0, or -1 after saying that the write failed.
int wav_audio_write(TrackFile* file, const uint8_t* pcm, int bytes);
