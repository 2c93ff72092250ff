// SPDX-License-Identifier: MIT
// The recorder's audio sources: WAV files through thistle, MPEG audio files
// through sorrel. A file is classified by its extension, probed for its
// format (which sets the rate and channel codes of the recorder's frame) and
// then read as 16-bit stereo PCM at a DAT rate, converted where needed.
#pragma once

#include <cstdint>

#include "datframe/dat_frame.h"
#include "recording/convert.h"

// The file probed last.
struct SourceFormat {
  char extension[4];       // "MP3", "MP2", "MPA", "WAV" or anything else, upper case
  int32_t channels;        // as the codec module reports it
  int32_t rate;            // samples per second
  int32_t bitrate_figure;  // MPEG: bit/s; WAV: rate x bits per sample
  ConvertPlan plan;        // how its PCM becomes 16-bit stereo at a DAT rate
};

// The file being probed or read.
struct AudioSource {
  SourceFormat format{};  // of the file probed last
  SourceConverter converter;
  bool converting = false;
  // The last probe found samples that cannot be converted: the file is not opened.
  bool refused = false;
  // The probe that opening an MPEG file repeats: the conversion was announced already.
  bool reprobe = false;
  // A probe for the format alone, which says nothing: the track's own probe says it.
  bool silent = false;
};

// Classifies and probes the file; updates source->format and the main-ID
// rate and channel codes of frame. Says when the file is converted.
void audio_source_probe(AudioSource* source, DatFrame* frame, const char* path);
// The same probe without a word: the format alone (the lead-in silence takes
// the first file's before its track says what it is).
void audio_source_probe_format(AudioSource* source, DatFrame* frame, const char* path);
// Sets the sampling-rate code (bits 2-3) and channel code (bits 0-1) of
// frame's main_id_format for a rate and channel count.
void audio_source_set_main_id(const AudioSource* source, DatFrame* frame, int32_t rate, int32_t channels);
// Opens the file probed last for reading: non-zero when open, 0 otherwise.
int audio_source_open(AudioSource* source, DatFrame* frame, const char* path);
// Places up to n bytes of PCM in buffer; fewer only at the end of the file.
// The buffer must have room for n + 9999 bytes.
int32_t audio_source_read(AudioSource* source, uint8_t* buffer, uint32_t n);
// Closes the module of the current class (harmless after a failed open).
void audio_source_close(AudioSource* source);
