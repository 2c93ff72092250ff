// SPDX-License-Identifier: MIT
#include "tests/support/e2e/json.h"

#include <cctype>
#include <cstdlib>

namespace {

struct Reader {
  const std::string& s;
  size_t at = 0;
  JsonFlat* out;

  void space() {
    while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
  }
  bool take(char c) {
    space();
    if (at < s.size() && s[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool string(std::string* text) {
    if (!take('"')) return false;
    while (at < s.size() && s[at] != '"') {
      char c = s[at++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        *text += c;
        continue;
      }
      if (at >= s.size()) return false;
      char e = s[at++];
      switch (e) {
        case 'n': *text += '\n'; break;
        case 't': *text += '\t'; break;
        case 'r': *text += '\r'; break;
        case 'b': *text += '\b'; break;
        case 'f': *text += '\f'; break;
        case 'u': {
          if (at + 4 > s.size()) return false;
          long code = std::strtol(s.substr(at, 4).c_str(), nullptr, 16);
          at += 4;
          if (code < 0x80) *text += static_cast<char>(code);
          else *text += "?";
          break;
        }
        case '"': case '\\': case '/': *text += e; break;
        default: return false;
      }
    }
    return take('"');
  }
  bool value(const std::string& path) {
    space();
    if (at >= s.size()) return false;
    char c = s[at];
    if (c == '{') {
      ++at;
      if (take('}')) return true;
      do {
        std::string key;
        if (!string(&key) || !take(':') || !value(path.empty() ? key : path + "." + key)) return false;
      } while (take(','));
      return take('}');
    }
    if (c == '[') {
      ++at;
      size_t count = 0;
      if (!take(']')) {
        do {
          if (!value(path + "." + std::to_string(count++))) return false;
        } while (take(','));
        if (!take(']')) return false;
      }
      (*out)[path + "#"] = std::to_string(count);
      return true;
    }
    if (c == '"') {
      std::string text;
      if (!string(&text)) return false;
      (*out)[path] = text;
      return true;
    }
    size_t begin = at;
    while (at < s.size() && (std::isalnum(static_cast<unsigned char>(s[at])) || s[at] == '-' || s[at] == '+' ||
                             s[at] == '.'))
      ++at;
    std::string word = s.substr(begin, at - begin);
    if (word.empty()) return false;
    bool number = std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '-';
    if (!number && word != "true" && word != "false" && word != "null") return false;
    (*out)[path] = word;
    return true;
  }
};

}  // namespace

bool json_flatten(const std::string& text, JsonFlat* out) {
  Reader reader{text, 0, out};
  if (!reader.value("")) return false;
  reader.space();
  return reader.at == text.size();
}
