// SPDX-License-Identifier: MIT
#include "platform/clock.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

struct ClockState {
  bool simulated;
  int64_t start_real_ms;         // calendar time at start, ms
  std::atomic<int64_t> sim_ms;   // simulated milliseconds elapsed
};

int64_t real_ms(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The calendar time the simulated clock starts at: SOURCE_DATE_EPOCH when
// set, so that two runs stamp the same times, else the real clock.
int64_t simulated_start_ms() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  char* end = nullptr;
  long long seconds = epoch ? std::strtoll(epoch, &end, 10) : -1;
  if (epoch && end != epoch && *end == '\0' && seconds >= 0) return seconds * 1000;
  return real_ms(CLOCK_REALTIME);
}

ClockState& state() {
  static ClockState s{[] {
                        const char* mode = std::getenv("KESTREL_CLOCK");
                        return mode && std::strcmp(mode, "simulated") == 0;
                      }(),
                      simulated_start_ms(), {0}};
  return s;
}

struct Watchers {
  std::mutex mutex;
  struct Entry {
    ClockWatcher watcher;
    void* context;
  } entries[8];
  int count = 0;
};

Watchers& watchers() {
  static Watchers w;
  return w;
}

}  // namespace

int platform_clock_watch(ClockWatcher watcher, void* context) {
  Watchers& w = watchers();
  std::lock_guard<std::mutex> guard(w.mutex);
  if (w.count == static_cast<int>(sizeof w.entries / sizeof w.entries[0])) return -1;
  w.entries[w.count++] = {watcher, context};
  return 0;
}

void platform_clock_unwatch(ClockWatcher watcher, void* context) {
  Watchers& w = watchers();
  std::lock_guard<std::mutex> guard(w.mutex);
  for (int i = 0; i < w.count; ++i) {
    if (w.entries[i].watcher == watcher && w.entries[i].context == context) {
      w.entries[i] = w.entries[--w.count];
      return;
    }
  }
}

int platform_clock_simulated(void) { return state().simulated ? 1 : 0; }

uint32_t platform_time_ms(void) {
  ClockState& s = state();
  if (s.simulated) return static_cast<uint32_t>(s.sim_ms.load());
  return static_cast<uint32_t>(real_ms(CLOCK_MONOTONIC));
}

int64_t platform_time_s(void) {
  ClockState& s = state();
  if (s.simulated) return (s.start_real_ms + s.sim_ms.load()) / 1000;
  return real_ms(CLOCK_REALTIME) / 1000;
}

void platform_sleep_ms(uint32_t ms) {
  ClockState& s = state();
  if (s.simulated) {
    s.sim_ms.fetch_add(ms);
    Watchers& w = watchers();
    std::lock_guard<std::mutex> guard(w.mutex);
    for (int i = 0; i < w.count; ++i) w.entries[i].watcher(w.entries[i].context, ms);
    return;
  }
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}
