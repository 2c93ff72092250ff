// SPDX-License-Identifier: MIT
/* thistle: reading, probing and writing WAV files. C11 and C++.
   Build with `pkg-config --cflags --libs thistle`. */
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

/* Why opening or creating failed; thistle_status_text says it in words. */
enum {
  THISTLE_OK = 0,
  THISTLE_CANNOT_OPEN = 1,  /* the file cannot be opened or created (errno says why) */
  THISTLE_NOT_RIFF = 2,     /* the file does not start with a RIFF chunk */
  THISTLE_NO_DATA = 3,      /* no "data" chunk inside the RIFF chunk */
  THISTLE_WRITE_FAILED = 4, /* the header of a new file cannot be written (errno says why) */
  THISTLE_BAD_RATE = 5      /* a sampling rate a DAT does not record (48000, 44100, 32000 Hz) */
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

/* RF64 (EBU Tech 3306): a WAV file past 4 GiB states its RIFF and data sizes
   as 0xFFFFFFFF and the true ones in a "ds64" chunk, the first behind the
   header. A file that may grow so far keeps the chunk's place with a "JUNK"
   chunk of its size (THISTLE_DS64_CHUNK_BYTES, header included) as the first
   of its leading chunks, which its finish turns into "ds64" when needed. */
#pragma pack(push, 1)
typedef struct ThistleDs64 {
  uint64_t riff_size;
  uint64_t data_size;
  uint64_t sample_count; /* sample pairs */
  uint32_t table_length; /* no table of other chunks' sizes */
} ThistleDs64;
#pragma pack(pop)
THISTLE_STATIC_ASSERT(sizeof(ThistleDs64) == 28);
THISTLE_STATIC_ASSERT(offsetof(ThistleDs64, data_size) == 8);
THISTLE_STATIC_ASSERT(offsetof(ThistleDs64, sample_count) == 16);
THISTLE_STATIC_ASSERT(offsetof(ThistleDs64, table_length) == 24);
#define THISTLE_DS64_CHUNK_BYTES (8u + 28u)
/* Where the chunk stands: behind the 12 bytes of the RIFF header. */
#define THISTLE_DS64_OFFSET 12u

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

/* The library's version, "MAJOR.MINOR.PATCH"; MAJOR is that of the file name libthistle.so.MAJOR. */
THISTLE_EXPORT const char* thistle_version(void);
/* A status (THISTLE_OK, THISTLE_CANNOT_OPEN, ...) in words; "unknown status" for others. */
THISTLE_EXPORT const char* thistle_status_text(int32_t status);

/* Handles: any number of files open at once, one thread per handle. Nothing here prints. */

/* Opens a WAV file for reading its "data" chunk: the reader, or null with the
   reason in *status (which may be null). */
THISTLE_EXPORT ThistleReader* thistle_open_reader(const char* path, int32_t* status);
/* Places up to n bytes of the data chunk in buffer; 0 at its end or on error. */
THISTLE_EXPORT int32_t thistle_read(ThistleReader* reader, void* buffer, uint32_t n);
/* Closes the reader and frees it. Null is allowed. */
THISTLE_EXPORT void thistle_close_reader(ThistleReader* reader);
/* Creates a 16-bit stereo WAV file at rate_hz (48000, 44100 or 32000): the
   writer, or null with the reason in *status (which may be null); a file whose
   header cannot be written is removed again. */
THISTLE_EXPORT ThistleWriter* thistle_create(const char* path, int32_t rate_hz, int32_t* status);
/* Appends count bytes of audio: count, or fewer when a write failed (errno says
   why; nothing more is written then) or the file is full (THISTLE_DATA_LIMIT). */
THISTLE_EXPORT int32_t thistle_write(ThistleWriter* writer, const void* data, uint32_t count);
/* Gives the file the header for the whole sample pairs in it, closes it and
   frees the writer: 0, or -1 when a step failed (*report, may be null, says which). */
THISTLE_EXPORT int32_t thistle_finish(ThistleWriter* writer, ThistleFinish* report);

/* One reader and stream writer, as kestrel uses them. The reader is shared by
   the whole process; rate_code is a DAT sampling-frequency code: 0 48000 Hz,
   1 44100, 2 32000, any other 48000. */

/* Opens the shared reader on a WAV file. Always 1; a file that cannot be opened
   or holds no RIFF chunk says so on standard output and delivers no bytes. */
THISTLE_EXPORT int32_t init_wav_decode(const char* path);
/* Places up to n bytes of the data chunk in buffer; 0 at its end or on error. */
THISTLE_EXPORT int32_t do_wav_decode(void* buffer, uint32_t n);
/* Closes the shared reader. Always 1. */
THISTLE_EXPORT int32_t close_wav_decode(void);
/* Channel count, rate and bits per sample x rate of a WAV file: 1, or 0 with
   the outputs untouched (no file, no RIFF, no "fmt " of at least 14 bytes). */
THISTLE_EXPORT int32_t ReadWAVSampleRate(const char* path, int32_t* channels, int32_t* rate,
                                         int32_t* bits_rate);
/* Format tag, bits, channels, rate and data size of a WAV file: 1, or 0 with the
   record untouched (no RIFF, no "fmt " of 16 bytes or more, or no "data"). */
THISTLE_EXPORT int32_t ReadWAVSourceFormat(const char* path, WavSourceFormat* format);
/* Creates a WAV file for writing: the stream, or null. */
THISTLE_EXPORT FILE* openWavEncode(const char* path);
/* Writes the 44-byte header for data_bytes of 16-bit stereo audio at rate_code
   and leaves the stream at offset 44: 1, or 0. */
THISTLE_EXPORT int32_t outputHeaderWavEncode(FILE* stream, uint32_t data_bytes, int32_t rate_code);
/* Appends count bytes of audio: the number written. */
THISTLE_EXPORT int32_t outputWavEncode(const void* data, int32_t count, FILE* stream);
/* Closes the stream: 0, or -1 as fclose. */
THISTLE_EXPORT int32_t closeWavEncode(FILE* stream);
/* Finishes a stream of openWavEncode short of closing it: writes out the buffer,
   states data_bytes (after a failed write, only the whole sample pairs that
   reached the file) and cuts the file there. 0, or -1 (*report, may be null, says why). */
THISTLE_EXPORT int32_t thistle_finish_stream(FILE* stream, uint32_t data_bytes, int32_t rate_code,
                                             int32_t write_failed, ThistleFinish* report);
/* States the whole sample pairs in the WAV file open on fd and cuts it there.
   Async-signal-safe, for a process that ends at once. 0, or -1. */
THISTLE_EXPORT int32_t thistle_settle_descriptor(int fd);

/* Chunks around the audio, as Broadcast WAV has them: leading chunks stand
   between the RIFF header and "fmt ", trailing ones follow the audio; each
   passed as whole chunks, headers included, one after the other. */

/* Writes one chunk (header, size bytes, pad byte) into out, or measures it when
   out is null. The byte count. */
THISTLE_EXPORT uint32_t thistle_put_chunk(void* out, const char* id, const void* data, uint32_t size);
/* One field of a "LIST" "INFO" chunk: its id ("IARL", "ICOP", ...; four
   characters, no NUL) and its text. */
typedef struct ThistleInfo {
  char id[4];
  const char* text;
} ThistleInfo;
THISTLE_STATIC_ASSERT(offsetof(ThistleInfo, text) == sizeof(void*));
/* Writes a "LIST" "INFO" chunk of the fields whose text is not empty into
   out, or measures it when out is null. The byte count; 0 when all are empty. */
THISTLE_EXPORT uint32_t thistle_put_info_chunk(void* out, const ThistleInfo* fields, uint32_t count);
/* Writes a "cue " chunk and a "LIST" "adtl" chunk of labels for count markers
   into out, or measures them when out is null. The byte count; 0 for no markers. */
THISTLE_EXPORT uint32_t thistle_put_cue_chunks(void* out, const ThistleCue* cues, uint32_t count);
/* outputHeaderWavEncode with leading chunks and trailing_bytes of chunks behind
   the audio; the stream is left at the first audio byte. 1, or 0. */
THISTLE_EXPORT int32_t thistle_write_header_chunks(FILE* stream, const void* leading, uint32_t leading_bytes,
                                                   uint32_t data_bytes, uint32_t trailing_bytes,
                                                   int32_t rate_code);
/* Finishing with chunks, step one: writes out the buffer; report->data_bytes
   (report not null) gets the whole sample pairs of data_bytes that reached the
   file behind header_bytes. 0, or -1. */
THISTLE_EXPORT int32_t thistle_settle_stream(FILE* stream, uint32_t header_bytes, uint32_t data_bytes,
                                             int32_t write_failed, ThistleFinish* report);
/* Step two: appends the trailing chunks (or, when they cannot be written, none),
   writes the header and cuts the file at its end. 0, or -1 (*report says why). */
THISTLE_EXPORT int32_t thistle_end_stream_chunks(FILE* stream, const void* leading, uint32_t leading_bytes,
                                                 uint32_t data_bytes, const void* trailing,
                                                 uint32_t trailing_bytes, int32_t rate_code,
                                                 ThistleFinish* report);
/* The files that may become RF64: their leading chunks begin with the
   "JUNK" chunk that keeps the place of "ds64" (thistle_put_chunk of
   THISTLE_DS64_CHUNK_BYTES - 8 zero bytes). A file becomes RF64 when its RIFF
   size passes rf64_above (UINT32_MAX: when it must); below, it stays a plain
   RIFF file with its "JUNK" chunk. */

/* thistle_settle_stream with 64-bit audio sizes: the settled bytes in *settled. */
THISTLE_EXPORT int32_t thistle_settle_stream64(FILE* stream, uint32_t header_bytes, uint64_t data_bytes,
                                               int32_t write_failed, uint64_t* settled, ThistleFinish* report);
/* thistle_end_stream_chunks for such a file (report->data_bytes holds the low
   32 bits of the audio's size). 0, or -1. */
THISTLE_EXPORT int32_t thistle_end_stream_rf64(FILE* stream, const void* leading, uint32_t leading_bytes,
                                               uint64_t data_bytes, const void* trailing, uint32_t trailing_bytes,
                                               int32_t rate_code, uint64_t rf64_above, ThistleFinish* report);
/* thistle_settle_descriptor_at for such a file. Async-signal-safe. 0, or -1. */
THISTLE_EXPORT int32_t thistle_settle_descriptor_rf64(int fd, uint32_t header_bytes, uint64_t rf64_above);
/* thistle_settle_descriptor for a file whose audio begins at header_bytes. */
THISTLE_EXPORT int32_t thistle_settle_descriptor_at(int fd, uint32_t header_bytes);

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_THISTLE_H */
