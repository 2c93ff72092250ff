// SPDX-License-Identifier: MIT
// The wave-out device: PCM buffers queued on an output and played strictly in
// order, each marked done when it has been played. Which output plays is
// chosen by KESTREL_WAVEOUT (see waveout_select):
//   unset        ALSA device "default"
//   alsa:NAME    ALSA device NAME
//   file:PATH    one 16-bit stereo WAV file holding everything played during
//                the run, across every open; plays at the pace of the platform
//                clock
//   null         plays into nothing, at the pace of the platform clock
//   none         no format can be played
// A test can put a scripted device in its place (platform/waveout_script.h).
//
// Threads: every call below is made from one thread (the caller's). The
// device plays on a thread of its own and calls the callback there. The only
// state it shares with the caller is a queued header's dwFlags, which it
// changes with release ordering: a caller that sees WHDR_DONE with
// waveout_header_done also sees that the device is finished with the buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

typedef uint32_t MMRESULT;

// Results.
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34

// Device identifiers and open flags.
#define WAVE_MAPPER 0xFFFFFFFFu
#define WAVE_FORMAT_QUERY 0x00000001u
#define CALLBACK_FUNCTION 0x00030000u
#define WAVE_FORMAT_PCM 1

// Header flags.
#define WHDR_DONE 0x00000001u
#define WHDR_PREPARED 0x00000002u
#define WHDR_INQUEUE 0x00000010u

// Callback messages.
#define WOM_OPEN 0x3BB
#define WOM_CLOSE 0x3BC
#define WOM_DONE 0x3BD

struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12);
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEX) == 20);  // two bytes of tail padding

// One buffer. The caller owns it; from waveOutWrite until WHDR_DONE is set
// the device reads lpData and changes dwFlags.
struct WAVEHDR {
  char* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uintptr_t dwUser;
  std::atomic<uint32_t> dwFlags;
  uint32_t dwLoops;
  WAVEHDR* lpNext;
  uintptr_t reserved;
};
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);
static_assert(offsetof(WAVEHDR, dwBufferLength) == 8);
static_assert(offsetof(WAVEHDR, dwUser) == 16);
static_assert(offsetof(WAVEHDR, dwFlags) == 24);
static_assert(offsetof(WAVEHDR, dwLoops) == 28);
static_assert(offsetof(WAVEHDR, lpNext) == 32);
static_assert(sizeof(WAVEHDR) == 48);

struct WaveOutDevice;
typedef WaveOutDevice* HWAVEOUT;

// Called on the device's thread with WOM_OPEN, WOM_DONE (param1: the header)
// and WOM_CLOSE. It must not call the functions below.
typedef void (*WaveOutProc)(HWAVEOUT device, uint32_t message, uintptr_t instance, uintptr_t param1,
                            uintptr_t param2);

// 1 when the device has finished with a header (acquire: its reads of the
// buffer happened before).
inline int waveout_header_done(const WAVEHDR* header) {
  return (header->dwFlags.load(std::memory_order_acquire) & WHDR_DONE) ? 1 : 0;
}

// With WAVE_FORMAT_QUERY (device null, callback null): 0 when the chosen
// output can play the format. With CALLBACK_FUNCTION: opens the output for
// the format and stores the device in *device. device_id is WAVE_MAPPER or 0.
MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t device_id, const WAVEFORMATEX* format,
                     WaveOutProc callback, uintptr_t instance, uint32_t flags);
// Holds playback; queued buffers wait.
MMRESULT waveOutPause(HWAVEOUT device);
// Resumes playback after waveOutPause.
MMRESULT waveOutRestart(HWAVEOUT device);
// Stops playback and marks every queued buffer done.
MMRESULT waveOutReset(HWAVEOUT device);
// Marks a header prepared; size is sizeof(WAVEHDR).
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t size);
// Clears the prepared mark; fails with WAVERR_STILLPLAYING while the header is
// queued. A header that was never prepared succeeds.
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t size);
// Queues a prepared header (dwBufferLength bytes, whole 4-byte frames) behind
// the others; clears WHDR_DONE.
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t size);
// Closes the device (WAVERR_STILLPLAYING while buffers are queued: reset first).
MMRESULT waveOutClose(HWAVEOUT device);

// Chooses the output for the following opens: a KESTREL_WAVEOUT value, or
// null for the variable itself (read at each call). Returns 0, or -1 for a
// value that names no output (opens then fail with MMSYSERR_BADDEVICEID).
int waveout_select(const char* setting);
// What the last failed open said about its output, e.g.
// "alsa:default: No such file or directory"; "" when there is nothing to say.
const char* waveout_last_error(void);
