// SPDX-License-Identifier: MIT
// Inside the wave-out device: the record behind a HWAVEOUT, shared by the
// outputs in waveout_device.cpp and the ALSA output in waveout_alsa.cpp.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/waveout.h"
#include "platform/waveout_script.h"

enum class WaveOutKind { alsa, file, null_sink, none, script, unknown };

struct WaveOutQueued {
  WAVEHDR* header;
  int64_t queued_us;  // device time of the waveOutWrite
};

// A buffer handed on in full to ALSA, done once ALSA has played end_frame.
struct WaveOutHanded {
  WAVEHDR* header;
  uint64_t end_frame;
};

struct WaveOutNotice {
  uint32_t message;
  uintptr_t param;
};

struct WaveOutAlsa;

struct WaveOutDevice {
  WaveOutKind kind;
  WAVEFORMATEX format;
  WaveOutProc callback;
  uintptr_t instance;
  std::thread::id caller;  // the thread that opened the device

  // Everything below is guarded by mutex, except where said.
  std::mutex mutex;
  std::condition_variable wake;        // the device thread waits on it for events
  std::condition_variable caught_up;   // clock watchers wait on it for served
  std::deque<WaveOutQueued> queue;     // queued, not yet played; the first is playing
  std::deque<WaveOutHanded> handed;    // ALSA: handed on, not yet heard
  uint32_t head_offset = 0;            // ALSA: bytes of the first queued buffer handed on
  std::vector<WaveOutNotice> notices;  // callbacks still to make, in order
  bool paused = false;
  bool closing = false;
  bool exited = false;          // the device thread has ended
  bool drop_requested = false;  // a reset asks the device thread to drop what it holds
  uint64_t resets = 0;
  uint64_t events = 0;  // changes the device thread has to look at
  uint64_t served = 0;  // events as of the last pass of the device thread
  std::thread thread;

  // Pace of the platform clock (file, null, script).
  uint32_t origin_ms = 0;
  int64_t cursor_us = 0;      // when the buffer played last was done
  int64_t resumed_us = 0;     // when playback was last resumed
  int64_t head_due_us = -1;   // when the playing buffer is done; -1: not started
  int64_t head_left_us = -1;  // what a paused buffer had left to play; -1: all
  WaveOutPace pace = WAVEOUT_PACE_CLOCK;
  bool broken = false;  // the output failed; nothing more is played

  FILE* file = nullptr;  // file output
  std::string file_path;
  WaveOutScript* script = nullptr;
  WaveOutAlsa* alsa = nullptr;
};

// Marks a queued header done and notes its WOM_DONE. mutex held.
void waveout_mark_done(WaveOutDevice* device, WAVEHDR* header);
// Makes the callbacks noted so far, without holding the mutex.
void waveout_deliver_notices(WaveOutDevice* device, std::unique_lock<std::mutex>& lock);
// Sets the text of waveout_last_error.
void waveout_set_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The ALSA output.
MMRESULT waveout_alsa_query(const char* name, const WAVEFORMATEX* format);
MMRESULT waveout_alsa_open(WaveOutDevice* device, const char* name);
void waveout_alsa_run(WaveOutDevice* device);
void waveout_alsa_close(WaveOutDevice* device);
