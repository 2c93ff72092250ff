// SPDX-License-Identifier: MIT
// Output files that stay valid when a write fails, and after a second
// interrupt that ends kestrel at once.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/file_io.h"
#include "wavlib/thistle.h"

// The most audio a WAV file can hold, in whole sample pairs: its sizes are
// 32-bit, and the RIFF size counts 36 bytes of the header besides.
const uint32_t kWavDataLimit = THISTLE_DATA_LIMIT;

// Creates a WAV file with its header for 0 bytes at a DAT rate code. On
// failure says why ("Cannot open %s" when it cannot be created), removes a
// file it could not give a header, and returns nullptr.
FILE* wav_file_open(const char* name, int32_t rate_code);

// Finishes a WAV file: the header states exactly the audio behind it, whole
// sample pairs only, nothing beyond, and the file is closed. data_bytes is
// what was written; after a failed write (write_failed, or a failure found
// here) the audio that reached the file counts instead. 0, or -1 after saying
// what failed.
int wav_file_finish(FILE* wav, const char* name, uint32_t data_bytes, int32_t rate_code, bool write_failed);

// Says each step of finishing a WAV file that failed, once, with its reason.
void say_finish_failures(const char* name, const ThistleFinish* done);

// Files that a second interrupt, which ends kestrel at once, leaves valid: a
// WAV file gets a header that states the whole sample pairs already in the
// file, an image keeps only its whole records. Registered from creation until
// close_stream. Whatever stdio still holds in its buffer is not in the file.
enum AbruptExitKind { ABRUPT_EXIT_WAV = 1, ABRUPT_EXIT_IMAGE = 2, ABRUPT_EXIT_CUT = 3, ABRUPT_EXIT_RF64 = 4 };
void abrupt_exit_keep_valid(FILE* file, AbruptExitKind kind);
// A WAV file with chunks before "fmt ", whose audio begins at header_bytes:
// its sizes state the whole sample pairs in the file; the chunks behind the
// audio are not written.
void abrupt_exit_keep_wav_valid(FILE* file, uint32_t header_bytes);
// Such a file that may become RF64 (its leading chunks begin with the place
// of "ds64"): past rf64_threshold() it becomes RF64.
void abrupt_exit_keep_rf64_valid(FILE* file, uint32_t header_bytes);

// The RIFF size past which a file that may become RF64 does: UINT32_MAX,
// where 32-bit sizes end, or a smaller one from KESTREL_RF64_ABOVE (bytes),
// so that tests need not write 4 GiB.
uint64_t rf64_threshold(void);
// A file written with plain writes that is valid up to the length last given
// to abrupt_exit_valid_length (a FLAC stream after its last whole frame): it
// is cut there. abrupt_exit_forget_descriptor ends the registration.
void abrupt_exit_keep_cut(int fd);
void abrupt_exit_valid_length(int fd, int64_t length);
void abrupt_exit_forget_descriptor(int fd);
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
void abrupt_exit_repair_files(void);

// Closes a file that was written: 0, or -1 after saying that the write failed.
int output_file_close(FILE* file, const char* name);
