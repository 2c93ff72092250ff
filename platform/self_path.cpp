// SPDX-License-Identifier: MIT
#include "platform/self_path.h"

#include <climits>
#include <unistd.h>

std::string platform_program_path(void) {
  char buffer[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string platform_program_dir(void) {
  std::string path = platform_program_path();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string(".");
  if (slash == 0) return std::string("/");
  return path.substr(0, slash);
}
