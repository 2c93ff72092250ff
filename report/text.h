// SPDX-License-Identifier: MIT
// Text as the report's files need it: JSON strings and HTML, escaped.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Text as a JSON string, quotes included; bytes that are no valid UTF-8 come
// out as U+FFFD, so that the file stays valid JSON.
std::string json_string(const std::string& text);
// A document as the report's files lay it out: the members of the outer
// object a line each, an array of objects or arrays an element a line, all
// else on one line with ", " and ": " between; the values as the library
// writes them (invalid UTF-8 as U+FFFD). Ends with a line end.
std::string json_layout(const nlohmann::ordered_json& document);
// Appends text escaped for HTML content and attribute values.
void append_html(std::string* out, const std::string& text);
std::string html_text(const std::string& text);
// The last part of a path: the report names files as they lie beside it.
std::string file_part(const std::string& path);
// The SHA-256 of text, in lower-case hex.
std::string report_text_sha256(const std::string& text);
// Writes a file of the report whole; one that cannot be written is removed,
// so that no half file stands. 0, or -1 with errno.
int report_write_whole(const std::string& name, const std::string& text);
