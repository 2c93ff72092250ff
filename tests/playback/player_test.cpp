// SPDX-License-Identifier: MIT
// The wave-out player against a scripted device, the file output and the null
// output, with the simulated clock.
#include "playback/player.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/waveout.h"
#include "platform/waveout_script.h"
#include "playback/player_state.h"
#include "tests/support/console_messages.h"
#include "tests/support/temp_dir.h"

namespace {

// The clock reads KESTREL_CLOCK at its first use, which comes after this.
const bool kSimulatedClock = setenv("KESTREL_CLOCK", "simulated", 1) == 0;

const uint32_t kBuffer = 16384;

// n bytes of a stream that repeats only after a long while.
std::vector<uint8_t> stream_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

std::vector<std::string> repeated(const std::string& call, int n) {
  return std::vector<std::string>(n, call);
}

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class PlayerTest : public testing::Test {
 protected:
  ConsoleMessages messages;
  void SetUp() override {
    ASSERT_TRUE(kSimulatedClock);
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    waveout_select_script(&script);
    wave_out_buffers = 24;
    wave_out_buffer_bytes = kBuffer;
  }
  void TearDown() override {
    wave_out_wrapup(1);
    waveout_select(nullptr);
    ASSERT_EQ(chdir(cwd_), 0);
  }

  std::string log_text() { return read_file(dir.file("log.txt")); }
  WaveOutScriptLog device_log() { return waveout_script_log(&script); }
  uint32_t output(const std::vector<uint8_t>& bytes) {
    return output_waveout(bytes.data(), static_cast<uint32_t>(bytes.size()), &staging);
  }
  // The player after a start at 48000 with kestrel's ring, filled up to the
  // last free buffer (every buffer queued once).
  void start_and_fill_ring() {
    ASSERT_EQ(wave_out_init(48000), 0);
    std::vector<uint8_t> pcm = stream_bytes(kBuffer, 1);
    for (int i = 6; i < 24; ++i) ASSERT_EQ(wave_out_dataout(pcm.data()), 0);
  }

  char cwd_[PATH_MAX];
  TempDir dir;
  WaveOutScript script;
  PlaybackStaging staging{};
};

TEST_F(PlayerTest, StartQueuesAQuarterOfTheRingAsSilence) {
  ASSERT_EQ(wave_out_init(48000), 0);
  WaveOutScriptLog log = device_log();
  EXPECT_EQ(
      log.calls,
      joined({{"query 48000", "open 48000", "reset", "pause"}, repeated("write", 6), {"restart"}}));
  ASSERT_EQ(log.writes.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(log.writes[i].header, player_header(i));
    EXPECT_EQ(log.writes[i].bytes, std::vector<uint8_t>(kBuffer, 0));
  }
  EXPECT_EQ(player_ring_position(), 6);

  std::vector<uint8_t> pcm = stream_bytes(kBuffer, 2);
  ASSERT_EQ(wave_out_dataout(pcm.data()), 0);
  log = device_log();
  ASSERT_EQ(log.writes.size(), 7u);
  EXPECT_EQ(log.writes[6].header, player_header(6));
  EXPECT_EQ(log.writes[6].bytes, pcm);
  EXPECT_EQ(player_ring_position(), 7);
  EXPECT_EQ(log_text(), "");
}

TEST_F(PlayerTest, FramesAreCollectedIntoWholeBuffers) {
  ASSERT_EQ(wave_out_init(48000), 0);
  std::vector<uint8_t> all = stream_bytes(3 * 5760, 3);
  std::vector<uint8_t> frame(all.begin(), all.begin() + 5760);
  EXPECT_EQ(output(frame), 5760u);
  EXPECT_EQ(staging.staged_bytes, 5760);
  frame.assign(all.begin() + 5760, all.begin() + 11520);
  EXPECT_EQ(output(frame), 11520u);
  EXPECT_EQ(device_log().writes.size(), 6u);
  frame.assign(all.begin() + 11520, all.end());
  EXPECT_EQ(output(frame), 896u);
  EXPECT_EQ(staging.staged_bytes, 896);
  WaveOutScriptLog log = device_log();
  ASSERT_EQ(log.writes.size(), 7u);
  EXPECT_EQ(log.writes[6].bytes, std::vector<uint8_t>(all.begin(), all.begin() + kBuffer));
}

TEST_F(PlayerTest, AnExactlyFullStagingBufferWaitsForTheNextCall) {
  ASSERT_EQ(wave_out_init(48000), 0);
  std::vector<uint8_t> all = stream_bytes(kBuffer + 4, 4);
  EXPECT_EQ(output(std::vector<uint8_t>(all.begin(), all.begin() + 8192)), 8192u);
  EXPECT_EQ(output(std::vector<uint8_t>(all.begin() + 8192, all.begin() + kBuffer)), kBuffer);
  EXPECT_EQ(device_log().writes.size(), 6u);
  EXPECT_EQ(output(std::vector<uint8_t>(all.begin() + kBuffer, all.end())), 4u);
  WaveOutScriptLog log = device_log();
  ASSERT_EQ(log.writes.size(), 7u);
  EXPECT_EQ(log.writes[6].bytes, std::vector<uint8_t>(all.begin(), all.begin() + kBuffer));
}

// Hand-overs of any length, longer than two buffers too, reach the device in
// order, and a draining stop plays the last partial buffer.
TEST_F(PlayerTest, EveryByteHandedOverIsPlayedInOrder) {
  ASSERT_EQ(wave_out_init(44100), 0);
  std::vector<uint8_t> all = stream_bytes(400000, 5);
  const size_t sizes[] = {5292, 0, 40000, 16384, 3, 1, 11000, 7680, 100000, 4};
  size_t at = 0;
  for (int round = 0; at < all.size(); ++round) {
    size_t n = std::min(sizes[round % 10], all.size() - at);
    uint32_t staged = output(std::vector<uint8_t>(all.begin() + at, all.begin() + at + n));
    at += n;
    size_t queued = (device_log().writes.size() - 6) * kBuffer;
    ASSERT_EQ(staged, at - queued) << "after " << at << " bytes";
    ASSERT_TRUE(at == 0 || (staged > 0 && staged <= kBuffer));
  }
  ASSERT_EQ(at % 4, 0u);
  EXPECT_EQ(wave_out_wrapup(0), 24);
  WaveOutScriptLog log = device_log();
  std::vector<uint8_t> expected(6 * kBuffer, 0);
  expected.insert(expected.end(), all.begin(), all.end());
  EXPECT_EQ(log.played.size(), expected.size());
  EXPECT_TRUE(log.played == expected);
  EXPECT_EQ(log.writes.back().bytes.size(), all.size() % kBuffer);

  // The record still shows what was staged; the player does not bring those
  // bytes back after a new start.
  EXPECT_NE(staging.staged_bytes, 0);
  ASSERT_EQ(wave_out_init(44100), 0);
  EXPECT_EQ(output(stream_bytes(100, 6)), 100u);
}

TEST_F(PlayerTest, ADeviceThatStopsCompletingTimesOutAfterFifteenSeconds) {
  script.pace = WAVEOUT_PACE_NEVER;
  uint32_t start = platform_time_ms();
  start_and_fill_ring();
  EXPECT_EQ(platform_time_ms() - start, 0u);  // buffers 6 to 23 were free

  std::vector<uint8_t> pcm = stream_bytes(kBuffer, 7);
  testing::internal::CaptureStdout();
  start = platform_time_ms();
  EXPECT_EQ(wave_out_dataout(pcm.data()), -1);
  uint32_t waited = platform_time_ms() - start;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n Error: timeout on waveout device\n");
  EXPECT_GT(waited, 15000u);
  EXPECT_LE(waited, 15100u);
  EXPECT_EQ(player_is_open(), 0);
  std::vector<std::string> calls = device_log().calls;
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "reset");
  EXPECT_EQ(calls.back(), "close");

  // The stopped player touches nothing and waits for nothing.
  start = platform_time_ms();
  EXPECT_EQ(wave_out_dataout(pcm.data()), -1);
  staging.staged_bytes = 5760;
  EXPECT_EQ(output(pcm), 0u);
  EXPECT_EQ(staging.staged_bytes, 0);
  EXPECT_EQ(wave_out_restart(), -3);
  EXPECT_EQ(wave_out_wrapup(0), 24);
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(platform_time_ms() - start, 0u);
  EXPECT_EQ(device_log().calls, calls);
}

TEST_F(PlayerTest, ATimeOutWhileCollectingStopsTheCollection) {
  script.pace = WAVEOUT_PACE_NEVER;
  start_and_fill_ring();
  testing::internal::CaptureStdout();
  EXPECT_EQ(output(stream_bytes(3 * kBuffer, 8)), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n Error: timeout on waveout device\n");
  EXPECT_EQ(staging.staged_bytes, 0);
  EXPECT_EQ(player_is_open(), 0);
}

TEST_F(PlayerTest, StopAtOnceDoesNotWaitForQueuedAudio) {
  script.pace = WAVEOUT_PACE_CLOCK;
  start_and_fill_ring();
  int unprepares = device_log().unprepares;
  uint32_t start = platform_time_ms();
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(platform_time_ms() - start, 0u);
  WaveOutScriptLog log = device_log();
  EXPECT_EQ(log.played_buffers, 0);
  EXPECT_EQ(std::vector<std::string>(log.calls.end() - 2, log.calls.end()),
            (std::vector<std::string>{"reset", "close"}));
  EXPECT_EQ(log.unprepares - unprepares, 24);
  EXPECT_EQ(player_is_open(), 0);
}

TEST_F(PlayerTest, DrainingStopWaitsUntilEveryBufferWasPlayed) {
  script.pace = WAVEOUT_PACE_CLOCK;
  start_and_fill_ring();
  uint32_t start = platform_time_ms();
  EXPECT_EQ(wave_out_wrapup(0), 24);
  uint32_t waited = platform_time_ms() - start;
  WaveOutScriptLog log = device_log();
  EXPECT_EQ(log.played_buffers, 24);  // all played before the reset
  EXPECT_GE(waited, 2048u);           // 24 buffers of 85.3 ms
  EXPECT_LT(waited, 2048u + 400u);
  EXPECT_EQ(log_text(), "");

  // Even with nothing queued the drain takes one look of 200 ms.
  ASSERT_EQ(wave_out_init(48000), 0);
  platform_sleep_ms(1000);
  start = platform_time_ms();
  EXPECT_EQ(wave_out_wrapup(0), 24);
  EXPECT_EQ(platform_time_ms() - start, 200u);
}

TEST_F(PlayerTest, DrainingStopGivesUpOnADeviceThatNeverFinishes) {
  script.pace = WAVEOUT_PACE_NEVER;
  ASSERT_EQ(wave_out_init(48000), 0);
  uint32_t start = platform_time_ms();
  EXPECT_EQ(wave_out_wrapup(0), 24);
  uint32_t waited = platform_time_ms() - start;
  EXPECT_GT(waited, 2048u + 15000u);
  EXPECT_LE(waited, 2048u + 15000u + 200u);
  EXPECT_EQ(log_text(), "Wave out drain gave up after 17200 ms: 18 of 24 buffers played\n");
  EXPECT_EQ(player_is_open(), 0);
  EXPECT_EQ(device_log().calls.back(), "close");
}

TEST_F(PlayerTest, ARateTheDeviceCannotPlayFailsBeforeAnyOpen) {
  script.min_rate = 44100;
  script.max_rate = 48000;
  EXPECT_EQ(wave_out_init(32000), -1);
  EXPECT_EQ(device_log().calls, (std::vector<std::string>{"query 32000"}));
  EXPECT_EQ(log_text(), "Unsupported waveform format/rate: 32");
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(wave_out_init(-44100), -1);
  EXPECT_EQ(device_log().calls, (std::vector<std::string>{"query 32000", "query 4294923196"}));
}

TEST_F(PlayerTest, ARingTheDeviceCannotHoldIsRefused) {
  wave_out_buffers = 65;
  EXPECT_EQ(wave_out_init(48000), -1);
  wave_out_buffers = 0;
  EXPECT_EQ(wave_out_init(48000), -1);
  wave_out_buffers = 24;
  wave_out_buffer_bytes = 1002;
  EXPECT_EQ(wave_out_init(48000), -1);
  EXPECT_TRUE(device_log().calls.empty());
  EXPECT_EQ(log_text(),
            "Unsupported wave out ring: 65 buffers of 16384 bytes\n"
            "Unsupported wave out ring: 0 buffers of 16384 bytes\n"
            "Unsupported wave out ring: 24 buffers of 1002 bytes\n");
}

TEST_F(PlayerTest, FailedStartsReleaseOnlyWhatExists) {
  script.open = {1, 1, MMSYSERR_ALLOCATED};
  script.reset = {1, 1, MMSYSERR_ERROR};
  script.write = {3, 1, 0x21};
  EXPECT_EQ(wave_out_init(48000), -2);  // open fails
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(device_log().calls, (std::vector<std::string>{"query 48000", "open 48000"}));

  EXPECT_EQ(wave_out_init(48000), -2);  // reset fails: no message, the device stays open
  EXPECT_EQ(player_is_open(), 1);
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(player_is_open(), 0);
  EXPECT_EQ(device_log().calls,
            (std::vector<std::string>{"query 48000", "open 48000", "query 48000", "open 48000",
                                      "reset", "reset", "close"}));

  EXPECT_EQ(wave_out_init(48000), -3);  // the third pre-roll buffer cannot be queued
  EXPECT_EQ(device_log().writes.size(), 2u);
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(device_log().calls.back(), "close");
  EXPECT_EQ(log_text(),
            "Unable to open waveform output device: 4\n"
            "Error on write to wave out device: 33\n");
}

TEST_F(PlayerTest, PauseAndResumeFailuresAtTheStartAreLoggedOnly) {
  script.pause = {1, 1, 0x1A};
  script.restart = {1, 1, 0x1B};
  EXPECT_EQ(wave_out_init(48000), 0);
  EXPECT_EQ(log_text(),
            "Error on pause of wave out device: 1a\n"
            "Error on restart of wave out device: 1b\n");
}

TEST_F(PlayerTest, APrepareFailureAtTheStartLeavesTheBufferUnqueued) {
  script.prepare = {2, 1, 0x2A};
  EXPECT_EQ(wave_out_init(48000), -3);
  EXPECT_EQ(log_text(),
            "Error on prepare to wave out device: 2a\n"
            "Error on write to wave out device: 34\n");
}

TEST_F(PlayerTest, AFailedQueueKeepsTheRingPosition) {
  script.write = {7, 1, 0x21};
  script.prepare = {8, 1, 0x2B};
  script.unprepare = {3, 1, 0x2C};
  ASSERT_EQ(wave_out_init(48000), 0);
  std::vector<uint8_t> first = stream_bytes(kBuffer, 9);
  std::vector<uint8_t> second = stream_bytes(kBuffer, 10);
  EXPECT_EQ(wave_out_dataout(first.data()), -1);  // the write fails
  EXPECT_EQ(player_ring_position(), 6);
  EXPECT_EQ(wave_out_dataout(first.data()), -1);  // the prepare fails
  EXPECT_EQ(wave_out_dataout(first.data()), -1);  // the unprepare fails
  EXPECT_EQ(player_ring_position(), 6);
  EXPECT_EQ(wave_out_dataout(second.data()), 0);
  EXPECT_EQ(player_ring_position(), 7);
  WaveOutScriptLog log = device_log();
  ASSERT_EQ(log.writes.size(), 7u);
  EXPECT_EQ(log.writes[6].header, player_header(6));
  EXPECT_EQ(log.writes[6].bytes, second);
  EXPECT_EQ(log_text(),
            "Error on write to wave out device: 21\n"
            "Error on prepare to wave out device: 2b\n"
            "Error on unprepare to wave out device: 2c\n");
}

TEST_F(PlayerTest, RestartGoesBackToTheJustStartedState) {
  EXPECT_EQ(wave_out_restart(), -3);  // nothing to restart
  EXPECT_TRUE(device_log().calls.empty());
  script.pace = WAVEOUT_PACE_NEVER;
  ASSERT_EQ(wave_out_init(48000), 0);
  std::vector<uint8_t> pcm = stream_bytes(kBuffer + 100, 11);
  EXPECT_EQ(output(pcm), 100u);
  size_t calls_before = device_log().calls.size();
  EXPECT_EQ(wave_out_restart(), 0);
  EXPECT_EQ(player_ring_position(), 6);
  EXPECT_EQ(player_staged_bytes(), 0u);
  WaveOutScriptLog log = device_log();
  EXPECT_EQ(std::vector<std::string>(log.calls.begin() + static_cast<long>(calls_before),
                                     log.calls.end()),
            joined({{"reset"}, repeated("write", 6), {"restart"}}));
  ASSERT_EQ(log.writes.size(), 13u);
  EXPECT_EQ(log.writes[7].header, player_header(0));
  EXPECT_EQ(log.writes[7].bytes, std::vector<uint8_t>(kBuffer, 0));
  EXPECT_EQ(log.writes[12].header, player_header(5));
}

TEST_F(PlayerTest, AnUnexpectedDeviceMessageIsLogged) {
  script.extra_message = 0x3FF;
  ASSERT_EQ(wave_out_init(48000), 0);
  EXPECT_EQ(wave_out_wrapup(1), 24);
  EXPECT_EQ(log_text(), "callback msg: 1023\n");
  EXPECT_EQ(device_log().callback_threads_differ, 1);
}

TEST_F(PlayerTest, StartingAgainWithoutAStopClosesTheFirstDevice) {
  ASSERT_EQ(wave_out_init(48000), 0);
  ASSERT_EQ(wave_out_init(44100), 0);
  std::vector<std::string> calls = device_log().calls;
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "close"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "open 44100"), 1);
}

TEST_F(PlayerTest, TheNullOutputPlaysAtThePaceOfTheClock) {
  ASSERT_EQ(waveout_select("null"), 0);
  start_and_fill_ring();
  // Buffer 0, queued at the start, is played after 85.3 ms: one look of 100 ms.
  std::vector<uint8_t> pcm = stream_bytes(kBuffer, 12);
  uint32_t start = platform_time_ms();
  EXPECT_EQ(wave_out_dataout(pcm.data()), 0);
  EXPECT_EQ(platform_time_ms() - start, 100u);
  // Buffer 1 is played after 170.7 ms, buffer 2 after 256 ms.
  EXPECT_EQ(wave_out_dataout(pcm.data()), 0);
  EXPECT_EQ(platform_time_ms() - start, 200u);
  EXPECT_EQ(wave_out_dataout(pcm.data()), 0);
  EXPECT_EQ(platform_time_ms() - start, 300u);
}

// ALSA plays in real time whatever the clock: the simulated waits of the
// player must not run out before it has played.
TEST_F(PlayerTest, AlsaPlaysUnderTheSimulatedClock) {
  ASSERT_EQ(waveout_select("alsa:null"), 0);
  ASSERT_EQ(wave_out_init(48000), 0);
  std::vector<uint8_t> pcm = stream_bytes(40 * 5760, 14);
  testing::internal::CaptureStdout();
  for (size_t at = 0; at < pcm.size(); at += 5760) output_waveout(pcm.data() + at, 5760, &staging);
  EXPECT_EQ(wave_out_wrapup(0), 24);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log_text(), "");
}

TEST_F(PlayerTest, NoOutputPlaysNothing) {
  ASSERT_EQ(waveout_select("none"), 0);
  EXPECT_EQ(wave_out_init(48000), -1);
  EXPECT_EQ(log_text(), "Unsupported waveform format/rate: 32");
}

// The file output holds exactly what was played: each start's silent
// pre-roll followed by every byte handed over, the last partial buffer too.
TEST_F(PlayerTest, TheFileOutputRecordsEveryStartOfTheRun) {
  std::string path = dir.file("played.wav");
  ASSERT_EQ(waveout_select(("file:" + path).c_str()), 0);
  std::vector<uint8_t> expected;
  for (int track = 0; track < 2; ++track) {
    staging.staged_bytes = 0;
    ASSERT_EQ(wave_out_init(44100), 0);
    std::vector<uint8_t> pcm = stream_bytes(5292 * (track == 0 ? 10 : 7), 13 + track);
    for (size_t at = 0; at < pcm.size(); at += 5292)
      output_waveout(pcm.data() + at, 5292, &staging);
    EXPECT_EQ(wave_out_wrapup(0), 24);
    expected.insert(expected.end(), 6 * kBuffer, 0);
    expected.insert(expected.end(), pcm.begin(), pcm.end());
  }
  std::string wav = read_file(path);
  ASSERT_EQ(wav.size(), 44 + expected.size());
  std::string header(44, '\0');
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) header[at + i] = static_cast<char>(v >> (8 * i));
  };
  header.replace(0, 4, "RIFF");
  put(4, static_cast<uint32_t>(36 + expected.size()), 4);
  header.replace(8, 8, "WAVEfmt ");
  put(16, 16, 4);
  put(20, 1, 2);
  put(22, 2, 2);
  put(24, 44100, 4);
  put(28, 176400, 4);
  put(32, 4, 2);
  put(34, 16, 2);
  header.replace(36, 4, "data");
  put(40, static_cast<uint32_t>(expected.size()), 4);
  EXPECT_EQ(wav.substr(0, 44), header);
  EXPECT_TRUE(wav.compare(44, std::string::npos, std::string(expected.begin(), expected.end())) ==
              0);
  // The file has one rate; a start at another cannot be played into it.
  EXPECT_EQ(wave_out_init(48000), -1);
}

}  // namespace
