// SPDX-License-Identifier: MIT
// The defaults a person sets once for the verbs: the drive, the files'
// format, the report and reading on, the archive's name, location and
// copyright and a fixed transfer time, from KESTREL_DRIVE and the config files
// $XDG_CONFIG_HOME/kestrel/kestrel.conf (~/.config/...) and /etc/kestrel.conf,
// section [kestrel]. The command line overrides them.
#pragma once

#include <string>

enum DefaultKey {
  DEFAULT_DRIVE,
  DEFAULT_FORMAT,
  DEFAULT_REPORT,
  DEFAULT_READ_ON,
  DEFAULT_ORIGINATOR,     // the archive's texts in the files
  DEFAULT_LOCATION,
  DEFAULT_COPYRIGHT,
  DEFAULT_TRANSFER_TIME,  // ISO 8601
  DEFAULT_COUNT
};

struct DefaultValue {
  std::string value;   // "" when nothing sets it
  std::string source;  // "default", a file's path, or KESTREL_DRIVE
};

struct Defaults {
  DefaultValue values[DEFAULT_COUNT];
};

// The key's name in a config file and on --show-config.
const char* default_key_name(DefaultKey key);

// Reads the environment and the files, the later in this order overriding
// the earlier: /etc/kestrel.conf (or KESTREL_SYSTEM_CONFIG), the user's file,
// KESTREL_DRIVE. Returns "" or the line saying which value is wrong.
std::string load_defaults(Defaults* defaults);

// "A:T", each 0 to 7.
bool is_drive_address(const char* text);

// Whether a yes/no value says yes (yes, true, on, 1).
bool default_says_yes(const std::string& value);
