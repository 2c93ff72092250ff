// SPDX-License-Identifier: MIT
// A BagIt bag checked as an archive's intake checks one (RFC 8493, section 3):
// the bag declaration, completeness (every payload file in the manifest and
// every manifest entry present), fixity of payload and tag files, and the
// Payload-Oxum. Written apart from the program's own bag code, with its own
// hashing, so that the two cannot agree by sharing a mistake.
#pragma once

#include <string>
#include <vector>

// What is wrong with the bag in folder, one line each; empty when it is valid.
std::vector<std::string> bag_problems(const std::string& folder);
