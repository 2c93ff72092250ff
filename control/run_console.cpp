// SPDX-License-Identifier: MIT
#include "control/run_console.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>

#include "base/dat_format.h"
#include "control/run_sequence.h"
#include "datframe/dat_frame.h"
#include "modes/run_watch.h"
#include "platform/clock.h"
#include "platform/digest.h"

namespace {

// A status line at most this often (and after this many frames when the clock stands still).
constexpr uint32_t kStatusMs = 200;
constexpr int64_t kStatusFrames = 500;
constexpr int kBarWidth = 20;

struct RunConsole {
  RunConsoleSetup setup;
  uint32_t start_ms = 0;
  uint32_t first_frame_ms = 0;  // when the first frame came: the pace of reading is taken from there
  uint32_t drawn_ms = 0;
  int64_t drawn_frames = -kStatusFrames;
  WatchPosition at{};
  std::string file;  // the file being written
  int64_t files = 0;
  bool watching = false;
};

RunConsole g_console;

std::string time_text(FrameTime t) {
  if (!t.valid) return "";
  char text[16];
  dat_time_code_text(t.code, text, sizeof text);
  return text;
}

// Seconds as H:MM:SS.
std::string clock_text(int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

int64_t elapsed_s(void) { return (platform_time_ms() - g_console.start_ms) / 1000; }

// The status line: where the tape is, what was read, the file, the time.
// width: the columns it may take (0: any); what says least goes first: the
// file's name, then half the bar, then the end of the line.
std::string status_text(size_t width = 0, bool with_file = true, int bar = kBarWidth) {
  const WatchPosition& at = g_console.at;
  std::string line = at.absolute.valid ? "A " + time_text(at.absolute) : "A --:--:--:--";
  char text[160];
  std::snprintf(text, sizeof text, " P%03d  %lld frames, %lld damaged, %lld unreadable", at.program,
                static_cast<long long>(at.frames), static_cast<long long>(at.damaged),
                static_cast<long long>(at.unreadable));
  line += text;
  if (with_file && !g_console.file.empty()) line += "  " + g_console.file;
  int64_t elapsed = elapsed_s();
  line += "  " + clock_text(elapsed);
  int64_t total = g_console.setup.total_frames;
  if (total > 0) {
    double done = static_cast<double>(at.frames) / static_cast<double>(total);
    if (done > 1) done = 1;
    int filled = static_cast<int>(done * bar);
    line += " [" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(bar - filled), '.') + "]";
    std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(done * 100));
    line += text;
    uint32_t reading_ms = platform_time_ms() - g_console.first_frame_ms;
    if (at.frames >= kStatusFrames && reading_ms >= 1000 && done < 1) {
      double left_s = static_cast<double>(total - at.frames) * reading_ms / 1000.0 / static_cast<double>(at.frames);
      line += " " + clock_text(static_cast<int64_t>(left_s)) + " left";
    }
  }
  if (width == 0 || line.size() < width) return line;
  if (with_file && !g_console.file.empty()) return status_text(width, false, bar);
  if (bar == kBarWidth && total > 0) return status_text(width, false, kBarWidth / 2);
  return line.substr(0, width - 1);  // a line that wraps could not be rewritten in place
}

// The terminal's width, 0 when unknown.
size_t terminal_width(void) {
  winsize size{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// The status line ends in "\r": on a terminal it is rewritten in place, off
// one the console's pace shows one in 10 seconds as a line of its own.
void show_status(void) {
  std::string line = status_text(g_console.setup.pace == PACE_TERMINAL ? terminal_width() : 0) + "\r";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  g_console.drawn_ms = platform_time_ms();
  g_console.drawn_frames = g_console.at.frames;
}

using Json = nlohmann::ordered_json;

// One event, a line of its own; a name that is no valid UTF-8 keeps U+FFFD in
// the place of its stray bytes.
void emit(const Json& event) {
  if (g_console.setup.events_fd < 0) return;
  std::string line = event.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = write(g_console.setup.events_fd, data, left);
    if (written <= 0) return;  // the reader is gone: the run goes on without it
    data += written;
    left -= static_cast<size_t>(written);
  }
}

// An event of the tape: what, where it happened and in which file.
Json tape_event(const char* kind, const WatchEvent* e) {
  Json json;
  json["event"] = kind;
  json["file"] = e->file ? e->file : "";
  json["at"] = e->absolute.valid ? Json(time_text(e->absolute)) : Json();
  json["program"] = e->program;
  return json;
}

// A lasting line: said unless quiet, or always when it warns.
void say(const std::string& line, bool warning) {
  if (warning) {
    console_pace_warn((line + "\n").c_str());
  } else {
    if (g_console.setup.pace == PACE_QUIET) return;
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
  g_console.drawn_ms = platform_time_ms() - kStatusMs;  // the status line comes back at the next frame
}

void on_position(void*, const WatchPosition* position) {
  if (g_console.at.frames == 0) g_console.first_frame_ms = platform_time_ms();
  g_console.at = *position;
  if (g_console.setup.pace == PACE_QUIET) return;
  if (position->frames - g_console.drawn_frames >= kStatusFrames || platform_time_ms() - g_console.drawn_ms >= kStatusMs)
    show_status();
}

void on_event(void*, const WatchEvent* e) {
  std::string at = time_text(e->absolute);
  std::string in = e->file && *e->file ? std::string(" in ") + e->file : "";
  char text[64];
  switch (e->kind) {
    case WATCH_FILE_OPENED:
      g_console.file = e->file;
      g_console.files += 1;
      say(std::string(" - writing ") + e->file + (at.empty() ? "" : " from " + at), false);
      emit(tape_event("file_opened", e));
      break;
    case WATCH_DAMAGED: {
      say(" - " + std::to_string(e->count) + (e->count == 1 ? " damaged frame" : " damaged frames") +
              (at.empty() ? "" : " from " + at) + in,
          true);
      Json event = tape_event("damaged", e);
      event["frames"] = e->count;
      emit(event);
      break;
    }
    case WATCH_UNREADABLE: {
      // The frame that could not be read is the one after the last read.
      FrameTime lost = e->absolute;
      if (lost.valid) {
        uint8_t b[4] = {static_cast<uint8_t>(lost.code >> 24), static_cast<uint8_t>(lost.code >> 16),
                        static_cast<uint8_t>(lost.code >> 8), static_cast<uint8_t>(lost.code)};
        dat_step_time_code(b);
        lost.code = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
      }
      std::string frame = lost.valid ? time_text(lost) : "number " + std::to_string(g_console.at.frames + 1);
      say(" - frame " + frame + " could not be read" + (in.empty() ? "" : ": silence in its place" + in), true);
      std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(e->count));
      WatchEvent shown = *e;
      shown.absolute = lost;
      Json event = tape_event("unreadable", &shown);
      event["result"] = text;
      emit(event);
      break;
    }
    case WATCH_REREAD: {  // the re-read stage says on the console what its passes gave
      Json event = tape_event("reread", e);
      event["reads"] = e->count;
      event["recovered"] = e->recovered != 0;
      emit(event);
      break;
    }
    case WATCH_FILE_CLOSED: {
      g_console.file.clear();
      if (g_console.setup.events_fd < 0) break;
      // The file as it is left on disk, checked once it is closed.
      char hex[65] = "";
      struct stat st {};
      bool read = digest_file_sha256(e->file, hex) == 0 && stat(e->file, &st) == 0;
      Json event = tape_event("file_closed", e);
      event["bytes"] = read ? Json(static_cast<int64_t>(st.st_size)) : Json();
      event["sha256"] = read ? Json(hex) : Json();
      emit(event);
      break;
    }
    case WATCH_END:
      say(" - end of the recorded data" + (at.empty() ? "" : " after " + at), false);
      emit(tape_event("end_of_data", e));
      break;
  }
}

const char* verdict_of(int exit_code) {
  return exit_code == EXIT_DONE ? "clean" : exit_code == EXIT_DAMAGED ? "damaged" : "incomplete";
}

}  // namespace

void run_console_start(const RunConsoleSetup& setup) {
  g_console = RunConsole{};
  g_console.setup = setup;
  g_console.start_ms = platform_time_ms();
  g_console.drawn_ms = g_console.start_ms - kStatusMs;
  g_console.watching = true;
  RunWatcher watcher{on_position, on_event, nullptr};
  if (setup.watch_frames) run_watch_set(&watcher);
  emit(Json{{"event", "started"},
            {"verb", setup.verb},
            {"name", setup.name},
            {"source", setup.source},
            {"expected_frames", setup.total_frames > 0 ? Json(setup.total_frames) : Json()}});
}

void run_console_stop(void) {
  if (!g_console.watching) return;
  run_watch_set(nullptr);
  g_console.watching = false;
  if (g_console.setup.pace != PACE_QUIET && g_console.at.frames > 0) say(status_text(), false);
}

void run_console_finish(int exit_code) {
  const WatchPosition& at = g_console.at;
  char text[200];
  if (!g_console.setup.watch_frames)
    std::snprintf(text, sizeof text, "%s %s in %s", g_console.setup.verb, verdict_of(exit_code), clock_text(elapsed_s()).c_str());
  else
    std::snprintf(text, sizeof text, "%s %s: %lld frames read, %lld damaged, %lld unreadable, %lld file%s, in %s",
                g_console.setup.verb, verdict_of(exit_code), static_cast<long long>(at.frames),
                static_cast<long long>(at.damaged), static_cast<long long>(at.unreadable),
                static_cast<long long>(g_console.files), g_console.files == 1 ? "" : "s", clock_text(elapsed_s()).c_str());
  std::printf("%s\n", text);
  std::fflush(stdout);
  emit(Json{{"event", "finished"},
            {"verdict", verdict_of(exit_code)},
            {"exit_code", exit_code},
            {"frames", at.frames},
            {"damaged", at.damaged},
            {"unreadable", at.unreadable},
            {"files", g_console.files},
            {"elapsed_s", elapsed_s()}});
}

int64_t expected_frames(const char* image, const char* name, const char* length) {
  if (length) {
    int h = 0, m = 0, s = 0;
    char extra = 0;
    if (std::sscanf(length, "%d:%d:%d%c", &h, &m, &s, &extra) != 3 || h < 0 || m < 0 || m > 59 || s < 0 || s > 59)
      return -1;
    return (static_cast<int64_t>(h) * 3600 + m * 60 + s) * 100 / 3;  // 100 frames in 3 seconds
  }
  struct stat st {};
  if (image) return stat(image, &st) == 0 ? static_cast<int64_t>(st.st_size) / DAT_FRAME_BYTES : 0;
  // A listing saved beside the name: its total line ends in "(N frames)".
  std::ifstream listing(std::string(name) + ".toc");
  std::string line;
  int64_t frames = 0;
  static const std::regex total(R"(\((\d+) frames\)\s*$)");
  std::smatch found;
  while (std::getline(listing, line))
    if (std::regex_search(line, found, total)) frames = std::stoll(found[1].str());
  return frames;
}
