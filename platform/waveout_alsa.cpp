// SPDX-License-Identifier: MIT
// The ALSA output of the wave-out device. Only the device thread touches the
// PCM once it is open; it copies each period out of the queued buffer under
// the device mutex and writes it without holding the mutex, so a reset never
// waits for ALSA. A buffer is done when ALSA reports its last frame played.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/waveout_device.h"

struct WaveOutAlsa {
  snd_pcm_t* pcm = nullptr;
  bool can_pause = false;
  snd_pcm_uframes_t period_frames = 0;
  uint64_t handed_frames = 0;   // frames copied out of buffers since the last drop (mutex)
  uint64_t written_frames = 0;  // frames ALSA has taken since the last drop (device thread)
  bool failed = false;          // ALSA cannot go on; nothing more is played (device thread)
};

namespace {

const unsigned kLatencyUs = 200000;

// ALSA's own messages would go to standard error; the caller reports failures.
void quiet(const char*, int, const char*, int, const char*, ...) {}

MMRESULT open_result(int error) {
  switch (-error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return MMSYSERR_NODRIVER;
    case EBUSY:
    case EAGAIN:
      return MMSYSERR_ALLOCATED;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    default:
      return MMSYSERR_ERROR;
  }
}

// Opens the PCM for the format: 0 and *pcm, or the failing ALSA error with
// *stage naming the step.
int open_pcm(const char* name, const WAVEFORMATEX* format, snd_pcm_t** pcm, const char** stage) {
  snd_lib_error_set_handler(quiet);
  *stage = "open";
  int e = snd_pcm_open(pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (e < 0) return e;
  *stage = "format";
  e = snd_pcm_set_params(*pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                         format->nChannels, format->nSamplesPerSec, 1, kLatencyUs);
  if (e < 0) {
    snd_pcm_close(*pcm);
    *pcm = nullptr;
  }
  return e;
}

// Frames ALSA has played of those written since the last drop.
uint64_t played_frames(WaveOutAlsa* a) {
  snd_pcm_state_t state = snd_pcm_state(a->pcm);
  if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SETUP) return a->written_frames;
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(a->pcm, &delay) < 0) return a->written_frames;
  uint64_t waiting = delay < 0 ? 0 : static_cast<uint64_t>(delay);
  return waiting >= a->written_frames ? 0 : a->written_frames - waiting;
}

}  // namespace

MMRESULT waveout_alsa_query(const char* name, const WAVEFORMATEX* format) {
  snd_pcm_t* pcm = nullptr;
  const char* stage = nullptr;
  int e = open_pcm(name, format, &pcm, &stage);
  if (e < 0) {
    // A device that cannot be opened cannot tell; the open says why.
    return std::strcmp(stage, "open") == 0 ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
  }
  snd_pcm_close(pcm);
  return MMSYSERR_NOERROR;
}

MMRESULT waveout_alsa_open(WaveOutDevice* d, const char* name) {
  snd_pcm_t* pcm = nullptr;
  const char* stage = nullptr;
  int e = open_pcm(name, &d->format, &pcm, &stage);
  if (e < 0) {
    waveout_set_error("alsa:%s: %s: %s", name, stage, snd_strerror(e));
    return std::strcmp(stage, "open") == 0 ? open_result(e) : WAVERR_BADFORMAT;
  }
  auto* a = new WaveOutAlsa;
  a->pcm = pcm;
  snd_pcm_uframes_t buffer_frames = 0;
  if (snd_pcm_get_params(pcm, &buffer_frames, &a->period_frames) < 0 || a->period_frames == 0)
    a->period_frames = 1024;
  snd_pcm_hw_params_t* hw = nullptr;
  if (snd_pcm_hw_params_malloc(&hw) == 0) {
    if (snd_pcm_hw_params_current(pcm, hw) == 0)
      a->can_pause = snd_pcm_hw_params_can_pause(hw) == 1;
    snd_pcm_hw_params_free(hw);
  }
  d->alsa = a;
  return MMSYSERR_NOERROR;
}

void waveout_alsa_close(WaveOutDevice* d) {
  if (!d->alsa) return;
  snd_pcm_close(d->alsa->pcm);
  delete d->alsa;
  d->alsa = nullptr;
}

void waveout_alsa_run(WaveOutDevice* d) {
  WaveOutAlsa* a = d->alsa;
  std::vector<char> chunk(a->period_frames * d->format.nBlockAlign);
  size_t chunk_length = 0;  // bytes in chunk
  size_t chunk_done = 0;    // of them written to ALSA
  bool held = false;        // playback is paused as the device asked
  std::unique_lock<std::mutex> lock(d->mutex);
  for (;;) {
    waveout_deliver_notices(d, lock);
    if (d->closing) break;

    if (d->drop_requested) {
      d->drop_requested = false;
      chunk_length = chunk_done = 0;
      a->handed_frames = 0;
      lock.unlock();
      snd_pcm_drop(a->pcm);
      snd_pcm_prepare(a->pcm);
      a->written_frames = 0;
      lock.lock();
      held = false;
      continue;
    }

    if (d->paused != held) {
      held = d->paused;
      lock.unlock();
      snd_pcm_state_t state = snd_pcm_state(a->pcm);
      if (a->can_pause && held && state == SND_PCM_STATE_RUNNING) snd_pcm_pause(a->pcm, 1);
      if (a->can_pause && !held && state == SND_PCM_STATE_PAUSED) snd_pcm_pause(a->pcm, 0);
      lock.lock();
      continue;
    }

    // Buffers ALSA has played in full are done.
    if (!d->handed.empty()) {
      uint64_t resets = d->resets;
      lock.unlock();
      uint64_t played = played_frames(a);
      lock.lock();
      while (resets == d->resets && !d->handed.empty() && d->handed.front().end_frame <= played) {
        waveout_mark_done(d, d->handed.front().header);
        d->handed.pop_front();
      }
      if (!d->notices.empty()) continue;
    }

    // The next period out of the first queued buffer.
    if (chunk_done == chunk_length && !held && !a->failed && !d->queue.empty()) {
      WAVEHDR* header = d->queue.front().header;
      size_t n = std::min<size_t>(chunk.size(), header->dwBufferLength - d->head_offset);
      std::memcpy(chunk.data(), header->lpData + d->head_offset, n);
      chunk_length = n;
      chunk_done = 0;
      d->head_offset += static_cast<uint32_t>(n);
      a->handed_frames += n / d->format.nBlockAlign;
      if (d->head_offset >= header->dwBufferLength) {
        d->handed.push_back({header, a->handed_frames});
        d->queue.pop_front();
        d->head_offset = 0;
      }
      continue;
    }

    if (chunk_done < chunk_length && !held && !a->failed) {
      uint64_t resets = d->resets;
      lock.unlock();
      snd_pcm_uframes_t frames = (chunk_length - chunk_done) / d->format.nBlockAlign;
      snd_pcm_sframes_t r = snd_pcm_writei(a->pcm, chunk.data() + chunk_done, frames);
      if (r == -EAGAIN) {
        snd_pcm_wait(a->pcm, 20);
      } else if (r < 0 && snd_pcm_recover(a->pcm, static_cast<int>(r), 1) < 0) {
        a->failed = true;  // the buffers stay queued: the player sees the device stall
      } else if (r > 0) {
        a->written_frames += static_cast<uint64_t>(r);
      }
      lock.lock();
      if (resets == d->resets && r > 0)
        chunk_done += static_cast<size_t>(r) * d->format.nBlockAlign;
      continue;
    }

    // Nothing to write now.
    if (!d->handed.empty()) {
      if (!held && !a->failed) {
        lock.unlock();
        // Less than ALSA's start threshold may be all there is: start anyway.
        if (snd_pcm_state(a->pcm) == SND_PCM_STATE_PREPARED && a->written_frames > 0)
          snd_pcm_start(a->pcm);
        lock.lock();
      }
      d->wake.wait_for(lock, std::chrono::milliseconds(10));
    } else {
      uint64_t seen = d->events;
      d->wake.wait(lock, [&] { return d->events != seen; });
    }
  }
  lock.unlock();
  snd_pcm_drop(a->pcm);
}
