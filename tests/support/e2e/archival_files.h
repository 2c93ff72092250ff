// SPDX-License-Identifier: MIT
// Reading back the archival files of /KESTREL: a Broadcast WAV file chunk by
// chunk, its markers, and FLAC files through the flac program.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct RiffFile {
  bool valid = false;  // RIFF/WAVE, its size the file's less 8, chunks that tile it exactly
  bool rf64 = false;   // RF64/WAVE, its sizes in "ds64"
  std::vector<std::string> order;              // chunk IDs as they stand
  std::map<std::string, std::string> chunks;   // contents of the first chunk of each ID
  std::string data() const { return chunks.count("data") ? chunks.at("data") : std::string(); }
};
RiffFile read_riff(const std::string& path);

// The markers of the "cue " chunk with the labels of "LIST" "adtl", in order.
struct CueMarker {
  uint32_t sample;
  std::string label;
  bool operator==(const CueMarker&) const = default;
};
std::vector<CueMarker> cue_markers(const RiffFile& file);

// The MD5 of bytes as lower-case hex, from md5sum; the "MD5 " chunk's as hex.
std::string md5_hex(const std::string& bytes);
std::string md5_chunk_hex(const RiffFile& file);
// The MD5 chunk as MediaInfo reads it (lower-case hex, "" when it shows none).
std::string mediainfo_md5_hex(const std::string& path);

// `flac --test` of a file passed; the PCM `flac -d` decodes it to (16-bit
// little-endian, as a WAV file holds it), "" when it cannot.
bool flac_tests_ok(const std::string& path);
std::string flac_pcm(const std::string& path);
