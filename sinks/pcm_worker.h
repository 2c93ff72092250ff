// SPDX-License-Identifier: MIT
// Hands the PCM of a track to a sink (the MD5 of a Broadcast WAV file's
// audio, a FLAC encoder) on a thread of its own, in order and in large
// blocks, so that the work overlaps the reading of the tape.
#pragma once

#include <cstddef>
#include <cstdint>

struct PcmWorker;

// Takes bytes of PCM (a multiple of 4): 0, or -1 when it failed and will take
// nothing more.
typedef int (*PcmSink)(void* context, const uint8_t* pcm, size_t bytes);

// Starts the thread; nullptr when it cannot (the caller then calls the sink
// itself).
PcmWorker* pcm_worker_start(PcmSink sink, void* context);
// Queues a copy of bytes (a multiple of 4). 0, or -1 once the sink has failed.
int pcm_worker_put(PcmWorker* worker, const uint8_t* pcm, size_t bytes);
// Hands on what is queued, waits until the sink has taken it, ends the thread
// and frees the worker. 0, or -1 when the sink failed.
int pcm_worker_finish(PcmWorker* worker);
