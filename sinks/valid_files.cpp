// SPDX-License-Identifier: MIT
#include "sinks/valid_files.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <atomic>

#include <csignal>

#include "datframe/dat_frame.h"
#include "platform/console.h"
#include "wavlib/thistle.h"

namespace {
// The files a second interrupt repairs; read in its signal handler, so
// plain values and lock-free atomics only.
struct AbruptExitFile {
  volatile sig_atomic_t fd;
  volatile sig_atomic_t kind;
  volatile sig_atomic_t header_bytes;  // a WAV file's bytes before its audio
  std::atomic<int64_t> length;         // a file cut to its valid length: that length
  // A file cut to its valid length that another thread writes: the handshake
  // that keeps the cut and the writes apart (kWriting, kCut), and the thread
  // that writes.
  std::atomic<int> state;
  std::atomic<pid_t> writer;
};
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<pid_t>::is_always_lock_free);
const int kWriting = 1;  // bytes are going into the file, their length not yet recorded
const int kCut = 2;      // cut for an abrupt exit: nothing more goes in
const int kAbruptExitFiles = 4;
AbruptExitFile g_abrupt_exit_files[kAbruptExitFiles] = {
    {-1, 0, 0, 0, 0, 0}, {-1, 0, 0, 0, 0, 0}, {-1, 0, 0, 0, 0, 0}, {-1, 0, 0, 0, 0, 0}};
// The RIFF size past which the files of ABRUPT_EXIT_RF64 become RF64.
std::atomic<uint64_t> g_rf64_above{UINT32_MAX};
// How long the cut waits for a write under way on another thread, in steps.
const int kCutWaitSteps = 1000;
const long kCutWaitStepNs = 1000000;

AbruptExitFile* registered(int fd) {
  for (AbruptExitFile& f : g_abrupt_exit_files)
    if (f.fd == fd) return &f;
  return nullptr;
}

// Cuts a file to its valid length once no write is under way; runs in the
// signal handler. A write under way on this very thread was interrupted and
// never goes on: the cut drops what it wrote. One on another thread gets up
// to a second to record its length.
void abrupt_exit_cut(AbruptExitFile* f) {
  int was = f->state.fetch_or(kCut);
  if ((was & kWriting) && f->writer.load() != gettid()) {
    timespec step{0, kCutWaitStepNs};
    for (int i = 0; i < kCutWaitSteps && (f->state.load() & kWriting); ++i) nanosleep(&step, nullptr);
  }
  if (ftruncate(f->fd, static_cast<off_t>(f->length.load())) != 0) return;
}

void abrupt_exit_forget_stream(FILE* file) { abrupt_exit_forget_descriptor(fileno(file)); }

void abrupt_exit_register(int fd, AbruptExitKind kind, uint32_t header_bytes) {
  console_set_abrupt_exit_hook(abrupt_exit_repair_files);
  set_close_stream_hook(abrupt_exit_forget_stream);
  for (AbruptExitFile& f : g_abrupt_exit_files) {
    if (f.fd >= 0) continue;
    f.kind = kind;
    f.header_bytes = static_cast<sig_atomic_t>(header_bytes);
    f.length.store(0);
    f.state.store(0);
    f.fd = fd;
    return;
  }
}

}  // namespace

void abrupt_exit_keep_valid(FILE* file, AbruptExitKind kind) {
  abrupt_exit_register(fileno(file), kind, THISTLE_HEADER_BYTES(0));
}

void abrupt_exit_keep_wav_valid(FILE* file, uint32_t header_bytes) {
  abrupt_exit_register(fileno(file), ABRUPT_EXIT_WAV, header_bytes);
}

void abrupt_exit_keep_rf64_valid(FILE* file, uint32_t header_bytes) {
  g_rf64_above.store(rf64_threshold());
  abrupt_exit_register(fileno(file), ABRUPT_EXIT_RF64, header_bytes);
}

uint64_t rf64_threshold(void) {
  static const uint64_t threshold = [] {
    const char* text = std::getenv("KESTREL_RF64_ABOVE");
    char* end = nullptr;
    unsigned long long value = text ? std::strtoull(text, &end, 10) : 0;
    return text && *text && end && *end == '\0' && value < UINT32_MAX ? static_cast<uint64_t>(value) : uint64_t{UINT32_MAX};
  }();
  return threshold;
}

void abrupt_exit_repair_files(void) {
  for (AbruptExitFile& f : g_abrupt_exit_files) {
    int fd = f.fd;
    if (fd < 0) continue;
    if (f.kind == ABRUPT_EXIT_WAV) {
      thistle_settle_descriptor_at(fd, static_cast<uint32_t>(f.header_bytes));
      continue;
    }
    if (f.kind == ABRUPT_EXIT_RF64) {
      thistle_settle_descriptor_rf64(fd, static_cast<uint32_t>(f.header_bytes), g_rf64_above.load());
      continue;
    }
    if (f.kind == ABRUPT_EXIT_CUT) {
      abrupt_exit_cut(&f);
      continue;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) continue;
    if (ftruncate(fd, info.st_size / DAT_FRAME_BYTES * DAT_FRAME_BYTES) != 0) continue;
  }
}

void abrupt_exit_keep_cut(int fd) { abrupt_exit_register(fd, ABRUPT_EXIT_CUT, 0); }

void abrupt_exit_valid_length(int fd, int64_t length) {
  if (AbruptExitFile* f = registered(fd)) f->length.store(length);
}

bool abrupt_exit_begin_write(int fd) {
  AbruptExitFile* f = registered(fd);
  if (!f) return true;
  f->writer.store(gettid());
  int idle = 0;
  return f->state.compare_exchange_strong(idle, kWriting);  // fails once the file is cut
}

void abrupt_exit_end_write(int fd, int64_t length) {
  AbruptExitFile* f = registered(fd);
  if (!f) return;
  f->length.store(length);
  f->state.fetch_and(~kWriting);
}

void abrupt_exit_forget_descriptor(int fd) {
  for (AbruptExitFile& f : g_abrupt_exit_files)
    if (f.fd == fd) f.fd = -1;
}

FILE* wav_file_open(const char* name, int32_t rate_code) {
  errno = 0;
  FILE* wav = openWavEncode(name);
  if (!wav) {
    say_open_failure(name);
    return nullptr;
  }
  use_large_buffer(wav);
  errno = 0;
  if (outputHeaderWavEncode(wav, 0, rate_code) != 1 || std::fflush(wav) != 0) {
    say_write_failure(name);
    written_size_after_failure(wav);
    close_stream(wav, closeWavEncode);
    std::remove(name);  // not even a header: no valid file to leave
    return nullptr;
  }
  abrupt_exit_keep_valid(wav, ABRUPT_EXIT_WAV);
  return wav;
}

void say_finish_failures(const char* name, const ThistleFinish* done) {
  // Each step that failed is said once, with its own reason.
  if (done->failed & THISTLE_FINISH_FLUSH) {
    errno = done->flush_errno;
    say_write_failure(name);
  }
  if (done->failed & THISTLE_FINISH_HEADER) {
    errno = done->header_errno;
    say_write_failure(name);
  }
}

int wav_file_finish(FILE* wav, const char* name, uint32_t data_bytes, int32_t rate_code, bool write_failed) {
  ThistleFinish done{};
  int result = thistle_finish_stream(wav, data_bytes, rate_code, write_failed ? 1 : 0, &done);
  say_finish_failures(name, &done);
  errno = 0;
  if (close_stream(wav, closeWavEncode) != 0) {
    say_write_failure(name);
    result = -1;
  }
  return result;
}

int output_file_close(FILE* file, const char* name) {
  errno = 0;
  bool failed = std::ferror(file) != 0;
  if (close_stream(file, close_file) != 0) failed = true;
  if (failed) {
    say_write_failure(name);
    return -1;
  }
  return 0;
}
