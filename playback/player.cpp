// SPDX-License-Identifier: MIT
// The wave-out player: a ring of PCM buffers fed to the wave-out device.
//
// The device marks each buffer done on its own thread; the player polls those
// flags from the caller's thread and shares nothing else with the device.
//
// Staging: the player keeps the bytes of an unfinished buffer itself and the
// caller's PlaybackStaging record mirrors their count. output_waveout takes
// the record's count as the number still staged, but never more than the
// player holds, and stores the player's count back, so a record the caller
// forgot to reset cannot bring back bytes that were played or dropped.
// wave_out_init, wave_out_restart and wave_out_wrapup empty the staging; the
// caller sets the record to 0 before each wave_out_init.
#include "playback/player.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/waveout.h"
#include "playback/player_state.h"
#include "platform/log.h"
#include "platform/messages.h"

int32_t wave_out_buffers = 24;
uint32_t wave_out_buffer_bytes = 16384;

namespace {

const int32_t kRingRoom = 64;
const uint32_t kTimeoutMs = 15000;
const uint32_t kQueuePollMs = 100;
const uint32_t kDrainPollMs = 200;

struct Player {
  HWAVEOUT device = nullptr;
  WAVEFORMATEX format{};
  int32_t ring = 0;           // buffers of this start (wave_out_buffers then)
  uint32_t buffer_bytes = 0;  // bytes per buffer of this start
  int32_t allocated = 0;      // buffers whose header and data blocks exist
  WAVEHDR* headers[kRingRoom] = {};
  char* data[kRingRoom] = {};
  int32_t position = 0;
  char* staging = nullptr;  // buffer_bytes long
  uint32_t staged = 0;
};

Player g;

bool ready() { return g.device && g.allocated == g.ring && g.ring > 0 && g.staging; }

void advance() { g.position = (g.position + 1) % g.ring; }

// Gives the device's messages a look; only unexpected ones are worth a line.
void wave_out_notify(HWAVEOUT, uint32_t message, uintptr_t, uintptr_t, uintptr_t) {
  if (message == WOM_DONE || message == WOM_OPEN || message == WOM_CLOSE) return;
  log_printf("callback msg: %d\n", static_cast<int>(message));
}

// Releases whatever exists of the device, the ring and the staging buffer.
void stop_player() {
  if (g.device) {
    waveOutReset(g.device);
    for (int32_t i = 0; i < g.allocated; ++i)
      waveOutUnprepareHeader(g.device, g.headers[i], sizeof(WAVEHDR));
    MMRESULT r = waveOutClose(g.device);
    if (r != MMSYSERR_NOERROR) {
      // The device may still read the buffers: they are left to it.
      log_printf("Error on close of wave out device: %x\n", r);
      g.allocated = 0;
    }
  }
  for (int32_t i = 0; i < g.allocated; ++i) {
    g.headers[i]->~WAVEHDR();
    std::free(g.headers[i]);
    std::free(g.data[i]);
  }
  std::free(g.staging);
  g = Player{};
}

// Allocates the ring; 0, or -1 when memory runs out (what was made stays
// counted in g.allocated for stop_player).
int allocate_ring() {
  for (int32_t i = 0; i < g.ring; ++i) {
    void* header_block = std::calloc(1, sizeof(WAVEHDR));
    char* data_block = static_cast<char*>(std::calloc(1, g.buffer_bytes));
    if (!header_block || !data_block) {
      std::free(header_block);
      std::free(data_block);
      return -1;
    }
    WAVEHDR* header = new (header_block) WAVEHDR{};
    header->lpData = data_block;
    header->dwBufferLength = g.buffer_bytes;
    header->dwFlags.store(WHDR_DONE, std::memory_order_relaxed);
    header->dwLoops = 1;
    g.headers[i] = header;
    g.data[i] = data_block;
    g.allocated = i + 1;
  }
  g.staging = static_cast<char*>(std::calloc(1, g.buffer_bytes));
  return g.staging ? 0 : -1;
}

// Zeroes every buffer and queues the first quarter of the ring as silence.
// 0, or -3 when queuing failed.
int32_t preroll() {
  for (int32_t i = 0; i < g.ring; ++i) std::memset(g.data[i], 0, g.buffer_bytes);
  for (int32_t i = 0; i < g.ring / 4; ++i) {
    WAVEHDR* header = g.headers[g.position];
    header->dwBufferLength = g.buffer_bytes;
    MMRESULT r = waveOutPrepareHeader(g.device, header, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) log_printf("Error on prepare to wave out device: %x\n", r);
    advance();
    r = waveOutWrite(g.device, header, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
      log_printf("Error on write to wave out device: %d\n", static_cast<int>(r));
      return -3;
    }
  }
  return 0;
}

void resume() {
  MMRESULT r = waveOutRestart(g.device);
  if (r != MMSYSERR_NOERROR) log_printf("Error on restart of wave out device: %x\n", r);
}

// Queues length bytes (at most a buffer) into the buffer at the ring
// position once the device is done with it. 0, or -1 on time-out (the player
// is then stopped) or device error (the ring position stays).
int32_t queue_buffer(const void* pcm, uint32_t length) {
  WAVEHDR* header = g.headers[g.position];
  uint32_t start = platform_time_ms();
  while (!waveout_header_done(header)) {
    platform_sleep_ms(kQueuePollMs);
    if (!waveout_header_done(header) && platform_time_ms() - start > kTimeoutMs) {
      message_text("\n Error: timeout on waveout device\n");
      stop_player();
      return -1;
    }
  }
  MMRESULT r = waveOutUnprepareHeader(g.device, header, sizeof(WAVEHDR));
  if (r != MMSYSERR_NOERROR) {
    log_printf("Error on unprepare to wave out device: %x\n", r);
    return -1;
  }
  std::memcpy(header->lpData, pcm, length);
  header->dwBufferLength = length;
  r = waveOutPrepareHeader(g.device, header, sizeof(WAVEHDR));
  if (r != MMSYSERR_NOERROR) {
    log_printf("Error on prepare to wave out device: %x\n", r);
    return -1;
  }
  r = waveOutWrite(g.device, header, sizeof(WAVEHDR));
  if (r != MMSYSERR_NOERROR) {
    log_printf("Error on write to wave out device: %x\n", r);
    return -1;
  }
  advance();
  return 0;
}

// Waits until the device has played every buffer, for at most the playing
// time of the ring and the queuing time-out on top.
void drain() {
  uint64_t ring_ms =
      (static_cast<uint64_t>(g.ring) * g.buffer_bytes * 1000 + g.format.nAvgBytesPerSec - 1) /
      g.format.nAvgBytesPerSec;
  uint64_t limit_ms = ring_ms + kTimeoutMs;
  uint32_t start = platform_time_ms();
  int32_t done = 0;
  do {
    done = 0;
    for (int32_t i = 0; i < g.ring; ++i) done += waveout_header_done(g.headers[i]);
    platform_sleep_ms(kDrainPollMs);
    uint32_t waited = platform_time_ms() - start;
    if (done < g.ring && waited > limit_ms) {
      log_printf("Wave out drain gave up after %u ms: %d of %d buffers played\n", waited, done,
                 g.ring);
      return;
    }
  } while (done < g.ring);
}

}  // namespace

int32_t wave_out_init(int32_t rate) {
  if (g.device || g.allocated) stop_player();  // a player that was not stopped
  if (wave_out_buffers < 1 || wave_out_buffers > kRingRoom || wave_out_buffer_bytes == 0 ||
      wave_out_buffer_bytes % 4 != 0) {
    log_printf("Unsupported wave out ring: %d buffers of %u bytes\n", wave_out_buffers,
               wave_out_buffer_bytes);
    return -1;
  }
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = static_cast<uint32_t>(rate);
  format.nAvgBytesPerSec = static_cast<uint32_t>(rate) * 4;
  format.nBlockAlign = 4;
  format.wBitsPerSample = 16;
  MMRESULT r = waveOutOpen(nullptr, WAVE_MAPPER, &format, nullptr, 0, WAVE_FORMAT_QUERY);
  if (r != MMSYSERR_NOERROR) {
    log_printf("Unsupported waveform format/rate: %d", static_cast<int>(r));
    return -1;
  }
  r = waveOutOpen(&g.device, WAVE_MAPPER, &format, wave_out_notify, 0, CALLBACK_FUNCTION);
  if (r != MMSYSERR_NOERROR) {
    g.device = nullptr;
    log_printf("Unable to open waveform output device: %d\n", static_cast<int>(r));
    if (*waveout_last_error()) log_printf("%s\n", waveout_last_error());
    return -2;
  }
  g.format = format;
  if (waveOutReset(g.device) != MMSYSERR_NOERROR) return -2;
  g.position = 0;
  g.ring = wave_out_buffers;
  g.buffer_bytes = wave_out_buffer_bytes;
  g.staged = 0;
  if (allocate_ring() != 0) {
    log_printf("Unable to allocate %d wave out buffers of %u bytes\n", g.ring, g.buffer_bytes);
    return -2;
  }
  r = waveOutPause(g.device);
  if (r != MMSYSERR_NOERROR) log_printf("Error on pause of wave out device: %x\n", r);
  if (preroll() != 0) return -3;
  resume();
  return 0;
}

uint32_t output_waveout(const void* pcm, uint32_t n, PlaybackStaging* staging) {
  if (!staging) return 0;
  if (!ready()) {
    staging->staged_bytes = 0;
    return 0;
  }
  uint32_t s = staging->staged_bytes < 0 ? 0 : static_cast<uint32_t>(staging->staged_bytes);
  if (s > g.staged) s = g.staged;
  const char* p = static_cast<const char*>(pcm);
  const uint32_t b = g.buffer_bytes;
  if (!p) n = 0;
  if (static_cast<uint64_t>(s) + n <= b) {
    if (n > 0) std::memcpy(g.staging + s, p, n);
    s += n;
  } else {
    // Complete the staged buffer, queue whole buffers straight from the
    // caller's bytes, and keep the rest (up to a whole buffer) staged.
    uint32_t fill = b - s;
    std::memcpy(g.staging + s, p, fill);
    wave_out_dataout(g.staging);
    p += fill;
    uint32_t rest = n - fill;
    while (rest > b && ready()) {
      wave_out_dataout(p);
      p += b;
      rest -= b;
    }
    if (!ready()) {  // a time-out stopped the player
      staging->staged_bytes = 0;
      return 0;
    }
    std::memcpy(g.staging, p, rest);
    s = rest;
  }
  g.staged = s;
  staging->staged_bytes = static_cast<int32_t>(s);
  return s;
}

int32_t wave_out_dataout(const void* pcm) {
  if (!ready() || !pcm) return -1;
  return queue_buffer(pcm, g.buffer_bytes);
}

int32_t wave_out_wrapup(int32_t mode) {
  if (mode != 1 && ready()) {
    // The end of the audio is heard too: the staged bytes go out as a short
    // last buffer (whole frames, a partial one padded with silence).
    uint32_t length = (g.staged + 3) / 4 * 4;
    if (length > 0) {
      std::memset(g.staging + g.staged, 0, length - g.staged);
      g.staged = 0;
      queue_buffer(g.staging, length);
    }
    if (ready()) drain();
  }
  stop_player();
  return wave_out_buffers;
}

int32_t wave_out_restart(void) {
  if (!ready()) return -3;
  waveOutReset(g.device);
  for (int32_t i = 0; i < g.ring; ++i)
    waveOutUnprepareHeader(g.device, g.headers[i], sizeof(WAVEHDR));
  g.position = 0;
  g.staged = 0;
  if (preroll() != 0) return -3;
  resume();
  return 0;
}

int player_is_open(void) { return g.device ? 1 : 0; }
int32_t player_ring_position(void) { return g.position; }
const WAVEHDR* player_header(int32_t i) {
  return (i >= 0 && i < g.allocated) ? g.headers[i] : nullptr;
}
uint32_t player_staged_bytes(void) { return g.staged; }
