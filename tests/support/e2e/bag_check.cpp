// SPDX-License-Identifier: MIT
#include "tests/support/e2e/bag_check.h"

#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string sha256_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), raw, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) hex += std::string{kHex[raw[i] >> 4], kHex[raw[i] & 15]};
  return hex;
}

std::vector<std::string> lines_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string percent_decoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A manifest's entries, path to checksum; problems for lines it cannot read.
std::map<std::string, std::string> read_manifest(const fs::path& path, std::vector<std::string>* problems) {
  std::map<std::string, std::string> entries;
  for (const std::string& line : lines_of(path)) {
    size_t gap = line.find_first_of(" \t");
    size_t name = gap == std::string::npos ? gap : line.find_first_not_of(" \t", gap);
    if (name == std::string::npos) {
      problems->push_back("unreadable line in " + path.filename().string() + ": " + line);
      continue;
    }
    entries[percent_decoded(line.substr(name))] = line.substr(0, gap);
  }
  return entries;
}

void check_fixity(const fs::path& folder, const std::map<std::string, std::string>& entries, const char* manifest,
                  std::vector<std::string>* problems) {
  for (const auto& [name, sum] : entries) {
    fs::path file = folder / name;
    if (!fs::is_regular_file(file)) problems->push_back(std::string("missing (") + manifest + "): " + name);
    else if (sha256_of(file) != sum) problems->push_back(std::string("checksum differs (") + manifest + "): " + name);
  }
}

}  // namespace

std::vector<std::string> bag_problems(const std::string& folder_name) {
  std::vector<std::string> problems;
  fs::path folder(folder_name);
  std::vector<std::string> declaration = lines_of(folder / "bagit.txt");
  if (declaration.size() != 2 || declaration[0].rfind("BagIt-Version: ", 0) != 0 ||
      declaration[1].rfind("Tag-File-Character-Encoding: ", 0) != 0)
    problems.push_back("bagit.txt is not a bag declaration");
  if (!fs::is_directory(folder / "data")) problems.push_back("no payload directory data/");
  if (!fs::is_regular_file(folder / "manifest-sha256.txt")) {
    problems.push_back("no payload manifest");
    return problems;
  }
  // Completeness: the manifest names exactly the files under data/.
  std::map<std::string, std::string> manifest = read_manifest(folder / "manifest-sha256.txt", &problems);
  std::set<std::string> present;
  uint64_t octets = 0;
  if (fs::is_directory(folder / "data"))
    for (const auto& entry : fs::recursive_directory_iterator(folder / "data")) {
      if (!entry.is_regular_file()) continue;
      present.insert(fs::relative(entry.path(), folder).generic_string());
      octets += entry.file_size();
    }
  for (const std::string& name : present)
    if (!manifest.count(name)) problems.push_back("not in the manifest: " + name);
  for (const auto& [name, sum] : manifest)
    if (name.rfind("data/", 0) != 0) problems.push_back("manifest entry outside data/: " + name);
  check_fixity(folder, manifest, "manifest-sha256.txt", &problems);
  if (fs::is_regular_file(folder / "tagmanifest-sha256.txt")) {
    std::map<std::string, std::string> tags = read_manifest(folder / "tagmanifest-sha256.txt", &problems);
    for (const auto& [name, sum] : tags)
      if (name.rfind("data/", 0) == 0) problems.push_back("tag manifest lists a payload file: " + name);
    check_fixity(folder, tags, "tagmanifest-sha256.txt", &problems);
  }
  // Payload-Oxum, when bag-info.txt gives it: octets.streams of the payload.
  for (const std::string& line : lines_of(folder / "bag-info.txt")) {
    if (line.rfind("Payload-Oxum: ", 0) != 0) continue;
    std::string expected = std::to_string(octets) + "." + std::to_string(present.size());
    if (line.substr(14) != expected) problems.push_back("Payload-Oxum " + line.substr(14) + ", the payload " + expected);
  }
  return problems;
}
