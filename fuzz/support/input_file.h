// The fuzz input as a file, for the library calls that take a path. The file
// lives in memory-backed storage where there is some and is rewritten for
// every input; the messages the libraries print go to /dev/null.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline const std::string& input_path() {
  static const std::string path = [] {
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string made = std::string(folder) + "/kestrel-fuzz-" + std::to_string(getpid());
    atexit([] { unlink(input_path().c_str()); });
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return made;
  }();
  return path;
}

inline const char* write_input(const uint8_t* data, size_t size) {
  FILE* file = fopen(input_path().c_str(), "wb");
  if (file == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, file) != size) abort();
  if (fclose(file) != 0) abort();
  return input_path().c_str();
}
