// SPDX-License-Identifier: MIT
// The wave-out player on ALSA and on the null output with the real clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/waveout.h"
#include "playback/player.h"
#include "playback/player_state.h"
#include "tests/support/temp_dir.h"

namespace {

// A second of a quiet 440 Hz tone, 16-bit stereo.
std::vector<uint8_t> tone(uint32_t rate) {
  std::vector<uint8_t> bytes(rate * 4);
  for (uint32_t i = 0; i < rate; ++i) {
    auto v = static_cast<int16_t>(2000 * std::sin(2 * M_PI * 440 * i / rate));
    for (int c = 0; c < 2; ++c) {
      bytes[i * 4 + c * 2] = static_cast<uint8_t>(v & 0xFF);
      bytes[i * 4 + c * 2 + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
  }
  return bytes;
}

class PlayerRealTimeTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform_clock_simulated(), 0);
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    wave_out_buffers = 24;
    wave_out_buffer_bytes = 16384;
    staging.staged_bytes = 0;
  }
  void TearDown() override {
    wave_out_wrapup(1);
    waveout_select(nullptr);
    ASSERT_EQ(chdir(cwd_), 0);
  }
  // Plays a second of tone and stops after it; the real time it took.
  uint32_t play_tone(uint32_t rate) {
    std::vector<uint8_t> pcm = tone(rate);
    uint32_t start = platform_time_ms();
    for (size_t at = 0; at < pcm.size(); at += 5760) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(5760, pcm.size() - at));
      output_waveout(pcm.data() + at, n, &staging);
    }
    EXPECT_EQ(wave_out_wrapup(0), 24);
    return platform_time_ms() - start;
  }

  char cwd_[PATH_MAX];
  TempDir dir;
  PlaybackStaging staging{};
};

// On a machine without a sound card the default device cannot be opened: the
// start fails with -2 and says why in log.txt. With a card, the tone plays.
TEST_F(PlayerRealTimeTest, TheDefaultAlsaDeviceOpensOrFailsCleanly) {
  unsetenv("KESTREL_WAVEOUT");
  ASSERT_EQ(waveout_select(nullptr), 0);
  int32_t r = wave_out_init(48000);
  std::string log = read_file(dir.file("log.txt"));
  if (r == -2) {
    EXPECT_EQ(log.rfind("Unable to open waveform output device: ", 0), 0u) << log;
    EXPECT_NE(log.find("\nalsa:default: open: "), std::string::npos) << log;
    EXPECT_EQ(player_is_open(), 0);
    EXPECT_EQ(wave_out_wrapup(1), 24);
    return;
  }
  ASSERT_EQ(r, 0) << log;
  uint32_t took = play_tone(48000);
  EXPECT_GE(took, 1000u);
  EXPECT_EQ(read_file(dir.file("log.txt")), "");
}

// ALSA's null device takes everything at once: the whole ALSA path runs,
// also without a sound card.
TEST_F(PlayerRealTimeTest, TheAlsaNullDevicePlaysThroughTheRing) {
  ASSERT_EQ(waveout_select("alsa:null"), 0);
  ASSERT_EQ(wave_out_init(44100), 0);
  play_tone(44100);
  EXPECT_EQ(player_is_open(), 0);
  ASSERT_EQ(wave_out_init(32000), 0);
  std::vector<uint8_t> pcm = tone(32000);
  output_waveout(pcm.data(), 100000, &staging);
  EXPECT_EQ(wave_out_restart(), 0);
  EXPECT_EQ(player_ring_position(), 6);
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(read_file(dir.file("log.txt")), "");
}

TEST_F(PlayerRealTimeTest, AnAlsaDeviceThatDoesNotExistFailsWithMinusTwo) {
  ASSERT_EQ(waveout_select("alsa:kestrel_no_such_device"), 0);
  EXPECT_EQ(wave_out_init(48000), -2);
  EXPECT_EQ(wave_out_wrapup(1), 24);
  std::string log = read_file(dir.file("log.txt"));
  EXPECT_EQ(log.rfind("Unable to open waveform output device: ", 0), 0u) << log;
  EXPECT_NE(log.find("alsa:kestrel_no_such_device: open: "), std::string::npos) << log;
}

// The null output keeps the pace of the real clock: a ring of 8 buffers of
// 25 ms takes at least 200 ms to drain.
TEST_F(PlayerRealTimeTest, TheNullOutputKeepsRealTime) {
  ASSERT_EQ(waveout_select("null"), 0);
  wave_out_buffers = 8;
  wave_out_buffer_bytes = 4800;
  ASSERT_EQ(wave_out_init(48000), 0);
  std::vector<uint8_t> pcm(4800, 0);
  uint32_t start = platform_time_ms();
  for (int i = 2; i < 8; ++i) ASSERT_EQ(wave_out_dataout(pcm.data()), 0);
  EXPECT_EQ(wave_out_wrapup(0), 8);
  uint32_t took = platform_time_ms() - start;
  EXPECT_GE(took, 200u - 25u);  // the pre-roll may have started a little before
  EXPECT_LT(took, 5000u);
}

}  // namespace
