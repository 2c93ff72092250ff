// SPDX-License-Identifier: MIT
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/log.h"

namespace {
int32_t g_log_level = 0;
FILE* g_track_log = nullptr;
const size_t kLogLineSize = 500;
}  // namespace

int32_t RecVerbose(int32_t level) {
  g_log_level = level;
  return g_log_level;
}

int log_printf(const char* format, ...) {
  char text[kLogLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_log_level < 0) return 0;
  FILE* log = std::fopen(kRunLogName, "a+");
  if (!log) return -1;
  size_t length = std::strlen(text);
  size_t written = std::fwrite(text, 1, length, log);
  int closed = std::fclose(log);
  return (written == length && closed == 0) ? static_cast<int>(length) : -1;
}

int track_log_printf(const char* format, ...) {
  if (!g_track_log) return 0;
  char text[kLogLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return std::fprintf(g_track_log, "%s", text) < 0 ? -1 : static_cast<int>(std::strlen(text));
}

void track_log_set(FILE* stream) { g_track_log = stream; }
FILE* track_log_get(void) { return g_track_log; }
