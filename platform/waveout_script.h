// SPDX-License-Identifier: MIT
// A scripted wave-out device for tests: it completes buffers at a pace the
// test chooses, fails the calls the test names, and records what it was asked
// to do. The test owns the script and keeps it alive while the device is open.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/waveout.h"

enum WaveOutPace {
  WAVEOUT_PACE_AT_ONCE,     // a queued buffer is done as soon as the device thread sees it
  WAVEOUT_PACE_CLOCK,       // a buffer of d ms is done after d ms of platform clock
  WAVEOUT_PACE_ON_REQUEST,  // done one by one as waveout_script_complete allows
  WAVEOUT_PACE_NEVER,       // only waveOutReset returns buffers
};

// Calls number at, at + 1, ..., at + count - 1 (from 1) of one operation fail
// with result. at 0: none fails.
struct WaveOutFault {
  int at = 0;
  int count = 1;
  MMRESULT result = MMSYSERR_ERROR;
};

struct WaveOutScriptWrite {
  const WAVEHDR* header;
  std::vector<uint8_t> bytes;  // the buffer as it was queued
};

// What the device was asked to do and what it played.
struct WaveOutScriptLog {
  // "query RATE", "open RATE", "pause", "restart", "reset", "write", "close",
  // in the order of the calls (prepare and unprepare are only counted).
  std::vector<std::string> calls;
  std::vector<WaveOutScriptWrite> writes;
  std::vector<uint8_t> played;  // the bytes of every buffer played, in order
  int played_buffers = 0;
  int prepares = 0;
  int unprepares = 0;
  int callback_threads_differ = 1;  // 0 if a callback ran on the calling thread
};

struct WaveOutScript {
  // How the device behaves; set before the open.
  WaveOutPace pace = WAVEOUT_PACE_AT_ONCE;
  uint32_t min_rate = 8000;  // formats at other rates cannot be played
  uint32_t max_rate = 192000;
  WaveOutFault open, reset, pause, restart, prepare, unprepare, write;
  uint32_t extra_message = 0;  // sent to the callback after WOM_OPEN when non-zero

  // Buffers the device may still complete at WAVEOUT_PACE_ON_REQUEST.
  std::atomic<int> credits{0};

  // Kept by the device; read through waveout_script_log.
  std::mutex lock;
  WaveOutScriptLog log;
  int counts[7] = {};  // calls so far per operation, for the faults
};

// Every following open uses the script until waveout_select is called.
void waveout_select_script(WaveOutScript* script);
// Lets the device complete n more buffers (WAVEOUT_PACE_ON_REQUEST); they are
// done by the time the next sleep of the simulated platform clock returns.
void waveout_script_complete(WaveOutScript* script, int n);
// A copy of what the script recorded so far.
WaveOutScriptLog waveout_script_log(WaveOutScript* script);
