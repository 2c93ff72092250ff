// SPDX-License-Identifier: MIT
#include "platform/ini.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string trim(const char* begin, const char* end) {
  while (begin < end && is_space(*begin)) ++begin;
  while (end > begin && is_space(end[-1])) --end;
  if (end - begin >= 2 && (*begin == '"' || *begin == '\'') && end[-1] == *begin) {
    ++begin;
    --end;
  }
  return std::string(begin, end);
}

}  // namespace

void ini_parse(const char* text, size_t length, IniDocument* doc) {
  doc->sections.clear();
  IniSection* current = nullptr;
  const char* end = text + length;
  const char* line = text;
  // A UTF-8 byte-order mark at the start is not part of the first line.
  if (length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) line += 3;
  while (line < end) {
    const char* eol = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
    if (!eol) eol = end;
    const char* p = line;
    while (p < eol && is_space(*p)) ++p;
    if (p < eol && *p == '[') {
      const char* close = static_cast<const char*>(std::memchr(p, ']', static_cast<size_t>(eol - p)));
      if (close) {
        doc->sections.push_back(IniSection{trim(p + 1, close), {}});
        current = &doc->sections.back();
      }
    } else if (p < eol && *p != ';' && *p != '#' && current) {
      const char* eq = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(eol - p)));
      if (eq) current->entries.push_back(IniEntry{trim(p, eq), trim(eq + 1, eol)});
    }
    line = eol + 1;
  }
}

int ini_load(const char* path, IniDocument* doc) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return -1;
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return -1;
  ini_parse(text.data(), text.size(), doc);
  return 0;
}

const std::string* ini_find(const IniDocument* doc, const char* section, const char* key) {
  for (const IniSection& s : doc->sections) {
    if (strcasecmp(s.name.c_str(), section) != 0) continue;
    for (const IniEntry& e : s.entries)
      if (strcasecmp(e.key.c_str(), key) == 0) return &e.value;
  }
  return nullptr;
}

size_t ini_get_string(const char* section, const char* key, const char* default_value, char* out,
                      size_t out_size, const char* path) {
  if (out_size == 0) return 0;
  IniDocument doc;
  const char* value = default_value ? default_value : "";
  int saved_errno = errno;
  if (ini_load(path, &doc) == 0) {
    errno = saved_errno;
    if (const std::string* found = ini_find(&doc, section, key)) value = found->c_str();
  } else {
    errno = ENOENT;
  }
  size_t length = std::strlen(value);
  if (length > out_size - 1) length = out_size - 1;
  std::memcpy(out, value, length);
  out[length] = '\0';
  return length;
}
