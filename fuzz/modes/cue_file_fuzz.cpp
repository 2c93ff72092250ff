// SPDX-License-Identifier: MIT
// The cue file: the input as the cue file of /GOSHAWK, found by
// cue_file_load (in the current folder, a private one while the call runs),
// then the list walked with cue_file_entry as the recorder walks it. Besides
// the sanitizers' checks, the options must be in range and every entry must
// be what the INI reader finds for its key.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/run_settings.h"
#include "fuzz/support/input_file.h"
#include "recording/cue_file.h"
#include "platform/ini.h"

namespace {

const char kBase[] = "KESTRELFUZZ";
const int kEntriesWalked = 8;

void require(bool ok) {
  if (!ok) std::abort();
}

const std::string& folder() {
  static const std::string made = [] {
    std::string path = private_folder("cue");
    require(std::freopen("/dev/null", "w", stdout) != nullptr);
    return path;
  }();
  return made;
}

bool is_flag(int32_t value) { return value == 0 || value == 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = folder();
  FILE* f = std::fopen((dir + "/" + kBase + ".CUE").c_str(), "wb");
  require(f && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0);
  char here[PATH_MAX];
  require(getcwd(here, sizeof here) != nullptr && chdir(dir.c_str()) == 0);

  auto* s = static_cast<RunSettings*>(std::calloc(1, sizeof(RunSettings)));
  require(s != nullptr);
  std::memcpy(s->base_name, kBase, sizeof kBase);
  std::string cue_path, first;
  RecordingOptions o;
  int result = cue_file_load(s, &cue_path, &o, &first);
  require(result == 0 || result == 1);
  if (result == 0) {
    require(first != "NONE" && !cue_path.empty());
    require(o.scms_code >= 0 && o.scms_code <= 3);
    require(is_flag(o.mark_start_ids) && is_flag(o.allow_lp) && is_flag(o.mark_time_date));
    IniDocument doc;
    ini_parse(reinterpret_cast<const char*>(data), size, &doc);
    for (int n = 1; n <= kEntriesWalked; ++n) {
      char key[16];
      std::snprintf(key, sizeof key, "FILE_%.3d", n);
      const std::string* found = ini_find(&doc, "FILES", key);
      std::string expected = found ? std::string(found->c_str()) : std::string("NONE");
      if (expected.size() >= PATH_MAX) expected.clear();  // refused: longer than a path can be
      require(cue_file_entry(cue_path, n) == expected);
    }
  }
  std::free(s);
  require(chdir(here) == 0);
  return 0;
}
