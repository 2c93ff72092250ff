// SPDX-License-Identifier: MIT
// The checksums of the files a run writes, computed beside the run: the MD5
// of a WAV file's audio from the audio as it is written, the SHA-256 of each
// file from the file once it is finished, both on a thread of their own so
// that the run does not wait for them. Where the streamed audio may differ
// from what reached the file (a failed write, a file started over), the MD5
// is taken from the file instead: the report states what is on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/loudness_figures.h"

// A file the run wrote, with what the report found of it at the end.
struct ReportFile {
  std::string name;  // as the mode named it
  int32_t wav;       // its audio MD5 is computed
  int64_t bytes;     // -1: it could not be read
  std::string sha256;
  std::string audio_md5;  // given when the file is listed: the MD5 its writer took, not computed again
  LoudnessFigures loudness{};  // given when the file is listed, when its writer measured it
};

struct ChecksumWorker;

// nullptr when no thread can be started: then everything is computed in
// checksum_worker_finish.
ChecksumWorker* checksum_worker_start();
// Audio written to the file numbered file (the report's own numbering).
void checksum_worker_audio(ChecksumWorker* worker, int32_t file, const void* bytes, size_t count);
// The file started over empty: its streamed audio no longer counts.
void checksum_worker_restart(ChecksumWorker* worker, int32_t file);
// The file numbered file is finished: its checksums go into slot of the
// results (see checksum_worker_finish).
void checksum_worker_file(ChecksumWorker* worker, int32_t file, size_t slot, const ReportFile& listed);
// Waits up to ms for the work queued so far. true when it is all done;
// done and total give the bytes (for progress).
bool checksum_worker_wait(ChecksumWorker* worker, uint32_t ms, int64_t* done, int64_t* total);
// Drops the work not yet done: those files keep no checksum.
void checksum_worker_cancel(ChecksumWorker* worker);
// Ends the worker (after what is queued) and fills files[slot] for every
// file given; with a null worker computes them here. Frees the worker.
void checksum_worker_finish(ChecksumWorker* worker, std::vector<ReportFile>* files);

// The file's size and SHA-256, and for a WAV file the MD5 of its audio, read
// from the file. 0, or -1 with errno when it cannot be read.
int checksum_file(ReportFile* file);
