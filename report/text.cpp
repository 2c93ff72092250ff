// SPDX-License-Identifier: MIT
#include "report/text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/digest.h"

namespace {

// The length of the valid UTF-8 sequence at text[at], or 0.
size_t utf8_length(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(at);
  size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  if (length == 2 && lead < 0xC2) return 0;  // overlong
  if (length == 3) {
    uint32_t code = (lead & 0x0Fu) << 12 | (byte(at + 1) & 0x3Fu) << 6 | (byte(at + 2) & 0x3Fu);
    if (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  }
  if (length == 4) {
    uint32_t code = (lead & 0x07u) << 18 | (byte(at + 1) & 0x3Fu) << 12;
    if (code < 0x10000 || code > 0x10FFFF) return 0;
  }
  return length;
}

const char kReplacement[] = "\xEF\xBF\xBD";

}  // namespace

std::string json_string(const std::string& text) {
  return nlohmann::ordered_json(text).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

namespace {

// A member of the outer object (top) puts the elements of an array of
// objects or arrays a line each; everything within them stays on its line.
void append_value(std::string* out, const nlohmann::ordered_json& value, const std::string& indent, bool top) {
  using Json = nlohmann::ordered_json;
  if (value.is_object()) {
    *out += '{';
    const char* between = "";
    for (const auto& [key, member] : value.items()) {
      *out += between + json_string(key) + ": ";
      append_value(out, member, indent, false);
      between = ", ";
    }
    *out += '}';
  } else if (value.is_array()) {
    bool lines = top && !value.empty() && value.front().is_structured();
    *out += '[';
    for (size_t i = 0; i < value.size(); ++i) {
      *out += lines ? (i ? ",\n" : "\n") + indent + "  " : std::string(i ? ", " : "");
      append_value(out, value[i], indent + "  ", false);
    }
    if (lines) *out += "\n" + indent;
    *out += ']';
  } else {
    *out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
}

}  // namespace

std::string json_layout(const nlohmann::ordered_json& document) {
  if (!document.is_object() || document.empty()) {
    std::string out;
    append_value(&out, document, "", false);
    return out + "\n";
  }
  std::string out = "{";
  const char* between = "\n  ";
  for (const auto& [key, member] : document.items()) {
    out += between + json_string(key) + ": ";
    append_value(&out, member, "  ", true);
    between = ",\n  ";
  }
  return out + "\n}\n";
}

void append_html(std::string* out, const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = utf8_length(text, i);
    if (length == 0) {
      out->append(kReplacement);
      ++i;
      continue;
    }
    char c = text[i];
    switch (c) {
      case '&': out->append("&amp;"); break;
      case '<': out->append("&lt;"); break;
      case '>': out->append("&gt;"); break;
      case '"': out->append("&quot;"); break;
      case '\'': out->append("&#39;"); break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') out->append(kReplacement);
        else out->append(text, i, length);
        break;
    }
    i += length;
  }
}

std::string html_text(const std::string& text) {
  std::string out;
  append_html(&out, text);
  return out;
}

std::string file_part(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string report_text_sha256(const std::string& text) {
  char hex[65] = "";
  Digest* sha = digest_begin(DIGEST_SHA256);
  digest_add(sha, text.data(), text.size());
  digest_end(sha, nullptr, hex);
  return hex;
}

int report_write_whole(const std::string& name, const std::string& text) {
  errno = 0;
  FILE* file = std::fopen(name.c_str(), "wb");
  if (!file) return -1;
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  int error = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok) return 0;
  std::remove(name.c_str());
  errno = error;
  return -1;
}
