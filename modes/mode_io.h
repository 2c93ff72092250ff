// What the modes share: reading the tape, the ESC key, and output files that
// stay valid when a write fails.
#pragma once

#include <cstdint>
#include <cstdio>

#include "datframe/dat_frame.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_status.h"
#include "wavlib/thistle.h"

// A tape read succeeded when its result word says completed.
inline bool tape_read_ok(uint32_t result) { return tape_completed(tape_status(result)); }

struct FrameInfo;
struct FrameEvents;
// Says on the console what happened at a frame just read, as the subcode line
// that follows it expects: a change of rate, the start of a start-ID run,
// then "\r" to rewrite the status line in place.
void say_frame_events(const FrameInfo* info, const FrameEvents* events);

// Takes a frame just read into the record and says what happened at it.
// true when the frame ends the reading: the 62nd of a blank stretch, but
// not with /STOPEOT.
bool take_read_frame(const DatFrame* frame, RunSettings* settings, FrameInfo* info, FrameEvents* events);

extern "C" {
// The extraction's handling of a frame the drive flagged (interpolate_flags
// non-zero): the report to the track log and the console, the repair of pcm
// (pcm_bytes long) when /ERRORCORRECT is given and the frame is 16-bit, and
// the track's totals. wav_name is the track's file name, "" in live playback
// (where no track log is open). Returns the samples repaired; 0 for a clean
// frame, which is left alone; -1 when an argument is missing.
int32_t handle_error_frame(const DatFrame* frame, uint8_t* pcm, int32_t pcm_bytes,
                           const RunSettings* settings, ConcealTotals* totals, const char* wav_name);
}

// 1 when a key is waiting and it is ESC (an interrupt reads as ESC); reads it.
// Also 1 once memory has run out (platform/memory.h): the mode is to end.
bool esc_pressed(void);

// A file operation that failed for want of memory (ENOMEM) ends the run as
// out of memory (platform/memory.h); the report functions below note it.
void note_failure_reason(int error);

// Says on the console that writing a file failed, with the system's reason.
void report_write_failure(const char* name);
// The same for reading a file.
void report_read_failure(const char* name);

// Says on the console that a file cannot be created or opened: "Cannot open
// NAME", then the system's reason (errno as the failed open left it) on a
// line of its own.
void report_open_failure(const char* name);

// The most audio a WAV file can hold, in whole sample pairs: its sizes are
// 32-bit, and the RIFF size counts 36 bytes of the header besides.
const uint32_t kWavDataLimit = THISTLE_DATA_LIMIT;

// Creates a WAV file with its header for 0 bytes at a DAT rate code. On
// failure says why ("Cannot open %s" when it cannot be created), removes a
// file it could not give a header, and returns nullptr.
FILE* open_wav_file(const char* name, int32_t rate_code);

// Finishes a WAV file: the header states exactly the audio behind it, whole
// sample pairs only, nothing beyond, and the file is closed. data_bytes is
// what was written; after a failed write (write_failed, or a failure found
// here) the audio that reached the file counts instead. 0, or -1 after saying
// what failed.
int finish_wav_file(FILE* wav, const char* name, uint32_t data_bytes, int32_t rate_code, bool write_failed);

// Says each step of finishing a WAV file that failed, once, with its reason.
void report_finish_failures(const char* name, const ThistleFinish* done);

// After a failed write to a buffered stream: drops what is still buffered and
// returns the size the file has, or -1.
long long written_size_after_failure(FILE* file);

// Gives a stream that is written a large buffer of its own (setvbuf without a
// buffer keeps the file system's block size), so that a long file is written
// in few, large writes. close_stream closes such a stream and frees it.
void use_large_buffer(FILE* file);
// Closes with closer (fclose, closeWavEncode) and frees the stream's large
// buffer, if it has one. Returns what closer returned.
int close_stream(FILE* file, int32_t (*closer)(FILE*));
int32_t close_file(FILE* file);  // fclose, as a closer

// Files that a second interrupt, which ends kestrel at once, leaves valid: a
// WAV file gets a header that states the whole sample pairs already in the
// file, an image keeps only its whole records. Registered from creation until
// close_stream. Whatever stdio still holds in its buffer is not in the file.
enum AbruptExitKind { ABRUPT_EXIT_WAV = 1, ABRUPT_EXIT_IMAGE = 2, ABRUPT_EXIT_CUT = 3 };
void keep_valid_on_abrupt_exit(FILE* file, AbruptExitKind kind);
// A WAV file with chunks before "fmt ", whose audio begins at header_bytes:
// its sizes state the whole sample pairs in the file; the chunks behind the
// audio are not written.
void keep_wav_valid_on_abrupt_exit(FILE* file, uint32_t header_bytes);
// A file written with plain writes that is valid up to the length last given
// to abrupt_exit_valid_length (a FLAC stream after its last whole frame): it
// is cut there. forget_descriptor_on_abrupt_exit ends the registration.
void keep_cut_on_abrupt_exit(int fd);
void abrupt_exit_valid_length(int fd, int64_t length);
void forget_descriptor_on_abrupt_exit(int fd);
// Such a file written on another thread than the one the interrupt may stop:
// each write goes between abrupt_exit_begin_write, which returns false once
// the file has been cut (nothing more may go in), and abrupt_exit_end_write,
// which records the valid length after it. The cut waits for a write under
// way, so that it never falls between a write and the recording of its
// length, and no write lands after it.
bool abrupt_exit_begin_write(int fd);
void abrupt_exit_end_write(int fd, int64_t length);
// What the second interrupt runs in its signal handler (async-signal-safe):
// every registered file is left valid.
void repair_files_on_abrupt_exit(void);

// Closes a file that was written: 0, or -1 after saying that the write failed.
int close_output_file(FILE* file, const char* name);
