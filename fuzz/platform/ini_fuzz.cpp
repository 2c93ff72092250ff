// SPDX-License-Identifier: MIT
// The INI reader of the cue file and the bus file: any text through
// ini_parse, every name it found back through ini_find, and the
// profile-string lookup on the same text as a file, with buffers of several
// sizes. Besides the sanitizers' checks the two ways of reading must agree.
#include <cstdlib>
#include <cstring>

#include "fuzz/support/input_file.h"
#include "platform/ini.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

// What the lookup gives for a key: the value found (or the default), cut to
// the buffer and NUL-terminated, and its length.
void check_lookup(const char* path, const IniDocument& doc, const char* section, const char* key) {
  const std::string* found = ini_find(&doc, section, key);
  const char* expected = found ? found->c_str() : "default";
  for (size_t size : {1, 2, 9, 100, 4096}) {
    char out[4096];
    std::memset(out, 'x', sizeof out);
    size_t length = ini_get_string(section, key, "default", out, size, path);
    require(length < size && out[length] == '\0' && std::strlen(out) == length);
    require(std::strncmp(out, expected, length) == 0);
    require(length == std::min(std::strlen(expected), size - 1));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = write_input(data, size);
  IniDocument doc;
  ini_parse(reinterpret_cast<const char*>(data), size, &doc);
  size_t lookups = 0;
  for (const IniSection& section : doc.sections) {
    for (const IniEntry& entry : section.entries) {
      // Every key read is found again (by its name up to a NUL byte).
      require(ini_find(&doc, section.name.c_str(), entry.key.c_str()) != nullptr);
      if (lookups++ < 4) check_lookup(path, doc, section.name.c_str(), entry.key.c_str());
    }
  }
  check_lookup(path, doc, "FILES", "FILE_001");
  // The file read from disk gives the same document.
  IniDocument loaded;
  require(ini_load(path, &loaded) == 0 && loaded.sections.size() == doc.sections.size());
  return 0;
}
