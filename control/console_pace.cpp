// SPDX-License-Identifier: MIT
#include "control/console_pace.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"

namespace {

struct Pacer {
  ConsolePace pace;
  FILE* original;
  std::string pending;  // the text of a line not yet ended
  std::string held;     // quiet: the lasting lines, shown only when the run fails
  bool shown = false;   // a plain progress line has been written
  bool standing = false;  // on a terminal: a status line stands, the cursor at its start
  uint32_t shown_ms = 0;
};

Pacer g_pacer{PACE_TERMINAL, nullptr, {}, {}};

void put(const char* text, size_t size) {
  while (size > 0) {
    ssize_t written = write(STDOUT_FILENO, text, size);
    if (written <= 0) return;  // the console is gone: nothing more to show
    text += written;
    size -= static_cast<size_t>(written);
  }
}

// A status line (the text before a "\r"), as the pace shows it.
void status_line(Pacer* p, const std::string& text) {
  if (p->pace == PACE_TERMINAL) {
    // The rest of a longer line before it is cleared, the cursor left at its start.
    put(text.data(), text.size());
    put("\x1b[K\r", 4);
    p->standing = true;
    return;
  }
  if (p->pace == PACE_QUIET || text.find_first_not_of(' ') == std::string::npos) return;
  uint32_t now = platform_time_ms();
  if (p->shown && now - p->shown_ms < kPlainProgressMs) return;
  p->shown = true;
  p->shown_ms = now;
  size_t first = text.find_first_not_of(' ');
  size_t last = text.find_last_not_of(' ');
  std::string line = text.substr(first, last - first + 1) + "\n";
  put(line.data(), line.size());
}

ssize_t pace_write(void* cookie, const char* data, size_t size) {
  auto* p = static_cast<Pacer*>(cookie);
  p->pending.append(data, size);
  size_t start = 0;
  for (size_t i = 0; i < p->pending.size(); ++i) {
    char c = p->pending[i];
    if (c == '\n') {
      // A lasting line takes the place of the status line standing on a terminal.
      if (p->standing) put("\x1b[K", 3);
      p->standing = false;
      if (p->pace == PACE_QUIET) p->held.append(p->pending, start, i + 1 - start);
      else put(p->pending.data() + start, i + 1 - start);
      start = i + 1;
    } else if (c == '\r') {
      status_line(p, p->pending.substr(start, i - start));
      start = i + 1;
    }
  }
  p->pending.erase(0, start);
  return static_cast<ssize_t>(size);
}

}  // namespace

int console_pace_start(ConsolePace pace) {
  g_pacer.pace = pace;
  cookie_io_functions_t functions = {nullptr, pace_write, nullptr, nullptr};
  FILE* paced = fopencookie(&g_pacer, "w", functions);
  if (!paced) return -1;
  std::fflush(stdout);
  g_pacer.original = stdout;
  stdout = paced;
  return 0;
}

void console_pace_warn(const char* line) {
  if (!g_pacer.original) {
    std::fputs(line, stdout);
    return;
  }
  std::fflush(stdout);
  if (g_pacer.standing) put("\x1b[K", 3);
  g_pacer.standing = false;
  put(line, std::strlen(line));
}

void console_pace_finish(bool failed) {
  if (!g_pacer.original) return;
  std::fflush(stdout);
  if (failed) put(g_pacer.held.data(), g_pacer.held.size());
  if (failed || g_pacer.pace != PACE_QUIET) put(g_pacer.pending.data(), g_pacer.pending.size());
  g_pacer.pending.clear();
  g_pacer.held.clear();
  std::fclose(stdout);
  stdout = g_pacer.original;
  g_pacer.original = nullptr;
}
