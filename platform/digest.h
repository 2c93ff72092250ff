// SPDX-License-Identifier: MIT
// Checksums of what kestrel writes: MD5 of audio, as archival WAV tools give
// it, and SHA-256 of whole files, as sha256sum gives it. Computed by the
// system's crypto library; nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>

enum DigestKind { DIGEST_MD5 = 0, DIGEST_SHA256 = 1 };

// A running checksum. digest_begin returns nullptr when it cannot be set up.
struct Digest;
Digest* digest_begin(DigestKind kind);
void digest_add(Digest* digest, const void* bytes, size_t count);
// Ends the checksum and frees it: its bytes into raw (16 for MD5, 32 for
// SHA-256; may be nullptr) and as lower-case hex into hex (33 or 65 bytes;
// may be nullptr). 0, or -1 when it cannot be computed (also for nullptr).
int digest_end(Digest* digest, uint8_t* raw, char* hex);
// Drops a checksum without ending it.
void digest_free(Digest* digest);

// The SHA-256 of a whole file, as hex into hex (65 bytes). 0, or -1 when the
// file cannot be read (errno says why).
int digest_file_sha256(const char* path, char* hex);
