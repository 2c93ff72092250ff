// SPDX-License-Identifier: MIT
// A small JSON reader for the tests: a document flattened into paths and
// values ("events.2.kind" -> "continuity"; strings without their quotes,
// numbers, true, false and null as written; "events#" -> the array's length).
#pragma once

#include <map>
#include <string>

using JsonFlat = std::map<std::string, std::string>;

// false when text is no single valid JSON value.
bool json_flatten(const std::string& text, JsonFlat* out);
