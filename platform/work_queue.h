// SPDX-License-Identifier: MIT
// One worker thread that takes jobs from a bounded queue, in order: the run
// hands work on and goes on while the thread does it (the MD5 and FLAC
// encoding of a track's audio, the checksums of a run's files).
//
// Each job has a weight; while the jobs waiting weigh the limit or more, a
// put waits for the thread. A job may carry a block of bytes (work_block):
// once the job is done, a block with room is kept as a spare, which the run
// takes back for the next job, so that the same few blocks serve a whole run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console.h"

template <typename Job>
struct WorkQueue {
  std::mutex mutex;
  std::condition_variable changed;  // a job came or was done, or the end came
  std::deque<std::pair<Job, int64_t>> jobs;  // waiting, with their weights
  int64_t limit = 0;
  int64_t queued = 0;  // weight of the jobs waiting and of the one being done
  bool ending = false;
  bool busy = false;   // the thread is doing a job
  std::vector<std::vector<uint8_t>> spare;  // blocks done with, within the room reserved at the start
  std::thread thread;
};

// The block of bytes a job of bytes carries: itself. A job of another type
// declares its own work_block (it is found beside the type).
inline std::vector<uint8_t>* work_block(std::vector<uint8_t>& job) { return &job; }

// Starts the thread, which does run(job) for every job put, in order (run
// lets nothing escape). limit: the weight the jobs waiting may reach;
// spares: how many blocks are kept for reuse at most. false when the thread
// cannot be started (or memory runs out): the queue is then not to be used.
template <typename Job, typename Run>
bool work_queue_start(WorkQueue<Job>* q, int64_t limit, size_t spares, Run run) {
  q->limit = limit;
  try {
    q->spare.reserve(spares);
    q->thread = std::thread([q, run]() mutable {
      console_keep_interrupts_off_this_thread();
      std::unique_lock<std::mutex> lock(q->mutex);
      for (;;) {
        q->changed.wait(lock, [q] { return !q->jobs.empty() || q->ending; });
        if (q->jobs.empty()) return;
        std::pair<Job, int64_t> job = std::move(q->jobs.front());
        q->jobs.pop_front();
        q->busy = true;
        lock.unlock();
        run(job.first);
        lock.lock();
        q->busy = false;
        q->queued -= job.second;
        std::vector<uint8_t>* block = work_block(job.first);
        block->clear();
        // Within the room reserved at the start: the push never allocates.
        if (block->capacity() > 0 && q->spare.size() < q->spare.capacity()) q->spare.push_back(std::move(*block));
        q->changed.notify_all();
      }
    });
  } catch (...) {
    return false;
  }
  return true;
}

// Queues a job of this weight, waiting while the jobs waiting weigh the limit
// or more.
template <typename Job>
void work_queue_put(WorkQueue<Job>* q, Job job, int64_t weight) {
  std::unique_lock<std::mutex> lock(q->mutex);
  q->changed.wait(lock, [q] { return q->queued < q->limit; });
  q->queued += weight;
  q->jobs.emplace_back(std::move(job), weight);
  q->changed.notify_all();
}

// Takes a spare block into *block, when there is one. true when it did.
template <typename Job>
bool work_queue_take_spare(WorkQueue<Job>* q, std::vector<uint8_t>* block) {
  std::lock_guard<std::mutex> lock(q->mutex);
  if (q->spare.empty()) return false;
  *block = std::move(q->spare.back());
  q->spare.pop_back();
  return true;
}

// Waits up to ms until every job put has been done. true when they have.
template <typename Job>
bool work_queue_wait_idle(WorkQueue<Job>* q, uint32_t ms) {
  std::unique_lock<std::mutex> lock(q->mutex);
  return q->changed.wait_for(lock, std::chrono::milliseconds(ms), [q] { return q->jobs.empty() && !q->busy; });
}

// Lets the thread do the jobs put and ends it.
template <typename Job>
void work_queue_finish(WorkQueue<Job>* q) {
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->ending = true;
  }
  q->changed.notify_all();
  if (q->thread.joinable()) q->thread.join();
}
