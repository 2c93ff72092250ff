// SPDX-License-Identifier: MIT
#include "sinks/pcm_worker.h"

#include <atomic>
#include <new>
#include <vector>

#include "platform/memory.h"
#include "platform/work_queue.h"

namespace {

const size_t kBlockBytes = 1 << 18;
const size_t kQueuedBlocks = 16;  // at most this much audio waits for the sink

}  // namespace

struct PcmWorker {
  PcmSink sink;
  void* context;
  WorkQueue<std::vector<uint8_t>> queue;  // blocks of PCM for the sink
  std::vector<uint8_t> filling;
  std::atomic<bool> failed{false};
};

namespace {

// Hands a block to the sink on the worker's thread.
void take_block(PcmWorker* w, std::vector<uint8_t>& block) {
  int result = -1;
  try {
    if (!w->failed) result = w->sink(w->context, block.data(), block.size());
  } catch (const std::bad_alloc&) {
    memory_ran_out();  // nothing leaves the thread
  }
  if (result != 0) w->failed = true;
}

// Queues the block being filled, waiting while the queue is full.
void hand_on(PcmWorker* w) {
  if (w->filling.empty()) return;
  work_queue_put(&w->queue, std::move(w->filling), 1);
  // A block the sink is done with, else a new one: the same few blocks serve
  // a whole track.
  std::vector<uint8_t> next;
  work_queue_take_spare(&w->queue, &next);
  next.reserve(kBlockBytes);
  w->filling = std::move(next);
}

}  // namespace

PcmWorker* pcm_worker_start(PcmSink sink, void* context) {
  PcmWorker* w = new (std::nothrow) PcmWorker;
  if (!w) return nullptr;
  w->sink = sink;
  w->context = context;
  try {
    w->filling.reserve(kBlockBytes);
  } catch (...) {
    delete w;
    return nullptr;
  }
  // The block with the sink counts as queued until the sink is done with it.
  // Every block there is may be kept: queued, being filled, with the sink.
  if (!work_queue_start(&w->queue, kQueuedBlocks + 1, kQueuedBlocks + 2,
                        [w](std::vector<uint8_t>& block) { take_block(w, block); })) {
    delete w;
    return nullptr;
  }
  return w;
}

int pcm_worker_put(PcmWorker* w, const uint8_t* pcm, size_t bytes) {
  if (w->failed) return -1;
  try {
    if (w->filling.size() + bytes > kBlockBytes) hand_on(w);
    w->filling.insert(w->filling.end(), pcm, pcm + bytes);
  } catch (...) {
    // No memory for the copy: the sink misses these bytes, so it has failed.
    w->failed = true;
    return -1;
  }
  return 0;
}

int pcm_worker_finish(PcmWorker* w) {
  try {
    hand_on(w);
  } catch (...) {
    w->failed = true;
  }
  work_queue_finish(&w->queue);
  int result = w->failed ? -1 : 0;
  delete w;
  return result;
}
