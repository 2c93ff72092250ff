// sorrel's decoder: MPEG audio file bytes in, 16-bit PCM out, in pieces of the
// caller's choosing. libmpg123's feed decoder does the converting.
#include "mp3lib/sorrel.h"

#include <mpg123.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "16-bit output is handed out in the host's byte order");

namespace {

// Source bytes offered to the converter per step.
constexpr uint32_t kSourceSize = 16384;

// Printed after the converter's code in the error messages, as they always were.
constexpr int kNotPossible = 512;
constexpr int kInvalidFlag = 10;
constexpr int kInvalidHandle = 5;
constexpr int kInvalidParam = 11;
constexpr int kNoMemory = 7;

void report(const char* what, int code) {
  printf("%s error %d %d %d %d %d %d\n", what, code, kNotPossible, kInvalidFlag, kInvalidHandle,
         kInvalidParam, kNoMemory);
}

// The one decoder. Each member is null (or 0) until the open acquires it.
struct Decoder {
  mpg123_handle* converter = nullptr;
  uint32_t chunk = 0;
  uint32_t source_size = 0;
  unsigned char* source = nullptr;
  unsigned char* destination = nullptr;
  uint32_t source_fill = 0;
  uint32_t carry = 0;
  FILE* file = nullptr;
};
Decoder decoder;

// A feed decoder that produces 16-bit signed output at the stream's own rate
// and channel count, skips any amount of non-audio bytes and prints nothing.
int open_converter(mpg123_handle** handle) {
  int code = MPG123_OK;
  *handle = mpg123_new(nullptr, &code);
  if (*handle == nullptr) return code != MPG123_OK ? code : MPG123_ERR;
  const long* rates = nullptr;
  size_t rate_count = 0;
  mpg123_rates(&rates, &rate_count);
  code = mpg123_param(*handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  if (code == MPG123_OK) code = mpg123_param(*handle, MPG123_RESYNC_LIMIT, -1, 0);
  if (code == MPG123_OK) code = mpg123_format_none(*handle);
  for (size_t i = 0; code == MPG123_OK && i < rate_count; ++i)
    code = mpg123_format(*handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  if (code == MPG123_OK) code = mpg123_open_feed(*handle);
  return code == MPG123_ERR ? mpg123_errcode(*handle) : code;
}

// One conversion step: at most `room` bytes of PCM into output. The decoder
// is given the source block only when it has no output left from earlier
// blocks, so it never holds more than one block ahead. `end` says no more
// source will come; the decoder then gives out everything it still holds.
// 0, or the decoder's error code.
int convert(const unsigned char* source, uint32_t length, unsigned char* output, uint32_t room,
            bool end, uint32_t* used, uint32_t* produced) {
  (void)end;  // the decoder hands out what it holds on every step anyway
  *used = 0;
  *produced = 0;
  while (*produced < room) {
    size_t done = 0;
    const int code = mpg123_read(decoder.converter, output + *produced, room - *produced, &done);
    *produced += static_cast<uint32_t>(done);
    if (code == MPG123_NEW_FORMAT) continue;
    if (code == MPG123_OK) {
      if (done == 0) break;
      continue;
    }
    if (code == MPG123_NEED_MORE) {
      if (*used == length) break;
      const int fed = mpg123_feed(decoder.converter, source + *used, length - *used);
      if (fed != MPG123_OK) return fed == MPG123_ERR ? mpg123_errcode(decoder.converter) : fed;
      *used = length;
      continue;
    }
    if (code == MPG123_DONE) break;
    return code == MPG123_ERR ? mpg123_errcode(decoder.converter) : code;
  }
  return 0;
}

}  // namespace

int32_t ReadMP3StreamFormat(const char* path, int32_t* channels, int32_t* rate) {
  if (path == nullptr || channels == nullptr || rate == nullptr) return 0;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return 0;
  // The decoder that init_mp3_decode sets up, fed until it knows the format.
  mpg123_handle* handle = nullptr;
  int32_t found = 0;
  if (open_converter(&handle) == MPG123_OK) {
    unsigned char block[kSourceSize];
    size_t got = 0;
    while (!found && (got = fread(block, 1, sizeof block, file)) > 0) {
      if (mpg123_feed(handle, block, got) != MPG123_OK) break;
      long stream_rate = 0;
      int stream_channels = 0;
      int encoding = 0;
      const int code = mpg123_getformat(handle, &stream_rate, &stream_channels, &encoding);
      if (code == MPG123_NEED_MORE) continue;
      if (code != MPG123_OK) break;
      *channels = stream_channels;
      *rate = static_cast<int32_t>(stream_rate);
      found = 1;
    }
  }
  if (handle != nullptr) mpg123_delete(handle);
  fclose(file);
  return found;
}

int32_t init_mp3_decode(const char* path, int32_t chunk_bytes, int32_t channels, int32_t rate,
                        int32_t bitrate) {
  // The decoder finds the stream's format itself.
  (void)channels;
  (void)rate;
  (void)bitrate;
  close_mp3_decode();
  const int code = open_converter(&decoder.converter);
  if (code != MPG123_OK) {
    report("acmstreamopen", code);
    return 0;
  }
  if (chunk_bytes <= 0) {
    report("acm stream size", MPG123_BAD_BUFFER);
    return 0;
  }
  decoder.chunk = static_cast<uint32_t>(chunk_bytes);
  decoder.source_size = kSourceSize;
  decoder.source = static_cast<unsigned char*>(malloc(2 * size_t{decoder.source_size}));
  decoder.destination = static_cast<unsigned char*>(malloc(2 * size_t{decoder.chunk}));
  if (decoder.source == nullptr || decoder.destination == nullptr) {
    report("acmstreamprepareheader", MPG123_OUT_OF_MEM);
    return 0;
  }
  decoder.file = path != nullptr ? fopen(path, "rb") : nullptr;
  if (decoder.file == nullptr) {
    printf("cannot open input file\n");
    return 0;
  }
  decoder.source_fill = 0;
  decoder.carry = 0;
  return 1;
}

int32_t do_mp3_decode(void* buffer, uint32_t n) {
  if (decoder.file == nullptr || buffer == nullptr) return 0;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  uint32_t fill = 0;
  if (decoder.carry > 0) {
    memcpy(out, decoder.destination, decoder.carry);
    fill = decoder.carry;
  }
  bool end = false;
  while (fill < n) {
    unsigned char* source = decoder.source;
    const uint32_t asked = decoder.source_size - decoder.source_fill;
    const size_t got = asked > 0 && feof(decoder.file) == 0
                           ? fread(source + decoder.source_fill, 1, asked, decoder.file)
                           : 0;
    // Only a read that asked for bytes and got none means the file is over;
    // a full source buffer is not the end.
    const bool exhausted = asked > 0 && got == 0;
    if (got == 0) {
      end = true;
    } else if (got == asked) {
      decoder.source_fill += asked;
    } else {
      // A short read: the zeroed rest of the buffer counts as data.
      memset(source + decoder.source_fill + got, 0, asked - got);
      decoder.source_fill = decoder.source_size;
    }
    uint32_t used = 0;
    uint32_t produced = 0;
    const int code =
        convert(source, decoder.source_fill, decoder.destination, decoder.chunk, end, &used, &produced);
    if (code != 0) {
      report("stream convert", code);
      break;
    }
    if (produced == 0 && (exhausted || used == 0)) break;
    memcpy(out + fill, decoder.destination, produced);
    fill += produced;
    if (used >= decoder.source_fill) {
      decoder.source_fill = 0;
    } else if (used > 0) {
      memmove(source, source + used, decoder.source_fill - used);
      decoder.source_fill -= used;
    }
  }
  if (fill >= n) {
    decoder.carry = fill - n;
    memcpy(decoder.destination, out + n, decoder.carry);
    return static_cast<int32_t>(n);
  }
  decoder.carry = 0;
  return static_cast<int32_t>(fill);
}

int32_t close_mp3_decode(void) {
  if (decoder.converter != nullptr) mpg123_delete(decoder.converter);
  free(decoder.source);
  free(decoder.destination);
  if (decoder.file != nullptr) fclose(decoder.file);
  decoder = Decoder{};
  return 1;
}
