// SPDX-License-Identifier: MIT
// The FLAC writer and the second interrupt: the cut to the last whole frame
// and the encoder thread's writes never overlap, and nothing lands after the
// cut.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "sinks/flac_file.h"
#include "sinks/valid_files.h"
#include "tests/support/e2e/archival_files.h"
#include "tests/support/temp_dir.h"

namespace {

// Stops the writing thread after its third frame is in the file and before
// the file's valid length says so, until the test lets it go on.
struct WriterPause {
  std::mutex mutex;
  std::condition_variable changed;
  int frames = 0;
  bool paused = false;
  bool go_on = false;
};
WriterPause g_pause;
const int kPauseAtFrame = 3;

void pause_at_third_frame() {
  std::unique_lock<std::mutex> hold(g_pause.mutex);
  if (++g_pause.frames != kPauseAtFrame) return;
  g_pause.paused = true;
  g_pause.changed.notify_all();
  g_pause.changed.wait(hold, [] { return g_pause.go_on; });
}

long long file_size(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

TEST(FlacFile, TheCutOfAnAbruptExitWaitsForAFramesLengthAndNothingIsWrittenAfterIt) {
  TempDir dir;
  const std::string path = dir.file("t.flac");
  bool opened = false;
  FlacFile* flac = flac_file_create(path.c_str(), 48000, &opened);
  ASSERT_NE(flac, nullptr);
  flac_file_set_frame_written_hook(pause_at_third_frame);

  // A frame's worth of PCM per write (4096 sample pairs), noisy enough that
  // every frame takes room.
  std::vector<uint8_t> pcm(4096 * 4);
  uint32_t x = 12345;
  for (uint8_t& b : pcm) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  std::atomic<int> writes_taken{0};
  std::thread writer([&] {
    for (int i = 0; i < 20 && flac_file_write(flac, pcm.data(), static_cast<int>(pcm.size())) == 0; ++i)
      ++writes_taken;
  });
  {
    std::unique_lock<std::mutex> hold(g_pause.mutex);
    ASSERT_TRUE(g_pause.changed.wait_for(hold, std::chrono::seconds(30), [] { return g_pause.paused; }));
  }
  const long long three_frames = file_size(path);

  // The second interrupt, while the third frame's length is not yet recorded.
  std::atomic<bool> cut{false};
  std::thread interrupt([&] {
    abrupt_exit_repair_files();
    cut = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const bool cut_within_the_write = cut;
  {
    std::lock_guard<std::mutex> hold(g_pause.mutex);
    g_pause.go_on = true;
  }
  g_pause.changed.notify_all();
  interrupt.join();
  writer.join();
  flac_file_set_frame_written_hook(nullptr);

  EXPECT_FALSE(cut_within_the_write) << "the cut fell between a frame's write and its length";
  EXPECT_EQ(file_size(path), three_frames) << "cut after the third frame, and nothing written after the cut";
  EXPECT_TRUE(flac_tests_ok(path));
  EXPECT_LT(writes_taken.load(), 20) << "the writer was told that the file takes nothing more";
  flac_file_finish(flac, nullptr, nullptr);
  EXPECT_TRUE(flac_tests_ok(path));
}

}  // namespace
