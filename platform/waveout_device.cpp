// SPDX-License-Identifier: MIT
// The wave-out device: choosing the output, the calls of the contract, and the
// outputs that play at the pace of the platform clock (file, null, script).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/wav_header.h"
#include "platform/clock.h"
#include "platform/waveout_device.h"

namespace {

// ---- Choosing the output ----

struct Choice {
  WaveOutKind kind = WaveOutKind::alsa;
  std::string name = "default";  // ALSA device, file path, or the unknown value
  WaveOutScript* script = nullptr;
};

bool g_chosen = false;  // false: KESTREL_WAVEOUT decides
Choice g_choice;
std::string g_last_error;

Choice parse_choice(const char* setting) {
  Choice c;
  if (!setting || !*setting) return c;
  std::string s(setting);
  if (s.rfind("alsa:", 0) == 0 && s.size() > 5) {
    c.name = s.substr(5);
  } else if (s.rfind("file:", 0) == 0 && s.size() > 5) {
    c.kind = WaveOutKind::file;
    c.name = s.substr(5);
  } else if (s == "null") {
    c.kind = WaveOutKind::null_sink;
  } else if (s == "none") {
    c.kind = WaveOutKind::none;
  } else {
    c.kind = WaveOutKind::unknown;
    c.name = s;
  }
  return c;
}

Choice current_choice() {
  return g_chosen ? g_choice : parse_choice(std::getenv("KESTREL_WAVEOUT"));
}

// ---- The scripted device's record ----

enum ScriptOp { kOpOpen, kOpReset, kOpPause, kOpRestart, kOpPrepare, kOpUnprepare, kOpWrite };

void script_note(WaveOutScript* script, const std::string& call) {
  std::lock_guard<std::mutex> guard(script->lock);
  script->log.calls.push_back(call);
}

// Counts a call and returns the fault the script puts on it (0: none).
MMRESULT script_call(WaveOutScript* script, ScriptOp op, const char* name) {
  if (!script) return MMSYSERR_NOERROR;
  const WaveOutFault* faults[] = {&script->open,    &script->reset,   &script->pause,
                                  &script->restart, &script->prepare, &script->unprepare,
                                  &script->write};
  std::lock_guard<std::mutex> guard(script->lock);
  int n = ++script->counts[op];
  if (op == kOpPrepare) ++script->log.prepares;
  if (op == kOpUnprepare) ++script->log.unprepares;
  if (name) script->log.calls.push_back(name);
  const WaveOutFault* f = faults[op];
  return (f->at > 0 && n >= f->at && n < f->at + f->count) ? f->result : MMSYSERR_NOERROR;
}

// ---- The WAV file that the file output writes ----

// The files this run has created, so that later opens add to them.
struct RunFile {
  std::string path;
  uint32_t rate;
  uint32_t data_bytes;
  bool open;  // a device is writing to it
};
std::mutex g_files_mutex;
std::vector<RunFile> g_files;

RunFile* run_file(const std::string& path) {
  for (RunFile& f : g_files)
    if (f.path == path) return &f;
  return nullptr;
}

// Writes the 44-byte header of 16-bit stereo PCM at offset 0 and goes back to
// the end of the file. 0, or -1.
int write_wav_header(FILE* file, uint32_t rate, uint32_t data_bytes) {
  WavCanonicalHeader h = wav_canonical_header(rate, data_bytes);
  if (std::fseek(file, 0, SEEK_SET) != 0 || std::fwrite(&h, 1, sizeof h, file) != sizeof h)
    return -1;
  if (std::fseek(file, 0, SEEK_END) != 0 || std::fflush(file) != 0) return -1;
  return 0;
}

MMRESULT file_query(const std::string& path, const WAVEFORMATEX* format) {
  std::lock_guard<std::mutex> guard(g_files_mutex);
  RunFile* f = run_file(path);
  return (f && f->rate != format->nSamplesPerSec) ? WAVERR_BADFORMAT : MMSYSERR_NOERROR;
}

// Creates the file at its first open in this run, else opens it to add to it.
MMRESULT file_open(WaveOutDevice* d, const std::string& path) {
  std::lock_guard<std::mutex> guard(g_files_mutex);
  RunFile* f = run_file(path);
  if (f && f->rate != d->format.nSamplesPerSec) return WAVERR_BADFORMAT;
  if (f && f->open) {
    waveout_set_error("file:%s: already being played into", path.c_str());
    return MMSYSERR_ALLOCATED;
  }
  FILE* file = std::fopen(path.c_str(), f ? "r+b" : "w+b");
  if (!file || write_wav_header(file, d->format.nSamplesPerSec, f ? f->data_bytes : 0) != 0) {
    waveout_set_error("file:%s: %s", path.c_str(), std::strerror(errno));
    if (file) std::fclose(file);
    return MMSYSERR_ERROR;
  }
  if (f)
    f->open = true;
  else
    g_files.push_back({path, d->format.nSamplesPerSec, 0, true});
  d->file = file;
  return MMSYSERR_NOERROR;
}

// Adds a played buffer to the file and keeps its header up to date, so that
// the file is valid whenever the run ends. mutex held.
int file_append(WaveOutDevice* d, const WAVEHDR* header) {
  std::lock_guard<std::mutex> guard(g_files_mutex);
  RunFile* f = run_file(d->file_path);
  uint32_t n = header->dwBufferLength;
  if (!f || std::fwrite(header->lpData, 1, n, d->file) != n) return -1;
  f->data_bytes = f->data_bytes > 0xFFFFFFFFu - n ? 0xFFFFFFFFu : f->data_bytes + n;
  return write_wav_header(d->file, f->rate, f->data_bytes);
}

// ---- Playing at the pace of the platform clock ----

int64_t device_now_us(const WaveOutDevice* d) {
  return static_cast<int64_t>(static_cast<uint32_t>(platform_time_ms() - d->origin_ms)) * 1000;
}

int64_t play_time_us(const WaveOutDevice* d, const WAVEHDR* header) {
  return static_cast<int64_t>(header->dwBufferLength) * 1000000 / d->format.nAvgBytesPerSec;
}

// Works out when the first queued buffer will have been played at the pace
// of the clock, once it has started. mutex held.
void schedule_head(WaveOutDevice* d) {
  if (d->pace != WAVEOUT_PACE_CLOCK || d->queue.empty() || d->paused || d->head_due_us >= 0) return;
  const WaveOutQueued& head = d->queue.front();
  int64_t start = std::max({d->cursor_us, head.queued_us, d->resumed_us});
  d->head_due_us = start + (d->head_left_us >= 0 ? d->head_left_us : play_time_us(d, head.header));
  d->head_left_us = -1;
}

// Whether the first queued buffer has been played by now. mutex held.
bool head_played(WaveOutDevice* d, int64_t now_us) {
  switch (d->pace) {
    case WAVEOUT_PACE_AT_ONCE:
      return true;
    case WAVEOUT_PACE_NEVER:
      return false;
    case WAVEOUT_PACE_ON_REQUEST: {
      int credits = d->script->credits.load();
      while (credits > 0 && !d->script->credits.compare_exchange_weak(credits, credits - 1)) {
      }
      return credits > 0;
    }
    case WAVEOUT_PACE_CLOCK:
      break;
  }
  schedule_head(d);
  return now_us >= d->head_due_us;
}

// Plays every queued buffer that is due. mutex held.
void play_due(WaveOutDevice* d) {
  int64_t now_us = device_now_us(d);
  while (!d->queue.empty() && !d->paused && !d->broken && head_played(d, now_us)) {
    WAVEHDR* header = d->queue.front().header;
    if (d->file && file_append(d, header) != 0) {
      waveout_set_error("file:%s: %s", d->file_path.c_str(), std::strerror(errno));
      d->broken = true;  // nothing more is played: the player sees the device stall
      return;
    }
    if (d->script) {
      std::lock_guard<std::mutex> guard(d->script->lock);
      d->script->log.played.insert(d->script->log.played.end(), header->lpData,
                                   header->lpData + header->dwBufferLength);
      ++d->script->log.played_buffers;
    }
    if (d->head_due_us >= 0) d->cursor_us = d->head_due_us;
    d->head_due_us = -1;
    waveout_mark_done(d, header);
    d->queue.pop_front();
  }
}

// The device thread of the outputs that keep pace with the clock. Each pass
// plays what is due and then tells the clock watchers it has caught up.
void clock_run(WaveOutDevice* d) {
  std::unique_lock<std::mutex> lock(d->mutex);
  for (;;) {
    uint64_t serving = d->events;
    if (!d->closing) play_due(d);
    d->served = serving;
    d->caught_up.notify_all();
    waveout_deliver_notices(d, lock);
    if (d->closing) return;
    if (d->events != serving) continue;
    bool waiting_for_time =
        !d->queue.empty() && !d->paused && !d->broken && !platform_clock_simulated();
    if (waiting_for_time && d->pace == WAVEOUT_PACE_CLOCK && d->head_due_us >= 0) {
      int64_t left_us = d->head_due_us - device_now_us(d);
      d->wake.wait_for(lock, std::chrono::microseconds(std::max<int64_t>(left_us, 0) + 1000));
    } else if (waiting_for_time && d->pace == WAVEOUT_PACE_ON_REQUEST) {
      d->wake.wait_for(lock, std::chrono::milliseconds(5));
    } else {
      d->wake.wait(lock, [&] { return d->events != serving; });
    }
  }
}

// A sleep of the simulated clock: returns once the device thread has played
// what is due at the new time.
void clock_watch(void* context, uint32_t) {
  auto* d = static_cast<WaveOutDevice*>(context);
  std::unique_lock<std::mutex> lock(d->mutex);
  uint64_t wanted = ++d->events;
  d->wake.notify_all();
  d->caught_up.wait(lock, [&] { return d->served >= wanted || d->exited; });
}

void device_thread(WaveOutDevice* d) {
  if (d->kind == WaveOutKind::alsa)
    waveout_alsa_run(d);
  else
    clock_run(d);
  std::lock_guard<std::mutex> guard(d->mutex);
  d->exited = true;
  d->caught_up.notify_all();
}

// Tells the device thread that something changed. mutex held.
void poke(WaveOutDevice* d) {
  ++d->events;
  d->wake.notify_all();
}

bool format_playable(const WAVEFORMATEX* f) {
  return f && f->wFormatTag == WAVE_FORMAT_PCM && f->nChannels == 2 && f->wBitsPerSample == 16 &&
         f->nBlockAlign == 4 && f->nSamplesPerSec >= 8000 && f->nSamplesPerSec <= 192000 &&
         f->nAvgBytesPerSec == f->nSamplesPerSec * 4;
}

MMRESULT query(const Choice& c, const WAVEFORMATEX* format) {
  if (c.kind == WaveOutKind::script)
    script_note(c.script, "query " + std::to_string(format ? format->nSamplesPerSec : 0));
  if (c.kind == WaveOutKind::none || !format_playable(format)) return WAVERR_BADFORMAT;
  switch (c.kind) {
    case WaveOutKind::alsa:
      return waveout_alsa_query(c.name.c_str(), format);
    case WaveOutKind::file:
      return file_query(c.name, format);
    case WaveOutKind::script:
      return (format->nSamplesPerSec < c.script->min_rate ||
              format->nSamplesPerSec > c.script->max_rate)
                 ? WAVERR_BADFORMAT
                 : MMSYSERR_NOERROR;
    default:
      return MMSYSERR_NOERROR;  // unknown: the open says what is wrong
  }
}

// Opens the output itself. 0, or the result for the caller.
MMRESULT open_output(WaveOutDevice* d, const Choice& c) {
  switch (c.kind) {
    case WaveOutKind::alsa:
      return waveout_alsa_open(d, c.name.c_str());
    case WaveOutKind::file:
      d->file_path = c.name;
      return file_open(d, c.name);
    case WaveOutKind::script: {
      d->script = c.script;
      d->pace = c.script->pace;
      MMRESULT r = script_call(c.script, kOpOpen,
                               ("open " + std::to_string(d->format.nSamplesPerSec)).c_str());
      if (r == MMSYSERR_NOERROR && c.script->extra_message)
        d->notices.push_back({c.script->extra_message, 0});
      return r;
    }
    case WaveOutKind::null_sink:
      return MMSYSERR_NOERROR;
    case WaveOutKind::none:
      return WAVERR_BADFORMAT;
    case WaveOutKind::unknown:
      waveout_set_error("KESTREL_WAVEOUT=%s names no output (alsa:NAME, file:PATH, null, none)",
                        c.name.c_str());
      return MMSYSERR_BADDEVICEID;
  }
  return MMSYSERR_ERROR;
}

void close_output(WaveOutDevice* d) {
  if (d->kind == WaveOutKind::alsa) waveout_alsa_close(d);
  if (d->file) {
    {
      std::lock_guard<std::mutex> guard(g_files_mutex);
      RunFile* f = run_file(d->file_path);
      if (f) {
        write_wav_header(d->file, f->rate, f->data_bytes);
        f->open = false;
      }
    }
    std::fclose(d->file);
    d->file = nullptr;
  }
  if (d->script) script_note(d->script, "close");
}

// A sleep of the simulated clock while ALSA has audio to play lasts as long
// as it says: sound cannot be hurried, and the waits of the caller must not
// run out before it is heard.
void alsa_watch(void* context, uint32_t ms) {
  auto* d = static_cast<WaveOutDevice*>(context);
  bool playing = false;
  {
    std::lock_guard<std::mutex> guard(d->mutex);
    playing = !d->paused && !d->exited && (!d->queue.empty() || !d->handed.empty());
  }
  if (playing) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

ClockWatcher watcher_of(const WaveOutDevice* d) {
  return d->kind == WaveOutKind::alsa ? alsa_watch : clock_watch;
}

}  // namespace

void waveout_set_error(const char* format, ...) {
  char text[300];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_last_error = text;
}

const char* waveout_last_error(void) { return g_last_error.c_str(); }

int waveout_select(const char* setting) {
  if (!setting) {
    g_chosen = false;
    return 0;
  }
  g_choice = parse_choice(setting);
  g_chosen = true;
  return g_choice.kind == WaveOutKind::unknown ? -1 : 0;
}

void waveout_select_script(WaveOutScript* script) {
  g_choice = Choice{WaveOutKind::script, "script", script};
  g_chosen = true;
}

void waveout_script_complete(WaveOutScript* script, int n) { script->credits.fetch_add(n); }

WaveOutScriptLog waveout_script_log(WaveOutScript* script) {
  std::lock_guard<std::mutex> guard(script->lock);
  return script->log;
}

void waveout_mark_done(WaveOutDevice* d, WAVEHDR* header) {
  header->dwFlags.fetch_and(~WHDR_INQUEUE, std::memory_order_relaxed);
  header->dwFlags.fetch_or(WHDR_DONE, std::memory_order_release);
  d->notices.push_back({WOM_DONE, reinterpret_cast<uintptr_t>(header)});
}

void waveout_deliver_notices(WaveOutDevice* d, std::unique_lock<std::mutex>& lock) {
  while (!d->notices.empty()) {
    WaveOutNotice notice = d->notices.front();
    d->notices.erase(d->notices.begin());
    lock.unlock();
    if (d->script && std::this_thread::get_id() == d->caller) {
      std::lock_guard<std::mutex> guard(d->script->lock);
      d->script->log.callback_threads_differ = 0;
    }
    if (d->callback) d->callback(d, notice.message, d->instance, notice.param, 0);
    lock.lock();
  }
}

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t device_id, const WAVEFORMATEX* format,
                     WaveOutProc callback, uintptr_t instance, uint32_t flags) {
  if (device_id != WAVE_MAPPER && device_id != 0) return MMSYSERR_BADDEVICEID;
  Choice c = current_choice();
  if (flags & WAVE_FORMAT_QUERY) return query(c, format);
  if (flags != CALLBACK_FUNCTION || !device) return MMSYSERR_INVALFLAG;
  *device = nullptr;
  g_last_error.clear();
  if (!format_playable(format) || c.kind == WaveOutKind::none) return WAVERR_BADFORMAT;
  auto* d = new WaveOutDevice;
  d->kind = c.kind;
  d->format = *format;
  d->callback = callback;
  d->instance = instance;
  d->caller = std::this_thread::get_id();
  d->origin_ms = platform_time_ms();
  MMRESULT r = open_output(d, c);
  if (r != MMSYSERR_NOERROR) {
    delete d;
    return r;
  }
  d->notices.insert(d->notices.begin(), {WOM_OPEN, 0});
  d->thread = std::thread(device_thread, d);
  if (platform_clock_watch(watcher_of(d), d) != 0) {
    waveOutClose(d);
    waveout_set_error("too many wave-out devices are open");
    return MMSYSERR_ALLOCATED;
  }
  *device = d;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT d) {
  if (!d) return MMSYSERR_INVALHANDLE;
  MMRESULT r = script_call(d->script, kOpPause, "pause");
  if (r != MMSYSERR_NOERROR) return r;
  std::lock_guard<std::mutex> guard(d->mutex);
  if (d->paused) return MMSYSERR_NOERROR;
  schedule_head(d);
  d->paused = true;
  if (d->head_due_us >= 0)
    d->head_left_us = std::max<int64_t>(d->head_due_us - device_now_us(d), 0);
  d->head_due_us = -1;
  poke(d);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT d) {
  if (!d) return MMSYSERR_INVALHANDLE;
  MMRESULT r = script_call(d->script, kOpRestart, "restart");
  if (r != MMSYSERR_NOERROR) return r;
  std::lock_guard<std::mutex> guard(d->mutex);
  if (!d->paused) return MMSYSERR_NOERROR;
  d->paused = false;
  d->resumed_us = device_now_us(d);
  poke(d);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT d) {
  if (!d) return MMSYSERR_INVALHANDLE;
  MMRESULT r = script_call(d->script, kOpReset, "reset");
  if (r != MMSYSERR_NOERROR) return r;
  std::lock_guard<std::mutex> guard(d->mutex);
  for (const WaveOutHanded& h : d->handed) waveout_mark_done(d, h.header);
  for (const WaveOutQueued& q : d->queue) waveout_mark_done(d, q.header);
  d->handed.clear();
  d->queue.clear();
  d->head_offset = 0;
  d->head_due_us = -1;
  d->head_left_us = -1;
  d->cursor_us = device_now_us(d);
  d->drop_requested = true;
  ++d->resets;
  poke(d);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT d, WAVEHDR* header, uint32_t size) {
  if (!d) return MMSYSERR_INVALHANDLE;
  if (!header || !header->lpData || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  MMRESULT r = script_call(d->script, kOpPrepare, nullptr);
  if (r != MMSYSERR_NOERROR) return r;
  header->dwFlags.fetch_or(WHDR_PREPARED, std::memory_order_relaxed);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT d, WAVEHDR* header, uint32_t size) {
  if (!d) return MMSYSERR_INVALHANDLE;
  if (!header || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  MMRESULT r = script_call(d->script, kOpUnprepare, nullptr);
  if (r != MMSYSERR_NOERROR) return r;
  if (header->dwFlags.load(std::memory_order_acquire) & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  header->dwFlags.fetch_and(~WHDR_PREPARED, std::memory_order_relaxed);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT d, WAVEHDR* header, uint32_t size) {
  if (!d) return MMSYSERR_INVALHANDLE;
  if (!header || size < sizeof(WAVEHDR) || header->dwBufferLength % d->format.nBlockAlign != 0)
    return MMSYSERR_INVALPARAM;
  uint32_t flags = header->dwFlags.load(std::memory_order_acquire);
  if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  MMRESULT r = script_call(d->script, kOpWrite, "write");
  if (r != MMSYSERR_NOERROR) return r;
  if (d->script) {
    std::lock_guard<std::mutex> guard(d->script->lock);
    d->script->log.writes.push_back(
        {header, std::vector<uint8_t>(header->lpData, header->lpData + header->dwBufferLength)});
  }
  std::lock_guard<std::mutex> guard(d->mutex);
  header->dwFlags.fetch_and(~WHDR_DONE, std::memory_order_relaxed);
  header->dwFlags.fetch_or(WHDR_INQUEUE, std::memory_order_release);
  d->queue.push_back({header, device_now_us(d)});
  poke(d);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT d) {
  if (!d) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> guard(d->mutex);
    if (!d->queue.empty() || !d->handed.empty()) return WAVERR_STILLPLAYING;
    d->closing = true;
    d->notices.push_back({WOM_CLOSE, 0});
    poke(d);
  }
  d->thread.join();
  platform_clock_unwatch(watcher_of(d), d);
  close_output(d);
  delete d;
  return MMSYSERR_NOERROR;
}
