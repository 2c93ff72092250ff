// SPDX-License-Identifier: MIT
#include "recording/cue_file.h"

#include <dirent.h>
#include <unistd.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/ini.h"
#include "platform/self_path.h"

namespace {

// Options are read into a buffer of this size, so a longer value is cut.
constexpr size_t kOptionBufferSize = 100;
// File paths: anything the system can open, and one more character to see
// when a value is longer than that.
constexpr size_t kPathBufferSize = PATH_MAX + 1;

// One profile-string lookup. Returns the number of characters copied and,
// through last_error, errno as the lookup left it.
size_t lookup(const std::string& path, const char* section, const char* key, const char* default_value,
              size_t capacity, std::string* value, int* last_error) {
  std::vector<char> buffer(capacity);
  errno = 0;
  size_t n = ini_get_string(section, key, default_value, buffer.data(), capacity, path.c_str());
  *last_error = errno;
  value->assign(buffer.data(), n);
  return n;
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A switch of the CONFIG section: ON or OFF in any case (on, On, off, ...);
// absent, default_value. Any other value is said, with its key, and leaves
// the switch off. The message, when there is one, says that it is on.
bool read_switch(const std::string& path, const char* key, const char* diagnostic, const char* message,
                 const char* default_value = "ON") {
  std::string value;
  int last_error = 0;
  if (lookup(path, "CONFIG", key, default_value, kOptionBufferSize, &value, &last_error) == 0)
    std::printf(diagnostic, last_error);
  if (strcasecmp(value.c_str(), "ON") == 0) {
    if (message) std::printf("%s", message);
    return true;
  }
  // An empty value has had its diagnostic.
  if (!value.empty() && strcasecmp(value.c_str(), "OFF") != 0)
    std::printf("%s=%s in the cue file is neither ON nor OFF: taken as OFF\n", key, value.c_str());
  return false;
}

// A silence length in seconds: 0 for "0"; else the leading decimal number
// (0 when there is none), echoed whatever it is.
int32_t read_seconds(const std::string& path, const char* key, const char* diagnostic, const char* message) {
  std::string value;
  int last_error = 0;
  if (lookup(path, "CONFIG", key, "0", kOptionBufferSize, &value, &last_error) == 0)
    std::printf(diagnostic, last_error);
  if (value == "0") return 0;
  long seconds = std::strtol(value.c_str(), nullptr, 10);
  seconds = std::clamp<long>(seconds, INT32_MIN, INT32_MAX);
  std::printf(message, static_cast<int>(seconds));
  return static_cast<int32_t>(seconds);
}

// No cue file in either folder: the paths tried, each once.
void say_cue_file_missing(const std::string& program_dir, const std::string& file_name) {
  char here[PATH_MAX];
  std::string current_dir = getcwd(here, sizeof here) ? std::string(here) : std::string(".");
  std::string beside_program = join_path(program_dir, file_name);
  std::string in_current = join_path(current_dir, file_name);
  if (beside_program == in_current)
    std::printf("Cannot find cue file: %s does not exist (its name in any case)\n", beside_program.c_str());
  else
    std::printf("Cannot find cue file: neither %s (beside the program) nor %s (in the current folder) exists "
                "(its name in any case)\n",
                beside_program.c_str(), in_current.c_str());
}

}  // namespace

std::string cue_file_compose_path(const std::string& program_dir, const char* base_name) {
  const char* name = std::strrchr(base_name, '/');
  name = name ? name + 1 : base_name;
  const char* dot = std::strrchr(name, '.');
  std::string stem = dot ? std::string(name, static_cast<size_t>(dot - name)) : std::string(name);
  return join_path(program_dir, stem + ".CUE");
}

std::string find_file_ignoring_case(const std::string& dir, const std::string& name) {
  std::string exact = join_path(dir, name);
  if (is_regular_file(exact)) return exact;
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return std::string();
  std::vector<std::string> matches;
  while (dirent* entry = readdir(d)) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0 && is_regular_file(join_path(dir, entry->d_name)))
      matches.emplace_back(entry->d_name);
  }
  closedir(d);
  if (matches.empty()) return std::string();
  std::sort(matches.begin(), matches.end());
  return join_path(dir, matches.front());
}

std::string cue_file_entry(const std::string& cue_path, int n) {
  char key[32];
  std::snprintf(key, sizeof key, "FILE_%.3d", n);
  std::string value;
  int last_error = 0;
  size_t copied = lookup(cue_path, "FILES", key, "NONE", kPathBufferSize, &value, &last_error);
  if (copied == 0) std::printf("which_file error %d\n", last_error);
  if (copied >= PATH_MAX) {
    std::printf("%s: file path too long, at most %d characters\n", key, PATH_MAX - 1);
    return std::string();
  }
  return value;
}

int cue_file_load(const RunSettings* settings, std::string* cue_path, RecordingOptions* options,
                  std::string* first_entry) {
  *options = RecordingOptions{};
  std::printf("\n");

  std::string program_dir = platform_program_dir();
  std::string beside_program = cue_file_compose_path(program_dir, settings->base_name);
  std::string file_name = cue_file_compose_path("", settings->base_name);
  if (beside_program.size() >= PATH_MAX) {
    std::printf("Cannot find cue file: %s\n", beside_program.c_str());
    std::printf("(the path is longer than %d characters)\n", PATH_MAX - 1);
    return 1;
  }
  std::string found = find_file_ignoring_case(program_dir, file_name);
  if (found.empty()) found = find_file_ignoring_case("", file_name);
  if (found.empty()) {
    say_cue_file_missing(program_dir, file_name);
    return 1;
  }
  *cue_path = found;

  // Readable, and listing a first file?
  IniDocument document;
  errno = 0;
  if (ini_load(found.c_str(), &document) != 0) {
    int error = errno;
    std::printf("Cannot read cue file %s: %s\n", found.c_str(), error ? std::strerror(error) : "read error");
    return 1;
  }
  if (!ini_find(&document, "FILES", "FILE_001")) {
    bool has_list = std::any_of(document.sections.begin(), document.sections.end(), [](const IniSection& section) {
      return strcasecmp(section.name.c_str(), "FILES") == 0;
    });
    std::printf(has_list ? "Cue file %s lists no FILE_001 in its [FILES] section: nothing to record\n"
                         : "Cue file %s has no [FILES] section to list FILE_001 in: nothing to record\n",
                found.c_str());
    return 1;
  }
  std::string value;
  int last_error = 0;
  if (lookup(found, "FILES", "FILE_001", "", kPathBufferSize, &value, &last_error) == 0)
    std::printf("which_file error %d\n", last_error);

  options->mark_start_ids =
      read_switch(found, "STARTID", "startid error %d\n", "Start IDs will be marked\n") ? 1 : 0;

  // SCMS has no diagnostic of its own: an empty value shows in the echo.
  lookup(found, "CONFIG", "SCMS", "00", kOptionBufferSize, &value, &last_error);
  std::printf("SCMS will be set to %s\n", value.c_str());
  static const char* const kScmsCodes[] = {"00", "01", "10", "11"};
  for (int code = 0; code < 4; ++code) {
    if (value == kScmsCodes[code]) {
      options->scms_code = code;
      break;
    }
  }

  read_switch(found, "ABS_TIME", "abs_time error %d\n", "Absolute time will be marked\n");
  read_switch(found, "PROGRAM_NUMBER", "program_number error %d\n", "Program numbers will be marked\n");
  // Whether a 32 kHz source goes into long play is said where it does, at its track.
  options->allow_lp = read_switch(found, "32KHZ_LP", "32klp error %d\n", nullptr) ? 1 : 0;
  options->mark_time_date =
      read_switch(found, "TIME_DATE", "time_date error %d\n", "Time and date will be marked\n") ? 1 : 0;
  // Sources that are already pre-emphasised: off unless asked for.
  options->emphasis = read_switch(found, "EMPHASIS", "emphasis error %d\n",
                                  "Pre-emphasis (50/15 us) will be marked\n", "OFF")
                          ? 1
                          : 0;
  options->intertrack_silence_seconds = read_seconds(found, "INTERTRACK_SILENCE", "intertrack_silence error %d\n",
                                                     "Inter-track silence = %d seconds\n");
  options->leadin_silence_seconds =
      read_seconds(found, "LEADIN_SILENCE", "lead-in_silence error %d\n", "Lead-in silence = %d seconds\n");
  options->leadout_silence_seconds =
      read_seconds(found, "LEADOUT_SILENCE", "lead-out_silence error %d\n", "Lead-out silence = %d seconds\n");
  std::printf("\n");

  *first_entry = cue_file_entry(found, 1);
  if (*first_entry == "NONE") {
    std::printf("no file\n");
    return 1;
  }
  return 0;
}
