// SPDX-License-Identifier: MIT
// The wave-out device's contract, on the outputs that keep pace with the
// simulated platform clock.
#include "platform/waveout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/waveout_script.h"
#include "tests/support/temp_dir.h"

namespace {

// The clock reads KESTREL_CLOCK at its first use, which comes after this.
const bool kSimulatedClock = setenv("KESTREL_CLOCK", "simulated", 1) == 0;

WAVEFORMATEX pcm_format(uint32_t rate, uint16_t channels = 2, uint16_t bits = 16) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  f.wBitsPerSample = bits;
  return f;
}

struct Buffer {
  std::vector<char> bytes;
  WAVEHDR header{};
  Buffer(size_t n, char fill) : bytes(n, fill) {
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<uint32_t>(n);
    header.dwFlags.store(WHDR_DONE);
  }
};

struct Callbacks {
  std::mutex lock;
  std::vector<uint32_t> messages;
  std::vector<uintptr_t> params;
  bool on_caller_thread = false;
  std::thread::id caller = std::this_thread::get_id();
};

void note_callback(HWAVEOUT, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t) {
  auto* c = reinterpret_cast<Callbacks*>(instance);
  std::lock_guard<std::mutex> guard(c->lock);
  c->messages.push_back(message);
  c->params.push_back(param1);
  if (std::this_thread::get_id() == c->caller) c->on_caller_thread = true;
}

class WaveOutDeviceTest : public testing::Test {
 protected:
  void TearDown() override { waveout_select(nullptr); }

  HWAVEOUT open(uint32_t rate) {
    rate_ = rate;
    WAVEFORMATEX f = pcm_format(rate);
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &f, note_callback,
                          reinterpret_cast<uintptr_t>(&callbacks), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    return device;
  }
  // Prepares and queues a buffer of ms milliseconds at the rate of the last open.
  Buffer* queue(HWAVEOUT device, uint32_t ms, char fill) {
    buffers.push_back(std::make_unique<Buffer>(rate_ * 4 * ms / 1000, fill));
    Buffer* b = buffers.back().get();
    EXPECT_EQ(waveOutPrepareHeader(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(device, &b->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    return b;
  }
  static MMRESULT query(const WAVEFORMATEX& f) {
    return waveOutOpen(nullptr, WAVE_MAPPER, &f, nullptr, 0, WAVE_FORMAT_QUERY);
  }

  uint32_t rate_ = 48000;
  Callbacks callbacks;
  WaveOutScript script;
  std::vector<std::unique_ptr<Buffer>> buffers;
};

TEST_F(WaveOutDeviceTest, QueryTellsInAdvanceWhatCanBePlayed) {
  ASSERT_TRUE(kSimulatedClock);
  ASSERT_EQ(waveout_select("null"), 0);
  EXPECT_EQ(query(pcm_format(48000)), MMSYSERR_NOERROR);
  EXPECT_EQ(query(pcm_format(32000)), MMSYSERR_NOERROR);
  EXPECT_EQ(query(pcm_format(48000, 1)), WAVERR_BADFORMAT);
  EXPECT_EQ(query(pcm_format(48000, 2, 8)), WAVERR_BADFORMAT);
  EXPECT_EQ(query(pcm_format(0)), WAVERR_BADFORMAT);

  ASSERT_EQ(waveout_select("none"), 0);
  EXPECT_EQ(query(pcm_format(48000)), WAVERR_BADFORMAT);
  HWAVEOUT device = nullptr;
  WAVEFORMATEX f = pcm_format(48000);
  EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &f, note_callback, 0, CALLBACK_FUNCTION),
            WAVERR_BADFORMAT);
  EXPECT_EQ(device, nullptr);

  script.min_rate = 44100;
  script.max_rate = 48000;
  waveout_select_script(&script);
  EXPECT_EQ(query(pcm_format(44100)), MMSYSERR_NOERROR);
  EXPECT_EQ(query(pcm_format(32000)), WAVERR_BADFORMAT);
  EXPECT_EQ(waveout_script_log(&script).calls,
            (std::vector<std::string>{"query 44100", "query 32000"}));
}

TEST_F(WaveOutDeviceTest, AnUnknownOutputFailsToOpenAndSaysWhy) {
  EXPECT_EQ(waveout_select("speaker"), -1);
  EXPECT_EQ(query(pcm_format(48000)), MMSYSERR_NOERROR);
  HWAVEOUT device = nullptr;
  WAVEFORMATEX f = pcm_format(48000);
  EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &f, note_callback, 0, CALLBACK_FUNCTION),
            MMSYSERR_BADDEVICEID);
  EXPECT_NE(std::string(waveout_last_error()).find("speaker"), std::string::npos);
}

TEST_F(WaveOutDeviceTest, BuffersPlayInOrderAtThePaceOfTheClock) {
  script.pace = WAVEOUT_PACE_CLOCK;
  waveout_select_script(&script);
  HWAVEOUT device = open(48000);
  ASSERT_NE(device, nullptr);
  Buffer* a = queue(device, 100, 'a');
  Buffer* b = queue(device, 50, 'b');
  Buffer* c = queue(device, 100, 'c');
  EXPECT_FALSE(waveout_header_done(&a->header));
  platform_sleep_ms(99);
  EXPECT_FALSE(waveout_header_done(&a->header));
  platform_sleep_ms(1);
  EXPECT_TRUE(waveout_header_done(&a->header));
  EXPECT_FALSE(waveout_header_done(&b->header));
  platform_sleep_ms(50);
  EXPECT_TRUE(waveout_header_done(&b->header));
  EXPECT_FALSE(waveout_header_done(&c->header));
  platform_sleep_ms(100);
  EXPECT_TRUE(waveout_header_done(&c->header));
  // A buffer queued after the device ran dry plays from then on.
  platform_sleep_ms(1000);
  Buffer* d = queue(device, 10, 'd');
  platform_sleep_ms(9);
  EXPECT_FALSE(waveout_header_done(&d->header));
  platform_sleep_ms(1);
  EXPECT_TRUE(waveout_header_done(&d->header));
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

  WaveOutScriptLog log = waveout_script_log(&script);
  std::string played(log.played.begin(), log.played.end());
  EXPECT_EQ(played, std::string(19200, 'a') + std::string(9600, 'b') + std::string(19200, 'c') +
                        std::string(1920, 'd'));
  EXPECT_EQ(log.played_buffers, 4);
  std::lock_guard<std::mutex> guard(callbacks.lock);
  EXPECT_EQ(callbacks.messages,
            (std::vector<uint32_t>{WOM_OPEN, WOM_DONE, WOM_DONE, WOM_DONE, WOM_DONE, WOM_CLOSE}));
  EXPECT_EQ(callbacks.params[1], reinterpret_cast<uintptr_t>(&a->header));
  EXPECT_EQ(callbacks.params[4], reinterpret_cast<uintptr_t>(&d->header));
  EXPECT_FALSE(callbacks.on_caller_thread);
}

TEST_F(WaveOutDeviceTest, PauseHoldsPlaybackWhereItStood) {
  script.pace = WAVEOUT_PACE_CLOCK;
  waveout_select_script(&script);
  HWAVEOUT device = open(48000);
  ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
  Buffer* a = queue(device, 100, 'a');
  platform_sleep_ms(500);
  EXPECT_FALSE(waveout_header_done(&a->header));
  ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
  platform_sleep_ms(60);
  ASSERT_EQ(waveOutPause(device), MMSYSERR_NOERROR);
  platform_sleep_ms(500);
  EXPECT_FALSE(waveout_header_done(&a->header));
  ASSERT_EQ(waveOutRestart(device), MMSYSERR_NOERROR);
  platform_sleep_ms(39);
  EXPECT_FALSE(waveout_header_done(&a->header));
  platform_sleep_ms(1);
  EXPECT_TRUE(waveout_header_done(&a->header));
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveOutDeviceTest, ResetReturnsEveryQueuedBuffer) {
  script.pace = WAVEOUT_PACE_NEVER;
  waveout_select_script(&script);
  HWAVEOUT device = open(48000);
  Buffer never_prepared(192, 'x');
  EXPECT_EQ(waveOutWrite(device, &never_prepared.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
  EXPECT_EQ(waveOutUnprepareHeader(device, &never_prepared.header, sizeof(WAVEHDR)),
            MMSYSERR_NOERROR);
  Buffer odd(190, 'x');
  ASSERT_EQ(waveOutPrepareHeader(device, &odd.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutWrite(device, &odd.header, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);

  Buffer* a = queue(device, 10, 'a');
  Buffer* b = queue(device, 10, 'b');
  EXPECT_EQ(waveOutWrite(device, &a->header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  platform_sleep_ms(60000);
  EXPECT_FALSE(waveout_header_done(&a->header));
  EXPECT_EQ(waveOutUnprepareHeader(device, &a->header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);

  ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
  EXPECT_TRUE(waveout_header_done(&a->header));
  EXPECT_TRUE(waveout_header_done(&b->header));
  EXPECT_EQ(waveOutUnprepareHeader(device, &a->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(waveout_script_log(&script).played_buffers, 0);
  std::lock_guard<std::mutex> guard(callbacks.lock);
  EXPECT_EQ(callbacks.messages, (std::vector<uint32_t>{WOM_OPEN, WOM_DONE, WOM_DONE, WOM_CLOSE}));
}

TEST_F(WaveOutDeviceTest, BuffersCompleteOnRequest) {
  script.pace = WAVEOUT_PACE_ON_REQUEST;
  waveout_select_script(&script);
  HWAVEOUT device = open(48000);
  Buffer* a = queue(device, 10, 'a');
  Buffer* b = queue(device, 10, 'b');
  platform_sleep_ms(100);
  EXPECT_FALSE(waveout_header_done(&a->header));
  waveout_script_complete(&script, 1);
  platform_sleep_ms(1);
  EXPECT_TRUE(waveout_header_done(&a->header));
  EXPECT_FALSE(waveout_header_done(&b->header));
  ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

// The WAV file as it stands: header fields and data.
struct WavFile {
  std::string riff, wave, fmt, data_id;
  uint32_t riff_size = 0, fmt_size = 0, rate = 0, bytes_per_second = 0, data_size = 0;
  uint16_t tag = 0, channels = 0, align = 0, bits = 0;
  std::string data;
};

uint32_t le(const std::string& s, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

WavFile read_wav(const std::string& path) {
  std::string s = read_file(path);
  WavFile w;
  if (s.size() < 44) return w;
  w.riff = s.substr(0, 4);
  w.riff_size = le(s, 4, 4);
  w.wave = s.substr(8, 4);
  w.fmt = s.substr(12, 4);
  w.fmt_size = le(s, 16, 4);
  w.tag = static_cast<uint16_t>(le(s, 20, 2));
  w.channels = static_cast<uint16_t>(le(s, 22, 2));
  w.rate = le(s, 24, 4);
  w.bytes_per_second = le(s, 28, 4);
  w.align = static_cast<uint16_t>(le(s, 32, 2));
  w.bits = static_cast<uint16_t>(le(s, 34, 2));
  w.data_id = s.substr(36, 4);
  w.data_size = le(s, 40, 4);
  w.data = s.substr(44);
  return w;
}

TEST_F(WaveOutDeviceTest, FileOutputHoldsEverythingPlayedAcrossOpens) {
  TempDir dir;
  std::string path = dir.file("played.wav");
  ASSERT_EQ(waveout_select(("file:" + path).c_str()), 0);
  HWAVEOUT device = open(44100);
  ASSERT_NE(device, nullptr);
  queue(device, 10, 'a');
  Buffer* b = queue(device, 10, 'b');
  platform_sleep_ms(10);
  // The header is kept valid while the device plays.
  WavFile w = read_wav(path);
  EXPECT_EQ(w.data_size, 1764u);
  EXPECT_EQ(w.data, std::string(1764, 'a'));
  platform_sleep_ms(10);
  EXPECT_TRUE(waveout_header_done(&b->header));
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

  // A second open adds to the same file; what a reset returned was not played.
  device = open(44100);
  ASSERT_NE(device, nullptr);
  HWAVEOUT second = nullptr;
  WAVEFORMATEX f = pcm_format(44100);
  EXPECT_EQ(waveOutOpen(&second, WAVE_MAPPER, &f, note_callback, 0, CALLBACK_FUNCTION),
            MMSYSERR_ALLOCATED);
  queue(device, 10, 'x');
  ASSERT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
  queue(device, 20, 'c');
  platform_sleep_ms(20);
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  // The file has one rate: another cannot be played into it.
  EXPECT_EQ(query(pcm_format(48000)), WAVERR_BADFORMAT);
  EXPECT_EQ(query(pcm_format(44100)), MMSYSERR_NOERROR);

  w = read_wav(path);
  EXPECT_EQ(w.riff, "RIFF");
  EXPECT_EQ(w.wave, "WAVE");
  EXPECT_EQ(w.fmt, "fmt ");
  EXPECT_EQ(w.fmt_size, 16u);
  EXPECT_EQ(w.tag, 1);
  EXPECT_EQ(w.channels, 2);
  EXPECT_EQ(w.rate, 44100u);
  EXPECT_EQ(w.bytes_per_second, 176400u);
  EXPECT_EQ(w.align, 4);
  EXPECT_EQ(w.bits, 16);
  EXPECT_EQ(w.data_id, "data");
  EXPECT_EQ(w.data, std::string(1764, 'a') + std::string(1764, 'b') + std::string(3528, 'c'));
  EXPECT_EQ(w.data_size, w.data.size());
  EXPECT_EQ(w.riff_size, w.data.size() + 36);
}

TEST_F(WaveOutDeviceTest, AFileThatCannotBeCreatedFailsTheOpen) {
  ASSERT_EQ(waveout_select("file:/nonexistent-folder/played.wav"), 0);
  HWAVEOUT device = nullptr;
  WAVEFORMATEX f = pcm_format(48000);
  EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &f, note_callback, 0, CALLBACK_FUNCTION),
            MMSYSERR_ERROR);
  EXPECT_EQ(device, nullptr);
  EXPECT_NE(std::string(waveout_last_error()).find("/nonexistent-folder/played.wav"),
            std::string::npos);
}

}  // namespace
