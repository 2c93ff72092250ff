// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/digest.h"
#include "tests/support/temp_dir.h"

namespace {

std::string hex_of(DigestKind kind, const std::string& text, size_t pieces) {
  Digest* digest = digest_begin(kind);
  // Fed in pieces: a running checksum equals the one of the whole.
  size_t step = text.size() / pieces + 1;
  for (size_t at = 0; at < text.size(); at += step)
    digest_add(digest, text.data() + at, std::min(step, text.size() - at));
  char hex[65] = "";
  EXPECT_EQ(digest_end(digest, nullptr, hex), 0);
  return hex;
}

TEST(Digest, KnownVectorsInOneOrSeveralPieces) {
  struct Row {
    DigestKind kind;
    const char* text;
    const char* hex;
  } rows[] = {
      {DIGEST_MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {DIGEST_MD5, "The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
      {DIGEST_SHA256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DIGEST_SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
  };
  for (const Row& row : rows)
    for (size_t pieces : {1, 3})
      EXPECT_EQ(hex_of(row.kind, row.text, pieces), row.hex) << row.text << " in " << pieces;
}

TEST(Digest, FileChecksumAndAMissingFile) {
  TempDir dir;
  std::string path = dir.file("abc");
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fputs("abc", file);
  std::fclose(file);
  char hex[65] = "";
  ASSERT_EQ(digest_file_sha256(path.c_str(), hex), 0);
  EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(digest_file_sha256(dir.file("none").c_str(), hex), -1);
  EXPECT_EQ(digest_end(nullptr, nullptr, hex), -1);
}

}  // namespace
