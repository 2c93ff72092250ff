// SPDX-License-Identifier: MIT
// Whether a name leads to a file that is open already: the same device and
// inode, so that a symbolic or a hard link to it counts as the file itself.
// A program that reads a file and writes others asks this before it creates
// one, so that it never truncates what it is reading.
#pragma once

#include <sys/stat.h>

struct FileIdentity {
  dev_t device;
  ino_t inode;
};

// The identity of the file at path, symbolic links followed. false when no
// file is there.
inline bool file_identity(const char* path, FileIdentity* id) {
  struct stat st {};
  if (stat(path, &st) != 0) return false;
  *id = FileIdentity{st.st_dev, st.st_ino};
  return true;
}

// The identity of an open file. false when it cannot be told.
inline bool open_file_identity(int fd, FileIdentity* id) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  *id = FileIdentity{st.st_dev, st.st_ino};
  return true;
}

// true when path leads to the file of identity id.
inline bool is_same_file(const FileIdentity& id, const char* path) {
  FileIdentity other;
  return file_identity(path, &other) && other.device == id.device && other.inode == id.inode;
}
