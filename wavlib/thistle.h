/* thistle: reading, probing and writing WAV files. Usable from C (C11) and C++. */
#ifndef KESTREL_THISTLE_H
#define KESTREL_THISTLE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define THISTLE_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define THISTLE_STATIC_ASSERT(condition) static_assert(condition, #condition)
#else
#define THISTLE_STATIC_ASSERT(condition) _Static_assert(condition, #condition)
#endif

/* What a caller needs to convert a WAV source (see ReadWAVSourceFormat). */
typedef struct WavSourceFormat {
  int32_t format_tag;      /* 1 PCM, 3 IEEE float; an extensible header (0xFFFE) reports the tag
                              of its standard sub-format, other tags as the file states them */
  int32_t bits_per_sample; /* container bits per sample (wBitsPerSample) */
  int32_t channels;
  int32_t rate;            /* samples per second */
  uint32_t data_bytes;     /* bytes the reader hands out: the "data" chunk's size, cut to what
                              lies within the RIFF chunk and the file */
} WavSourceFormat;
THISTLE_STATIC_ASSERT(sizeof(WavSourceFormat) == 20);
THISTLE_STATIC_ASSERT(offsetof(WavSourceFormat, data_bytes) == 16);

/* An open WAV file being read, or written; any number may be open at once. */
typedef struct ThistleReader ThistleReader;
typedef struct ThistleWriter ThistleWriter;

/* Why opening or creating failed. */
enum {
  THISTLE_OK = 0,
  THISTLE_CANNOT_OPEN = 1,  /* the file cannot be opened or created (errno says why) */
  THISTLE_NOT_RIFF = 2,     /* the file does not start with a RIFF chunk */
  THISTLE_NO_DATA = 3,      /* no "data" chunk inside the RIFF chunk */
  THISTLE_WRITE_FAILED = 4  /* the header of a new file cannot be written (errno says why) */
};

/* The steps of finishing a file that failed (bits of ThistleFinish.failed). */
enum {
  THISTLE_FINISH_FLUSH = 1,  /* writing out the audio still buffered */
  THISTLE_FINISH_HEADER = 2, /* writing the header or cutting the file to its size */
  THISTLE_FINISH_CLOSE = 4   /* closing the file */
};

/* What finishing a WAV file did. */
typedef struct ThistleFinish {
  uint32_t data_bytes;  /* the audio the header states: whole sample pairs, all in the file */
  int32_t failed;       /* THISTLE_FINISH_* bits of the steps that failed */
  int32_t flush_errno;  /* errno of each failed step; 0 for a short write */
  int32_t header_errno;
  int32_t close_errno;
} ThistleFinish;
THISTLE_STATIC_ASSERT(sizeof(ThistleFinish) == 20);
THISTLE_STATIC_ASSERT(offsetof(ThistleFinish, close_errno) == 16);

/* The most audio a WAV file holds, in whole sample pairs: its sizes are 32-bit,
   and the RIFF size counts 36 bytes of the header besides. */
#define THISTLE_DATA_LIMIT ((UINT32_MAX - 36u) / 4u * 4u)

/* Broadcast WAV's "bext" chunk (EBU Tech 3285, version 2): these 602 bytes,
   then the coding history as text. Text fields are ASCII, NUL padded; numbers
   little-endian. */
#pragma pack(push, 1)
typedef struct ThistleBext {
  char description[256];
  char originator[32];
  char originator_reference[32];
  char origination_date[10]; /* yyyy-mm-dd */
  char origination_time[8];  /* hh:mm:ss */
  uint32_t time_reference_low; /* samples since midnight of the first sample */
  uint32_t time_reference_high;
  uint16_t version;
  uint8_t umid[64];
  int16_t loudness_value; /* 0x7FFF each: not measured */
  int16_t loudness_range;
  int16_t max_true_peak_level;
  int16_t max_momentary_loudness;
  int16_t max_short_term_loudness;
  uint8_t reserved[180];
} ThistleBext;
#pragma pack(pop)
THISTLE_STATIC_ASSERT(sizeof(ThistleBext) == 602);
THISTLE_STATIC_ASSERT(offsetof(ThistleBext, origination_date) == 320);
THISTLE_STATIC_ASSERT(offsetof(ThistleBext, time_reference_low) == 338);
THISTLE_STATIC_ASSERT(offsetof(ThistleBext, version) == 346);
THISTLE_STATIC_ASSERT(offsetof(ThistleBext, umid) == 348);
THISTLE_STATIC_ASSERT(offsetof(ThistleBext, loudness_value) == 412);
THISTLE_STATIC_ASSERT(offsetof(ThistleBext, reserved) == 422);

/* One marker of a "cue " chunk: its sample position and its label. */
typedef struct ThistleCue {
  uint32_t sample;
  char label[60]; /* NUL-terminated */
} ThistleCue;
THISTLE_STATIC_ASSERT(sizeof(ThistleCue) == 64);

/* Bytes in front of the audio of a file with leading_bytes of chunks between
   the RIFF header and "fmt ". */
#define THISTLE_HEADER_BYTES(leading_bytes) (44u + (leading_bytes))

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a WAV file for reading its "data" chunk. Always 1; a file that cannot
   be opened or holds no RIFF chunk says so and then delivers no bytes. */
THISTLE_EXPORT int32_t init_wav_decode(const char* path);
/* Places up to n bytes of the data chunk in buffer; 0 at its end or on error. */
THISTLE_EXPORT int32_t do_wav_decode(void* buffer, uint32_t n);
/* Closes the reader. Always 1. */
THISTLE_EXPORT int32_t close_wav_decode(void);
/* Channel count, rate and bits per sample x rate of a WAV file: 1 when stored,
   0 (outputs untouched) when the file or its format cannot be read (a format
   chunk shorter than 14 bytes cannot). */
THISTLE_EXPORT int32_t ReadWAVSampleRate(const char* path, int32_t* channels, int32_t* rate,
                                         int32_t* bits_rate);
/* Creates a WAV file for writing; the stream, or null. */
THISTLE_EXPORT FILE* openWavEncode(const char* path);
/* Writes the 44-byte header for data_bytes of 16-bit stereo audio at the rate
   of a DAT sampling-frequency code and leaves the stream at offset 44. 1 or 0. */
THISTLE_EXPORT int32_t outputHeaderWavEncode(FILE* stream, uint32_t data_bytes, int32_t rate_code);
/* Appends count bytes of audio; returns the number written. */
THISTLE_EXPORT int32_t outputWavEncode(const void* data, int32_t count, FILE* stream);
/* Closes the stream: 0, or -1 as fclose. */
THISTLE_EXPORT int32_t closeWavEncode(FILE* stream);
/* Format tag, bits per sample, channels, rate and data size of a WAV file, for
   a caller that converts the source before use: 1 when filled; 0 (record
   untouched) when the file cannot be opened, is not RIFF, or lacks a "fmt "
   chunk of at least 16 bytes or a "data" chunk. Keeps no state; may be called
   while a reader is open. */
THISTLE_EXPORT int32_t ReadWAVSourceFormat(const char* path, WavSourceFormat* format);

/* Opens a WAV file for reading its "data" chunk: the reader, or null with the
   reason in *status (THISTLE_CANNOT_OPEN, THISTLE_NOT_RIFF, THISTLE_NO_DATA).
   status may be null. Prints nothing. */
THISTLE_EXPORT ThistleReader* thistle_open_reader(const char* path, int32_t* status);
/* Places up to n bytes of the data chunk in buffer; 0 at its end or on error. */
THISTLE_EXPORT int32_t thistle_read(ThistleReader* reader, void* buffer, uint32_t n);
/* Closes the reader and frees it. Null is allowed. */
THISTLE_EXPORT void thistle_close_reader(ThistleReader* reader);

/* Creates a 16-bit stereo WAV file at the rate of a DAT sampling-frequency
   code, its header stating no audio yet: the writer, or null with the reason
   in *status (THISTLE_CANNOT_OPEN, or THISTLE_WRITE_FAILED, when the file is
   removed again) and errno. status may be null. */
THISTLE_EXPORT ThistleWriter* thistle_create(const char* path, int32_t rate_code, int32_t* status);
/* Appends count bytes of audio: count, or fewer when the write failed (errno
   says why) or the file is full (THISTLE_DATA_LIMIT). After a failed write the
   writer writes nothing more. */
THISTLE_EXPORT int32_t thistle_write(ThistleWriter* writer, const void* data, uint32_t count);
/* Finishes the file as thistle_finish_stream does, closes it and frees the
   writer: 0, or -1 when a write or a step of finishing failed (report, which
   may be null, says which). */
THISTLE_EXPORT int32_t thistle_finish(ThistleWriter* writer, ThistleFinish* report);

/* Finishes a WAV file written through a stream of openWavEncode, short of
   closing it: writes out what is buffered, then gives the file the header
   for data_bytes of audio at rate_code and cuts it to that size. After a
   failed write (write_failed, or a failure writing out the buffer) only the
   whole sample pairs that reached the file count, so the header agrees with
   the file whatever was lost. 0, or -1 after a failure (report says which
   step; it may be null). */
THISTLE_EXPORT int32_t thistle_finish_stream(FILE* stream, uint32_t data_bytes, int32_t rate_code,
                                             int32_t write_failed, ThistleFinish* report);
/* Gives the WAV file open on descriptor fd the sizes of the whole sample pairs
   it holds (up to THISTLE_DATA_LIMIT) and cuts it there; a file shorter than
   its header is left alone. Async-signal-safe (fstat, pwrite, ftruncate), for
   a process that ends at once. 0, or -1. */
THISTLE_EXPORT int32_t thistle_settle_descriptor(int fd);

/* Chunks around the audio, as Broadcast WAV has them. Leading chunks stand
   between the RIFF header and "fmt " and keep their size while the file is
   written; trailing chunks follow the audio. Both are passed as whole chunks,
   headers included, one after the other. */

/* Writes one chunk into out: its header, size bytes of data and the pad byte
   an odd size takes. out may be null to measure. Returns the byte count. */
THISTLE_EXPORT uint32_t thistle_put_chunk(void* out, const char* id, const void* data, uint32_t size);
/* Writes the "cue " chunk with count markers and the "LIST" "adtl" chunk with
   a "labl" for each into out (null to measure). Returns their byte count, 0
   for no markers. */
THISTLE_EXPORT uint32_t thistle_put_cue_chunks(void* out, const ThistleCue* cues, uint32_t count);
/* Writes the header of a 16-bit stereo file at rate_code with the leading
   chunks, its sizes for data_bytes of audio and trailing_bytes of chunks
   behind it, and leaves the stream at the first audio byte. 1 or 0. */
THISTLE_EXPORT int32_t thistle_write_header_chunks(FILE* stream, const void* leading, uint32_t leading_bytes,
                                                   uint32_t data_bytes, uint32_t trailing_bytes,
                                                   int32_t rate_code);
/* The first step of finishing a file with chunks: writes out what is
   buffered and puts in report->data_bytes the whole sample pairs of
   data_bytes that reached the file behind its header_bytes (after a failed
   write, write_failed or found here, only what is in the file). 0, or -1
   after a failure (report says which step; it may not be null). */
THISTLE_EXPORT int32_t thistle_settle_stream(FILE* stream, uint32_t header_bytes, uint32_t data_bytes,
                                             int32_t write_failed, ThistleFinish* report);
/* The second step: appends the trailing chunks behind data_bytes of audio,
   writes the header with the leading chunks and cuts the file to its end.
   When the trailing chunks cannot be written the file is finished without
   them, so that its sizes agree with it whatever failed. 0, or -1 (report,
   which may be null, says which step failed). */
THISTLE_EXPORT int32_t thistle_end_stream_chunks(FILE* stream, const void* leading, uint32_t leading_bytes,
                                                 uint32_t data_bytes, const void* trailing,
                                                 uint32_t trailing_bytes, int32_t rate_code,
                                                 ThistleFinish* report);
/* thistle_settle_descriptor for a file whose audio begins at header_bytes:
   leading chunks stand before "fmt ", and no trailing chunks are written yet.
   Async-signal-safe. 0, or -1. */
THISTLE_EXPORT int32_t thistle_settle_descriptor_at(int fd, uint32_t header_bytes);

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_THISTLE_H */
