// thistle: reading, probing and writing WAV files.
#pragma once

#include <cstdint>
#include <cstdio>

#define THISTLE_EXPORT __attribute__((visibility("default")))

// What a caller needs to convert a WAV source (see ReadWAVSourceFormat).
struct WavSourceFormat {
  int32_t format_tag;       // 1 PCM, 3 IEEE float; an extensible header (0xFFFE) reports the tag
                            // of its standard sub-format, other tags as the file states them
  int32_t bits_per_sample;  // container bits per sample (wBitsPerSample)
  int32_t channels;
  int32_t rate;             // samples per second
  uint32_t data_bytes;      // bytes the reader hands out: the "data" chunk's size, cut to what
                            // lies within the RIFF chunk and the file
};
static_assert(sizeof(WavSourceFormat) == 20);

extern "C" {

// Opens a WAV file for reading its "data" chunk. Always 1; a file that cannot
// be opened or holds no RIFF chunk says so and then delivers no bytes.
THISTLE_EXPORT int32_t init_wav_decode(const char* path);
// Places up to n bytes of the data chunk in buffer; 0 at its end or on error.
THISTLE_EXPORT int32_t do_wav_decode(void* buffer, uint32_t n);
// Closes the reader. Always 1.
THISTLE_EXPORT int32_t close_wav_decode(void);
// Channel count, rate and bits per sample x rate of a WAV file: 1 when stored,
// 0 (outputs untouched) when the file or its format cannot be read (a format
// chunk shorter than 14 bytes cannot).
THISTLE_EXPORT int32_t ReadWAVSampleRate(const char* path, int32_t* channels, int32_t* rate,
                                         int32_t* bits_rate);
// Creates a WAV file for writing; the stream, or null.
THISTLE_EXPORT FILE* openWavEncode(const char* path);
// Writes the 44-byte header for data_bytes of 16-bit stereo audio at the rate
// of a DAT sampling-frequency code and leaves the stream at offset 44. 1 or 0.
THISTLE_EXPORT int32_t outputHeaderWavEncode(FILE* stream, uint32_t data_bytes, int32_t rate_code);
// Appends count bytes of audio; returns the number written.
THISTLE_EXPORT int32_t outputWavEncode(const void* data, int32_t count, FILE* stream);
// Closes the stream: 0, or -1 as fclose.
THISTLE_EXPORT int32_t closeWavEncode(FILE* stream);
// Format tag, bits per sample, channels, rate and data size of a WAV file, for
// a caller that converts the source before use: 1 when filled; 0 (record
// untouched) when the file cannot be opened, is not RIFF, or lacks a "fmt "
// chunk of at least 16 bytes or a "data" chunk. Keeps no state; may be called
// while a reader is open.
THISTLE_EXPORT int32_t ReadWAVSourceFormat(const char* path, WavSourceFormat* format);

}
