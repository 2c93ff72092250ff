// SPDX-License-Identifier: MIT
// INI files: the cue file and the virtual drives' bus file.
//
// Syntax: "[SECTION]" lines open sections, "KEY=value" lines give values;
// blank lines and lines starting with ';' or '#' are ignored. Section and key
// names are matched without regard to case, white space around names and
// values is dropped, and a value in matching double or single quotes loses
// them. When a key occurs twice in a section the first one counts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct IniEntry {
  std::string key;
  std::string value;
};

struct IniSection {
  std::string name;
  std::vector<IniEntry> entries;
};

struct IniDocument {
  std::vector<IniSection> sections;
};

// Reads and parses a file. Returns 0 on success, -1 when it cannot be read.
int ini_load(const char* path, IniDocument* doc);
// Parses text already in memory.
void ini_parse(const char* text, size_t length, IniDocument* doc);
// The value of a key, or nullptr when the section or key is absent.
const std::string* ini_find(const IniDocument* doc, const char* section, const char* key);

// The profile-string lookup: copies the key's value (or the default when the
// file, the section or the key is absent) into out, cut to out_size - 1
// characters and NUL-terminated, and returns the number of characters copied
// (0 for a key that is present with an empty value). errno is set to ENOENT
// when the default was taken because the file is missing, else left alone.
size_t ini_get_string(const char* section, const char* key, const char* default_value, char* out,
                      size_t out_size, const char* path);
