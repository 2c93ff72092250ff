// SPDX-License-Identifier: MIT
#include "platform/memory.h"

#include <sys/mman.h>

#include <atomic>

namespace {

std::atomic<int> g_ran_out{0};

}  // namespace

void memory_ran_out(void) { g_ran_out.store(1); }

int memory_has_run_out(void) { return g_ran_out.load(); }

int memory_headroom(size_t bytes) {
  // Writable and private: it counts against an address-space limit and,
  // under strict overcommit, against the commit limit, as the library's
  // own allocations would. It is never touched, so it costs no memory.
  void* probe = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (probe == MAP_FAILED) return 0;
  munmap(probe, bytes);
  return 1;
}
