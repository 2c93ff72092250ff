// SPDX-License-Identifier: MIT
#include "tests/support/e2e/archival_files.h"

#include <cstdio>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

uint32_t le32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

uint64_t le64(const std::string& s, size_t at) { return le32(s, at) | static_cast<uint64_t>(le32(s, at + 4)) << 32; }

}  // namespace

RiffFile read_riff(const std::string& path) {
  RiffFile f;
  std::string bytes = read_file(path);
  f.rf64 = bytes.compare(0, 4, "RF64") == 0;
  if (bytes.size() < 12 || (!f.rf64 && bytes.compare(0, 4, "RIFF") != 0) || bytes.compare(8, 4, "WAVE") != 0) return f;
  // RF64: the sizes of 0xFFFFFFFF stand for those of "ds64", the first chunk.
  uint64_t ds64_riff = 0, ds64_data = 0;
  if (f.rf64) {
    if (bytes.size() < 48 || bytes.compare(12, 4, "ds64") != 0 || le32(bytes, 4) != UINT32_MAX) return f;
    ds64_riff = le64(bytes, 20);
    ds64_data = le64(bytes, 28);
    if (le64(bytes, 36) != ds64_data / 4) return f;
  }
  if ((f.rf64 ? ds64_riff : le32(bytes, 4)) != bytes.size() - 8) return f;
  size_t at = 12;
  while (at + 8 <= bytes.size()) {
    std::string id = bytes.substr(at, 4);
    uint64_t size = le32(bytes, at + 4);
    if (f.rf64 && id == "data" && size == UINT32_MAX) size = ds64_data;
    if (at + 8 + size > bytes.size()) return f;
    f.order.push_back(id);
    if (!f.chunks.count(id)) f.chunks[id] = bytes.substr(at + 8, size);
    at += 8 + size + (size & 1u);
  }
  f.valid = at == bytes.size();
  return f;
}

std::vector<CueMarker> cue_markers(const RiffFile& file) {
  std::vector<CueMarker> markers;
  if (!file.chunks.count("cue ")) return markers;
  const std::string& cue = file.chunks.at("cue ");
  std::map<uint32_t, std::string> labels;
  if (file.chunks.count("LIST") && file.chunks.at("LIST").compare(0, 4, "adtl") == 0) {
    const std::string& list = file.chunks.at("LIST");
    for (size_t at = 4; at + 12 <= list.size();) {
      uint32_t size = le32(list, at + 4);
      if (list.compare(at, 4, "labl") == 0) labels[le32(list, at + 8)] = list.substr(at + 12, size - 4).c_str();
      at += 8 + size + (size & 1u);
    }
  }
  uint32_t count = cue.size() >= 4 ? le32(cue, 0) : 0;
  for (uint32_t i = 0; i < count && 4 + 24 * (i + 1) <= cue.size(); ++i) {
    size_t at = 4 + 24 * i;
    markers.push_back({le32(cue, at + 4), labels[le32(cue, at)]});
  }
  return markers;
}

std::string md5_hex(const std::string& bytes) {
  ProcessOptions options;
  options.stdin_data = bytes;
  ProcessResult r = run_process("/usr/bin/md5sum", {"-"}, options);
  return r.out.substr(0, 32);
}

std::string md5_chunk_hex(const RiffFile& file) {
  std::string hex;
  if (!file.chunks.count("MD5 ")) return hex;
  // The chunk holds the digest as a little-endian 128-bit number: its last
  // byte is the digest's first.
  const std::string& chunk = file.chunks.at("MD5 ");
  for (auto c = chunk.rbegin(); c != chunk.rend(); ++c) {
    hex += "0123456789abcdef"[static_cast<unsigned char>(*c) >> 4];
    hex += "0123456789abcdef"[static_cast<unsigned char>(*c) & 15];
  }
  return hex;
}

std::string mediainfo_md5_hex(const std::string& path) {
  ProcessResult r = run_process("/usr/bin/mediainfo", {"--Output=JSON", path});
  const size_t key = r.out.find("\"MD5\"");
  if (key == std::string::npos) return "";
  const size_t open = r.out.find('"', r.out.find(':', key));
  std::string hex = r.out.substr(open + 1, 32);
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex;
}

bool flac_tests_ok(const std::string& path) {
  return run_process("/usr/bin/flac", {"--test", "--silent", path}).exit_code == 0;
}

std::string flac_pcm(const std::string& path) {
  ProcessResult r = run_process("/usr/bin/flac", {"--decode", "--silent", "--stdout", "--force-raw-format", "--endian=little",
                                         "--sign=signed", path});
  return r.exit_code == 0 ? r.out : std::string();
}
