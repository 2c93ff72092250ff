// SPDX-License-Identifier: MIT
#include "control/defaults.h"

#include <cstdlib>
#include <cstring>

#include "control/command_line.h"
#include "platform/ini.h"

namespace {

struct KeyRule {
  const char* name;
  const char* const* accepted;  // the values taken, or nullptr for an address
  size_t room = 0;              // a text's characters at most
};

const char* const kFormats[] = {"wav", "bwf", "flac", nullptr};
const char* const kYesNo[] = {"yes", "no", "true", "false", "on", "off", "1", "0", nullptr};
// Stand-ins for the kinds of value that are no list: any text, a time.
const char* const kText[] = {nullptr};
const char* const kTime[] = {nullptr};

const KeyRule kRules[DEFAULT_COUNT] = {
    {"drive", nullptr},
    {"format", kFormats},
    {"report", kYesNo},
    {"read-on", kYesNo},
    {"originator", kText, 32},
    {"archive-location", kText, 255},
    {"copyright", kText, 255},
    {"transfer-time", kTime},
};

bool accepted(const KeyRule& rule, const std::string& value) {
  if (!rule.accepted) return is_drive_address(value.c_str());
  if (rule.accepted == kText) return !value.empty() && value.size() <= rule.room;
  int64_t seconds = 0;
  if (rule.accepted == kTime) return parse_iso_time(value.c_str(), &seconds);
  for (const char* const* a = rule.accepted; *a; ++a)
    if (value == *a) return true;
  return false;
}

std::string user_config_path() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/kestrel/kestrel.conf";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/kestrel/kestrel.conf";
  return "";
}

// One value from source, checked; "" or the line saying what is wrong.
std::string take(Defaults* d, int key, const std::string& value, const std::string& source) {
  const KeyRule& rule = kRules[key];
  if (!accepted(rule, value))
    return "kestrel: " + source + ": " + rule.name + " '" + value + "' is not " +
           (rule.accepted == kFormats ? "wav, bwf or flac"
            : rule.accepted == kText ? "a text of 1 to " + std::to_string(rule.room) + " characters"
            : rule.accepted == kTime ? std::string("a time as YYYY-MM-DDTHH:MM:SSZ (or with an offset)")
            : rule.accepted      ? "yes or no"
                                 : "ADAPTER:ID, each 0 to 7");
  d->values[key] = {value, source};
  return "";
}

std::string take_file(Defaults* d, const std::string& path) {
  IniDocument doc;
  if (path.empty() || ini_load(path.c_str(), &doc) != 0) return "";
  for (int key = 0; key < DEFAULT_COUNT; ++key) {
    const std::string* value = ini_find(&doc, "kestrel", kRules[key].name);
    if (!value) continue;
    std::string wrong = take(d, key, *value, path);
    if (!wrong.empty()) return wrong;
  }
  return "";
}

}  // namespace

const char* default_key_name(DefaultKey key) { return kRules[key].name; }

bool is_drive_address(const char* text) {
  return std::strlen(text) == 3 && text[0] >= '0' && text[0] <= '7' && text[1] == ':' && text[2] >= '0' &&
         text[2] <= '7';
}

bool default_says_yes(const std::string& value) {
  return value == "yes" || value == "true" || value == "on" || value == "1";
}

std::string load_defaults(Defaults* d) {
  for (DefaultValue& v : d->values) v = {"", "default"};
  const char* system = std::getenv("KESTREL_SYSTEM_CONFIG");
  std::string wrong = take_file(d, system ? system : "/etc/kestrel.conf");
  if (wrong.empty()) wrong = take_file(d, user_config_path());
  const char* drive = std::getenv("KESTREL_DRIVE");
  if (wrong.empty() && drive && *drive) wrong = take(d, DEFAULT_DRIVE, drive, "KESTREL_DRIVE");
  return wrong;
}
