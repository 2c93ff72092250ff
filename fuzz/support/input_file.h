// SPDX-License-Identifier: MIT
// The fuzz input as a file, for the library calls that take a path. The file
// is unlinked as soon as it is made (memory-backed storage where there is
// some) and reached through /proc/self/fd, so nothing is left behind however
// the fuzzer ends; it is rewritten for every input. The messages the
// libraries print go to /dev/null.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

struct InputFile {
  int fd = -1;
  std::string path;
};

inline const InputFile& input_file() {
  static const InputFile file = [] {
    InputFile made;
    std::string pattern =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/kestrel-fuzz-XXXXXX";
    made.fd = mkstemp(pattern.data());
    if (made.fd < 0 || unlink(pattern.c_str()) != 0) abort();
    made.path = "/proc/self/fd/" + std::to_string(made.fd);
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return made;
  }();
  return file;
}

inline const char* write_input(const uint8_t* data, size_t size) {
  const InputFile& file = input_file();
  if (ftruncate(file.fd, 0) != 0) abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t wrote = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
    if (wrote <= 0) abort();
    done += static_cast<size_t>(wrote);
  }
  return file.path.c_str();
}

// A private folder for a target's own files (memory-backed storage where
// there is some), removed with what is in it when the fuzzer exits. One per
// process.
inline std::string private_folder(const char* tag) {
  static std::string made;
  if (!made.empty()) abort();
  std::string pattern =
      std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/kestrel-fuzz-" + tag + "-XXXXXX";
  if (!mkdtemp(pattern.data())) abort();
  made = pattern;
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(made, ignored);
  });
  return made;
}
