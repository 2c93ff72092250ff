// SPDX-License-Identifier: MIT
#include "modes/name_template.h"

#include <cstdio>
#include <cstring>

namespace {

const char* g_template = nullptr;

const char kFields[] = "nfpdta%";

std::string bcd(uint32_t value, const char* separator, int bytes) {
  std::string text;
  for (int i = bytes - 1; i >= 0; --i) {
    char two[3];
    std::snprintf(two, sizeof two, "%.2x", (value >> (8 * i)) & 0xFF);
    text += two;
    if (i > 0) text += separator;
  }
  return text;
}

}  // namespace

std::string name_template_fault(const char* t) {
  bool varies = false;
  for (const char* c = t; *c; ++c) {
    if (*c != '%') continue;
    char field = c[1];
    if (!field || !std::strchr(kFields, field))
      return std::string("--name-template: '%") + (field ? std::string(1, field) : "") +
             "' is no field (%n name, %f file number, %p program, %d date, %t time, %a absolute time, %% a percent sign)";
    if (std::strchr("fpdta", field)) varies = true;
    ++c;
  }
  if (!varies) return std::string("--name-template '") + t + "' gives every file the same name: add %f, the file number";
  return "";
}

bool name_template_numbered(const char* t) {
  for (const char* c = t; *c; ++c) {
    if (*c != '%') continue;
    if (c[1] == 'f') return true;
    if (c[1]) ++c;
  }
  return false;
}

std::string name_from_template(const char* t, const char* name, int file, const FrameInfo& first) {
  std::string out;
  char number[16];
  for (const char* c = t; *c; ++c) {
    if (*c != '%' || !c[1]) {
      out += *c;
      continue;
    }
    switch (*++c) {
      case 'n': out += name; break;
      case 'f':
        std::snprintf(number, sizeof number, "%.3d", file);
        out += number;
        break;
      case 'p':
        std::snprintf(number, sizeof number, "%.3d", first.program_kind == FRAME_PROGRAM_NUMBER ? first.program : 0);
        out += number;
        break;
      case 'd': {
        if (!first.date.valid) {
          out += "nodate";
          break;
        }
        // The pack holds the year's last two digits; DAT recorders came in 1987, as the files' metadata takes it.
        int year = static_cast<int>((first.date.date >> 20 & 0xF) * 10 + (first.date.date >> 16 & 0xF));
        out += (year >= 87 ? "19" : "20") + bcd(first.date.date, "-", 3);
        break;
      }
      case 't': out += first.date.valid ? bcd(first.date.time, "", 3) : "notime"; break;
      case 'a': out += first.absolute.valid ? bcd(first.absolute.code, "-", 4) : "notime"; break;
      default: out += *c; break;  // %%
    }
  }
  return out;
}

void run_name_template_set(const char* name_template) { g_template = name_template; }

const char* run_name_template(void) { return g_template; }
