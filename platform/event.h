// SPDX-License-Identifier: MIT
// A small auto-reset event: the provider signals it when a command is over,
// ASPI_Call waits on it. Header-only, so kestrel and the provider library
// share one layout and one behaviour.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

struct PlatformEvent {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int signaled;
};

// A new unnamed, auto-reset, non-signalled event, or nullptr.
inline PlatformEvent* event_create() {
  auto* e = static_cast<PlatformEvent*>(std::calloc(1, sizeof(PlatformEvent)));
  if (!e) return nullptr;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (pthread_mutex_init(&e->mutex, nullptr) != 0 || pthread_cond_init(&e->cond, &attr) != 0) {
    pthread_condattr_destroy(&attr);
    std::free(e);
    return nullptr;
  }
  pthread_condattr_destroy(&attr);
  return e;
}

inline void event_signal(PlatformEvent* e) {
  pthread_mutex_lock(&e->mutex);
  e->signaled = 1;
  pthread_cond_broadcast(&e->cond);
  pthread_mutex_unlock(&e->mutex);
}

inline void event_reset(PlatformEvent* e) {
  pthread_mutex_lock(&e->mutex);
  e->signaled = 0;
  pthread_mutex_unlock(&e->mutex);
}

// Waits until the event is signalled (0; the event is then reset, as an
// auto-reset event is) or the time-out in real milliseconds passes (1).
inline int event_wait(PlatformEvent* e, uint32_t timeout_ms) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&e->mutex);
  int rc = 0;
  while (!e->signaled && rc != ETIMEDOUT) rc = pthread_cond_timedwait(&e->cond, &e->mutex, &deadline);
  int result = e->signaled ? 0 : 1;
  e->signaled = 0;
  pthread_mutex_unlock(&e->mutex);
  return result;
}

inline void event_destroy(PlatformEvent* e) {
  if (!e) return;
  pthread_cond_destroy(&e->cond);
  pthread_mutex_destroy(&e->mutex);
  std::free(e);
}
