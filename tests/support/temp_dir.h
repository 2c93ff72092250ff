// SPDX-License-Identifier: MIT
// A temporary folder for one test, removed with everything in it at the end.
#pragma once

#include <string>

struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // path() + "/" + name
  std::string file(const std::string& name) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Whole-file helpers.
bool write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
