// SPDX-License-Identifier: MIT
// Files the modes read and write: their failures said on the console with
// the system's reason, and large stream buffers for long files.
#pragma once

#include <cstdint>
#include <cstdio>

// A file operation that failed for want of memory (ENOMEM) ends the run as
// out of memory (platform/memory.h); the functions below that say a failure note it.
void note_failure_reason(int error);

// Says on the console that writing a file failed, with the system's reason.
void say_write_failure(const char* name);
// The same for reading a file.
void say_read_failure(const char* name);

// Says on the console that a file cannot be created or opened: "Cannot open
// NAME", then the system's reason (errno as the failed open left it) on a
// line of its own.
void say_open_failure(const char* name);

// After a failed write to a buffered stream: drops what is still buffered and
// returns the size the file has, or -1.
long long written_size_after_failure(FILE* file);

// Gives a stream a large buffer of its own (setvbuf without a buffer keeps
// the file system's block size), so that a long file is read or written in
// few, large transfers. close_stream closes such a stream and frees it.
void use_large_buffer(FILE* file);
// Closes with closer (fclose, closeWavEncode) and frees the stream's large
// buffer, if it has one. Returns what closer returned.
int close_stream(FILE* file, int32_t (*closer)(FILE*));
// A function close_stream calls with every stream before it closes it (the
// files kept valid for an abrupt exit forget it there). nullptr: none.
void set_close_stream_hook(void (*hook)(FILE* file));
int32_t close_file(FILE* file);  // fclose, as a closer
