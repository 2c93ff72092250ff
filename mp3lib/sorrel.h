// SPDX-License-Identifier: MIT
/* sorrel: finding MPEG audio headers and decoding MPEG audio files to 16-bit
   PCM, over libmpg123. C11 and C++. Build with `pkg-config --cflags --libs sorrel`. */
#ifndef KESTREL_SORREL_H
#define KESTREL_SORREL_H

#include <stddef.h>
#include <stdint.h>

#define SORREL_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define SORREL_STATIC_ASSERT(condition) static_assert(condition, #condition)
#else
#define SORREL_STATIC_ASSERT(condition) _Static_assert(condition, #condition)
#endif

/* What ReadMP3SampleRate reports about the first frame header it finds. */
typedef struct MpegHeaderInfo {
  int32_t lsf;              /* 1 for MPEG-2 and 2.5, 0 for MPEG-1 */
  int32_t layer;            /* 1, 2 or 3 */
  int32_t crc;              /* 1 when the frame carries a CRC */
  int32_t bitrate_index;    /* 0 to 14 */
  int32_t bitrate;          /* kbit/s, 0 for free format */
  int32_t samplerate_index; /* 0 to 8 */
  int32_t samplerate;       /* samples per second */
  int32_t mpeg25;           /* 1 for MPEG-2.5 */
  int32_t channels;         /* 1 single channel, else 2 */
} MpegHeaderInfo;

SORREL_STATIC_ASSERT(sizeof(MpegHeaderInfo) == 36);
SORREL_STATIC_ASSERT(offsetof(MpegHeaderInfo, bitrate) == 16);
SORREL_STATIC_ASSERT(offsetof(MpegHeaderInfo, samplerate) == 24);
SORREL_STATIC_ASSERT(offsetof(MpegHeaderInfo, channels) == 32);

/* A decoder with one file open; any number may be open at once. */
typedef struct SorrelDecoder SorrelDecoder;

/* What failed: the step (sorrel_status_text says it in words), with
   libmpg123's error code (errno for a file that cannot be opened). */
enum {
  SORREL_OK = 0,
  SORREL_NO_CONVERTER = 1,  /* the decoder cannot be set up */
  SORREL_BAD_CHUNK = 2,     /* the output chunk size is not positive */
  SORREL_NO_MEMORY = 3,     /* the buffers cannot be allocated */
  SORREL_CANNOT_OPEN = 4,   /* the file cannot be opened */
  SORREL_CONVERT_FAILED = 5 /* decoding failed, which ended the audio */
};
typedef struct SorrelError {
  int32_t step;             /* SORREL_OK or the step that failed */
  int32_t code;
} SorrelError;
SORREL_STATIC_ASSERT(sizeof(SorrelError) == 8);

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, "MAJOR.MINOR.PATCH"; MAJOR is that of the file name libsorrel.so.MAJOR. */
SORREL_EXPORT const char* sorrel_version(void);
/* A step (SORREL_OK, SORREL_NO_CONVERTER, ...) in words; "unknown status" for others. */
SORREL_EXPORT const char* sorrel_status_text(int32_t step);

/* Handles: any number of decoders, one thread per handle. Nothing here prints.
   libmpg123 prints one warning its quiet flag does not stop (a Layer II joint-
   stereo bound beyond the sideband limit): while a decoder decodes such a
   stream, standard error points at /dev/null; it is left alone otherwise. */

/* Opens an MPEG-1, 2 or 2.5 Layer I, II or III file for decoding to 16-bit
   signed little-endian PCM at the stream's own rate and channel count, in
   output chunks of chunk_bytes: the decoder, or null with what failed in
   *error (which may be null). */
SORREL_EXPORT SorrelDecoder* sorrel_open(const char* path, int32_t chunk_bytes, SorrelError* error);
/* Places n bytes of PCM in buffer while audio lasts, fewer (then 0) at its end
   or after a decoding error (SORREL_CONVERT_FAILED in *error, which may be
   null). The buffer must have room for n + chunk_bytes - 1 bytes. */
SORREL_EXPORT int32_t sorrel_decode(SorrelDecoder* decoder, void* buffer, uint32_t n, SorrelError* error);
/* Releases the decoder. Null is allowed. */
SORREL_EXPORT void sorrel_close(SorrelDecoder* decoder);

/* What a file holds; these keep no state and may be called at any time. */

/* Finds the first frame header at the start, behind a RIFF header or ID3v2
   tag, or up to scan_limit bytes into the file: 1 and the record filled, or 0. */
SORREL_EXPORT int32_t ReadMP3SampleRate(const char* path, MpegHeaderInfo* info, int32_t scan_limit);
/* The channel count and rate that decoding the file delivers: 1 and both
   stored, or 0 (outputs untouched) when the first MiB behind the leading ID3v2
   tags holds no run of 8 frames of one format (3 in a shorter file). */
SORREL_EXPORT int32_t ReadMP3StreamFormat(const char* path, int32_t* channels, int32_t* rate);

/* One decoder shared by the whole process, as kestrel uses it. */

/* Opens the shared decoder as sorrel_open does: 1, or 0 after a message on
   standard output. channels, rate and bitrate are not used (the decoder finds
   the stream's format); they stay for the callers of this export. */
SORREL_EXPORT int32_t init_mp3_decode(const char* path, int32_t chunk_bytes, int32_t channels,
                                      int32_t rate, int32_t bitrate);
/* sorrel_decode on the shared decoder, a decoding error said on standard
   output; 0 when none is open. */
SORREL_EXPORT int32_t do_mp3_decode(void* buffer, uint32_t n);
/* Releases the shared decoder. Always 1. */
SORREL_EXPORT int32_t close_mp3_decode(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_SORREL_H */
