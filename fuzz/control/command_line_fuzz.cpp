// SPDX-License-Identifier: MIT
// The command line: the input split at NUL bytes into arguments, parsed into
// a fresh RunSettings. Besides the sanitizers' checks, a command line that is
// accepted must be one the modes can run with.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/command_line.h"
#include "base/run_settings.h"

namespace {

const size_t kMostArguments = 64;

void require(bool ok) {
  if (!ok) std::abort();
}

bool in_range(int32_t value) { return value >= 0 && value <= 7; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = std::freopen("/dev/null", "w", stdout);
  require(quiet != nullptr);
  std::vector<std::string> words = {"kestrel"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < kMostArguments; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (!word.empty() && words.size() < kMostArguments) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());

  auto* s = static_cast<RunSettings*>(std::calloc(1, sizeof(RunSettings)));
  require(s != nullptr);
  int result = parse_command_line(argc, argv.data(), s);
  require(result >= 0 && result <= 2);
  require(std::memchr(s->base_name, '\0', sizeof s->base_name) != nullptr);
  require(std::memchr(s->image_path, '\0', sizeof s->image_path) != nullptr);
  require(std::memchr(s->trace_path, '\0', sizeof s->trace_path) != nullptr);
  require(std::memchr(s->originator, '\0', sizeof s->originator) != nullptr);
  require(std::memchr(s->reference, '\0', sizeof s->reference) != nullptr);
  require(std::memchr(s->identifier, '\0', sizeof s->identifier) != nullptr);
  require(std::memchr(s->location, '\0', sizeof s->location) != nullptr);
  require(std::memchr(s->copyright, '\0', sizeof s->copyright) != nullptr);
  // Every argument upper-cased after its folders, but the paths of an image
  // and a trace and the archive's texts as typed.
  static const char* const kAsTyped[] = {"/FROMIMAGE", "/TRACE",    "/ORIGINATOR", "/REFERENCE",
                                         "/IDENTIFIER", "/LOCATION", "/COPYRIGHT",  "/TRANSFERTIME"};
  for (int i = 1; i < argc; ++i) {
    bool as_typed = false;
    for (const char* sw : kAsTyped) as_typed = as_typed || (i > 1 && std::strcmp(argv[i - 1], sw) == 0);
    if (as_typed) continue;
    const char* slash = std::strrchr(argv[i], '/');
    for (const char* c = slash ? slash + 1 : argv[i]; *c; ++c) require(*c < 'a' || *c > 'z');
  }
  if (result == 0) {
    int32_t modes[] = {s->kestrel_arg, s->goshawk_arg, s->bittern_arg, s->bunting_arg,
                       s->pintail_arg, s->toc_arg,     s->rescue_arg};
    bool any_mode = false;
    for (int32_t m : modes) any_mode = any_mode || m != 0;
    require(any_mode);
    // An image stands in for the input drive of the modes that read it.
    if (s->fromimage_arg) require(s->image_path[0] != '\0' && !s->seek_arg && !s->reread_arg);
    else if (s->kestrel_arg || s->bittern_arg || s->pintail_arg || s->seek_arg || s->rescue_arg)
      require(s->inputid_arg && in_range(s->input_adapter) && in_range(s->input_target) && s->input_lun == 0);
    if (s->goshawk_arg || s->bunting_arg || s->pintail_arg)
      require(s->outputid_arg && in_range(s->output_adapter) && in_range(s->output_target) && s->output_lun == 0);
    if (s->pintail_arg)
      require(s->input_adapter != s->output_adapter || s->input_target != s->output_target);
    if (s->seek_arg) require(s->seek_type >= 0 && s->seek_type <= 3);
    if (s->reread_arg) require(s->reread_passes >= 1 && s->reread_passes <= 99);
    require(!(s->bwf_arg && s->flac_arg));
    if (s->kestrel_arg || s->goshawk_arg || s->bittern_arg || s->bunting_arg || s->rescue_arg)
      require(std::strlen(s->base_name) < sizeof s->base_name);
  }
  std::free(s);
  return 0;
}
