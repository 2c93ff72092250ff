// SPDX-License-Identifier: MIT
#include "platform/digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

struct Digest {
  EVP_MD_CTX* context;
};

Digest* digest_begin(DigestKind kind) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (!context) return nullptr;
  const EVP_MD* method = kind == DIGEST_MD5 ? EVP_md5() : EVP_sha256();
  if (EVP_DigestInit_ex(context, method, nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return nullptr;
  }
  auto* digest = new (std::nothrow) Digest{context};
  if (!digest) EVP_MD_CTX_free(context);
  return digest;
}

void digest_add(Digest* digest, const void* bytes, size_t count) {
  if (digest && count > 0) EVP_DigestUpdate(digest->context, bytes, count);
}

void digest_free(Digest* digest) {
  if (!digest) return;
  EVP_MD_CTX_free(digest->context);
  delete digest;
}

int digest_end(Digest* digest, uint8_t* raw, char* hex) {
  if (!digest) return -1;
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  int ok = EVP_DigestFinal_ex(digest->context, bytes, &length);
  digest_free(digest);
  if (ok != 1) return -1;
  for (unsigned int i = 0; i < length; ++i) {
    if (raw) raw[i] = bytes[i];
    if (hex) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
  }
  return 0;
}

int digest_file_sha256(const char* path, char* hex) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return -1;
  Digest* digest = digest_begin(DIGEST_SHA256);
  if (!digest) {
    std::fclose(file);
    errno = ENOMEM;
    return -1;
  }
  std::vector<unsigned char> buffer(1 << 20);
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) digest_add(digest, buffer.data(), got);
  bool failed = std::ferror(file) != 0;
  int saved = errno;
  std::fclose(file);
  if (failed) {
    digest_free(digest);
    errno = saved;
    return -1;
  }
  return digest_end(digest, nullptr, hex);
}
