#include "sinks/pcm_worker.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/memory.h"

namespace {

const size_t kBlockBytes = 1 << 18;
const size_t kQueuedBlocks = 16;  // at most this much audio waits for the sink

}  // namespace

struct PcmWorker {
  PcmSink sink;
  void* context;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::vector<uint8_t>> queue;
  std::vector<std::vector<uint8_t>> spare;  // blocks the sink is done with, kept for reuse
  std::vector<uint8_t> filling;
  bool ending = false;
  bool failed = false;
  std::thread thread;
};

namespace {

void run(PcmWorker* w) {
  console_keep_interrupts_off_this_thread();
  std::unique_lock<std::mutex> hold(w->lock);
  for (;;) {
    w->changed.wait(hold, [w] { return !w->queue.empty() || w->ending; });
    if (w->queue.empty()) return;
    std::vector<uint8_t> block = std::move(w->queue.front());
    w->queue.pop_front();
    bool failed = w->failed;
    hold.unlock();
    w->changed.notify_all();  // room in the queue
    int result = -1;
    try {
      if (!failed) result = w->sink(w->context, block.data(), block.size());
    } catch (const std::bad_alloc&) {
      memory_ran_out();  // nothing leaves the thread
    }
    hold.lock();
    if (result != 0) w->failed = true;
    block.clear();
    // Within the room reserved at the start: the push never allocates.
    if (w->spare.size() < w->spare.capacity()) w->spare.push_back(std::move(block));
  }
}

// Queues the block being filled, waiting while the queue is full.
void hand_on(PcmWorker* w) {
  if (w->filling.empty()) return;
  std::unique_lock<std::mutex> hold(w->lock);
  w->changed.wait(hold, [w] { return w->queue.size() < kQueuedBlocks; });
  w->queue.push_back(std::move(w->filling));
  // A block the sink is done with, else a new one: the same few blocks serve
  // a whole track.
  std::vector<uint8_t> next;
  if (!w->spare.empty()) {
    next = std::move(w->spare.back());
    w->spare.pop_back();
  }
  hold.unlock();
  w->changed.notify_all();
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
    w->spare.reserve(kQueuedBlocks + 2);  // every block there is: queued, being filled, with the sink
    w->thread = std::thread(run, w);
  } catch (...) {
    delete w;
    return nullptr;
  }
  return w;
}

int pcm_worker_put(PcmWorker* w, const uint8_t* pcm, size_t bytes) {
  std::unique_lock<std::mutex> hold(w->lock);
  if (w->failed) return -1;
  hold.unlock();
  try {
    if (w->filling.size() + bytes > kBlockBytes) hand_on(w);
    w->filling.insert(w->filling.end(), pcm, pcm + bytes);
  } catch (...) {
    // No memory for the copy: the sink misses these bytes, so it has failed.
    hold.lock();
    w->failed = true;
    return -1;
  }
  return 0;
}

int pcm_worker_finish(PcmWorker* w) {
  try {
    hand_on(w);
  } catch (...) {
    std::lock_guard<std::mutex> hold(w->lock);
    w->failed = true;
  }
  {
    std::lock_guard<std::mutex> hold(w->lock);
    w->ending = true;
  }
  w->changed.notify_all();
  w->thread.join();
  int result = w->failed ? -1 : 0;
  delete w;
  return result;
}
