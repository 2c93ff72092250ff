// SPDX-License-Identifier: MIT
#include "platform/file_io.h"

#include <stdio_ext.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/memory.h"

namespace {
const size_t kOutputBufferBytes = 1 << 20;  // few, large writes

struct StreamBuffer {
  FILE* stream;
  char* buffer;
};
std::vector<StreamBuffer> g_stream_buffers;
void (*g_close_hook)(FILE*) = nullptr;

void say_failure(const char* what, const char* name, const char* without_reason) {
  int error = errno;
  std::printf("\n%s %s failed: %s\n", what, name, error ? std::strerror(error) : without_reason);
  note_failure_reason(error);
}

}  // namespace

void use_large_buffer(FILE* file) {
  char* buffer = static_cast<char*>(std::malloc(kOutputBufferBytes));
  if (buffer && std::setvbuf(file, buffer, _IOFBF, kOutputBufferBytes) == 0) {
    g_stream_buffers.push_back({file, buffer});
    return;
  }
  std::free(buffer);  // the stream keeps its own, smaller buffer
}

int32_t close_file(FILE* file) { return std::fclose(file); }

void set_close_stream_hook(void (*hook)(FILE* file)) { g_close_hook = hook; }

int close_stream(FILE* file, int32_t (*closer)(FILE*)) {
  if (g_close_hook) g_close_hook(file);
  char* buffer = nullptr;
  for (size_t i = 0; i < g_stream_buffers.size(); ++i) {
    if (g_stream_buffers[i].stream != file) continue;
    buffer = g_stream_buffers[i].buffer;
    g_stream_buffers.erase(g_stream_buffers.begin() + static_cast<long>(i));
    break;
  }
  int result = closer(file);
  std::free(buffer);
  return result;
}

void say_write_failure(const char* name) { say_failure("write to", name, "short write"); }

void say_read_failure(const char* name) { say_failure("read from", name, "short read"); }

void say_open_failure(const char* name) {
  int error = errno;
  std::printf("Cannot open %s\n", name);
  std::printf("%s\n", error ? std::strerror(error) : "reason unknown");
  note_failure_reason(error);
}

void note_failure_reason(int error) {
  if (error == ENOMEM) memory_ran_out();
}

long long written_size_after_failure(FILE* file) {
  __fpurge(file);
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return -1;
  return static_cast<long long>(info.st_size);
}
