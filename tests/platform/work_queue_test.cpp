// SPDX-License-Identifier: MIT
// The worker queue: every job done once, in order; the run held back at the
// limit; the wait for the thread; blocks kept for reuse.
#include "platform/work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

// A thread that may be held at the start of a job, to fill the queue behind it.
struct Gate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = true;
  void close() {
    std::lock_guard<std::mutex> lock(mutex);
    open = false;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      open = true;
    }
    opened.notify_all();
  }
  void pass() {
    std::unique_lock<std::mutex> lock(mutex);
    opened.wait(lock, [this] { return open; });
  }
};

TEST(WorkQueue, JobsAreDoneOnceInOrderWithinTheLimit) {
  struct Row {
    const char* name;
    int64_t limit;
    int64_t weight;  // of each job
    int jobs;
  } rows[] = {
      {"one at a time", 1, 1, 50},
      {"a queue of blocks", 17, 1, 200},
      {"by bytes", 8 << 10, 1 << 10, 100},
      {"jobs that weigh nothing", 1, 0, 100},
  };
  for (const Row& row : rows) {
    WorkQueue<std::vector<uint8_t>> q;
    std::vector<int> seen;  // only the thread touches it until the end
    std::atomic<int64_t> most{0};
    ASSERT_TRUE(work_queue_start(&q, row.limit, 4, [&](std::vector<uint8_t>& job) {
      seen.push_back(job[0] | job[1] << 8);
      std::lock_guard<std::mutex> lock(q.mutex);
      if (q.queued > most) most = q.queued;
    })) << row.name;
    for (int n = 0; n < row.jobs; ++n) {
      std::vector<uint8_t> job(16);
      job[0] = static_cast<uint8_t>(n & 0xFF);
      job[1] = static_cast<uint8_t>(n >> 8);
      work_queue_put(&q, std::move(job), row.weight);
    }
    work_queue_finish(&q);
    ASSERT_EQ(seen.size(), static_cast<size_t>(row.jobs)) << row.name;
    for (int n = 0; n < row.jobs; ++n) EXPECT_EQ(seen[static_cast<size_t>(n)], n) << row.name;
    // What waited never went past the limit by more than the job let in below it.
    EXPECT_LE(most.load(), row.limit - 1 + row.weight) << row.name;
    EXPECT_EQ(q.queued, 0) << row.name;
  }
}

TEST(WorkQueue, ThePutWaitsAtTheLimitAndTheWaitForIdleTimesOut) {
  WorkQueue<std::vector<uint8_t>> q;
  Gate gate;
  gate.close();
  std::atomic<int> done{0};
  ASSERT_TRUE(work_queue_start(&q, 2, 4, [&](std::vector<uint8_t>&) {
    gate.pass();
    ++done;
  }));
  work_queue_put(&q, std::vector<uint8_t>(8), 1);  // with the thread, held
  work_queue_put(&q, std::vector<uint8_t>(8), 1);  // waiting: the limit is reached
  std::atomic<bool> third_in{false};
  std::thread producer([&] {
    work_queue_put(&q, std::vector<uint8_t>(8), 1);
    third_in = true;
  });
  EXPECT_FALSE(work_queue_wait_idle(&q, 50));
  EXPECT_FALSE(third_in.load()) << "a put went past the limit";
  EXPECT_EQ(done.load(), 0);
  gate.release();
  producer.join();
  EXPECT_TRUE(work_queue_wait_idle(&q, 10000));
  EXPECT_EQ(done.load(), 3);
  work_queue_finish(&q);
}

TEST(WorkQueue, BlocksWithRoomAreKeptForReuseUpToTheSpares) {
  WorkQueue<std::vector<uint8_t>> q;
  ASSERT_TRUE(work_queue_start(&q, 100, 2, [](std::vector<uint8_t>&) {}));
  for (int n = 0; n < 5; ++n) {
    std::vector<uint8_t> job;
    job.reserve(64);
    job.push_back(1);
    work_queue_put(&q, std::move(job), 1);
  }
  work_queue_put(&q, std::vector<uint8_t>(), 1);  // no room: not kept
  ASSERT_TRUE(work_queue_wait_idle(&q, 10000));
  std::vector<uint8_t> block;
  for (int n = 0; n < 2; ++n) {
    ASSERT_TRUE(work_queue_take_spare(&q, &block)) << n;
    EXPECT_TRUE(block.empty());
    EXPECT_GE(block.capacity(), 64u);
  }
  EXPECT_FALSE(work_queue_take_spare(&q, &block)) << "more kept than the spares";
  work_queue_finish(&q);
}

}  // namespace
