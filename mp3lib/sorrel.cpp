// SPDX-License-Identifier: MIT
// sorrel's decoder: MPEG audio file bytes in, 16-bit PCM out, in pieces of the
// caller's choosing. libmpg123's feed decoder does the converting.
#include "mp3lib/sorrel.h"

#include <fcntl.h>
#include <mpg123.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "mp3lib/header_test.h"

static_assert(std::endian::native == std::endian::little,
              "16-bit output is handed out in the host's byte order");

// Whether the blocks a decoder reads hold the header of a frame libmpg123
// warns about on standard error (see StderrHush). Such a frame is decoded
// after its block is fed, at the latest while the next block is (a block,
// kSourceSize, is longer than any frame), so a conversion step that may feed
// the block read, or decode what the last two blocks fed hold, runs within a
// hush when one of them holds such a header. A word that only looks like one
// inside other data counts too (libmpg123 decodes any header it finds when it
// searches for the next frame): rare, and on the safe side.
struct FeedWatch {
  uint32_t word = 0;  // the last four bytes looked at
  bool read = false;  // the block read, not yet fed
  bool fed = false;   // the block fed last
  bool fed_before = false;

  void look(const unsigned char* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      word = word << 8 | bytes[i];
      if (layer2_bound_truncated(word)) read = true;
    }
  }
  void feed() {
    fed_before = fed;
    fed = read;
    read = false;
  }
  bool warns() const { return read || fed || fed_before; }
};

// A decoder. Each member is null (or 0) until the open acquires it.
struct SorrelDecoder {
  mpg123_handle* converter = nullptr;
  uint32_t chunk = 0;
  uint32_t source_size = 0;
  unsigned char* source = nullptr;
  unsigned char* destination = nullptr;
  uint32_t source_fill = 0;
  uint32_t carry = 0;
  FILE* file = nullptr;
  FeedWatch watch;
};

namespace {

// Source bytes offered to the converter per step.
constexpr uint32_t kSourceSize = 16384;

// The stream check reads at most this much of a file behind its leading
// ID3v2 tags (which it skips by their stated sizes, pictures and all), and
// takes the file for MPEG audio when it finds this many frames in a row, each
// beginning where the one before ends, of one format, or at least the
// shorter run of a file that ends sooner.
constexpr size_t kStreamCheckBytes = 1 << 20;
constexpr int kStreamFrames = 8;
constexpr int kShortStreamFrames = 3;

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

// The one place sorrel touches the process's standard error. libmpg123 (1.31)
// prints "Truncating stereo boundary to sideband limit." whatever MPG123_QUIET
// says when it decodes a Layer II joint-stereo frame whose bound lies beyond
// the sideband limit; no parameter silences it, and nothing else it prints
// escapes the quiet flag. Only a decoder fed such a header (FeedWatch) decodes
// within a hush. While at least one hush lives, on any thread, descriptor 2
// points at /dev/null: the count under the lock makes the first hush redirect
// and the last restore, so decoders on several threads never leave standard
// error pointing elsewhere. What other threads write to it meanwhile is lost.
std::mutex g_hush_lock;
int g_hushes = 0;         // hushes alive
int g_saved_stderr = -1;  // descriptor 2 as it was, while hushed

struct StderrHush {
  StderrHush() {
    std::lock_guard<std::mutex> hold(g_hush_lock);
    if (g_hushes++ > 0) return;
    static const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) return;
    fflush(stderr);  // what the program wrote before goes where it meant it to
    g_saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (g_saved_stderr >= 0 && dup2(null_fd, STDERR_FILENO) < 0) {
      close(g_saved_stderr);
      g_saved_stderr = -1;
    }
  }
  ~StderrHush() {
    std::lock_guard<std::mutex> hold(g_hush_lock);
    if (--g_hushes > 0 || g_saved_stderr < 0) return;
    fflush(stderr);
    dup2(g_saved_stderr, STDERR_FILENO);
    close(g_saved_stderr);
    g_saved_stderr = -1;
  }
  StderrHush(const StderrHush&) = delete;
  StderrHush& operator=(const StderrHush&) = delete;
};

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
// blocks, so it never holds more than one block ahead. 0, or the decoder's
// error code.
int convert(mpg123_handle* converter, FeedWatch* watch, const unsigned char* source, uint32_t length,
            unsigned char* output, uint32_t room, uint32_t* used, uint32_t* produced) {
  *used = 0;
  *produced = 0;
  while (*produced < room) {
    size_t done = 0;
    const int code = mpg123_read(converter, output + *produced, room - *produced, &done);
    *produced += static_cast<uint32_t>(done);
    if (code == MPG123_NEW_FORMAT) continue;
    if (code == MPG123_OK) {
      if (done == 0) break;
      continue;
    }
    if (code == MPG123_NEED_MORE) {
      if (*used == length) break;
      watch->feed();
      const int fed = mpg123_feed(converter, source + *used, length - *used);
      if (fed != MPG123_OK) return fed == MPG123_ERR ? mpg123_errcode(converter) : fed;
      *used = length;
      continue;
    }
    if (code == MPG123_DONE) break;
    return code == MPG123_ERR ? mpg123_errcode(converter) : code;
  }
  return 0;
}

}  // namespace

namespace {

// Moves the file past the ID3v2 tags at its start, by their stated sizes.
void skip_leading_tags(FILE* file) {
  for (;;) {
    const long at = ftell(file);
    unsigned char head[10];
    if (at < 0 || fread(head, 1, sizeof head, file) != sizeof head || std::memcmp(head, "ID3", 3) != 0) {
      if (at >= 0) fseek(file, at, SEEK_SET);
      return;
    }
    const long footer = (head[5] & 0x10) != 0 ? 10 : 0;
    if (fseek(file, at + 10 + footer + id3v2_body_size(head + 6), SEEK_SET) != 0) return;
  }
}

// Whether the frame the decoder parsed at `at` (an offset into what was fed)
// begins with a word the header scan takes for a header: the decoder alone
// also takes words such as 0xFFFF0100 that quiet PCM is full of.
bool header_at(const std::vector<unsigned char>& fed, off_t at) {
  if (at < 0 || static_cast<size_t>(at) + 4 > fed.size()) return false;
  const unsigned char* p = fed.data() + at;
  return mpeg_header_valid(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                           static_cast<uint32_t>(p[2]) << 8 | p[3]);
}

// Looks for a run of frames in what the file offers within the bound; 1 with
// the run's format stored, or 0.
int32_t find_stream(FILE* file, mpg123_handle* handle, int32_t* channels, int32_t* rate) {
  std::vector<unsigned char> fed;
  fed.reserve(kStreamCheckBytes);
  int run = 0;
  off_t next = -1;  // where the run's next frame must begin
  for (;;) {
    const int code = mpg123_framebyframe_next(handle);
    if (code == MPG123_NEED_MORE) {
      const size_t room = kStreamCheckBytes - fed.size();
      unsigned char block[kSourceSize];
      const size_t got = room > 0 ? fread(block, 1, room < sizeof block ? room : sizeof block, file) : 0;
      if (got == 0) {
        // A file that ends within the bound may hold a shorter run.
        if (room == 0 || run < kShortStreamFrames) return 0;
        break;
      }
      fed.insert(fed.end(), block, block + got);
      if (mpg123_feed(handle, block, got) != MPG123_OK) return 0;
      continue;
    }
    if (code == MPG123_NEW_FORMAT) {
      run = 0;
      continue;
    }
    if (code != MPG123_OK) return 0;
    mpg123_frameinfo2 info{};
    const off_t at = mpg123_framepos(handle);
    if (mpg123_info2(handle, &info) != MPG123_OK || !header_at(fed, at)) {
      run = 0;
      continue;
    }
    run = run > 0 && at == next ? run + 1 : 1;
    next = at + info.framesize;
    if (run >= kStreamFrames) break;
  }
  long stream_rate = 0;
  int stream_channels = 0;
  int encoding = 0;
  if (mpg123_getformat(handle, &stream_rate, &stream_channels, &encoding) != MPG123_OK) return 0;
  *channels = stream_channels;
  *rate = static_cast<int32_t>(stream_rate);
  return 1;
}

}  // namespace

int32_t ReadMP3StreamFormat(const char* path, int32_t* channels, int32_t* rate) {
  if (path == nullptr || channels == nullptr || rate == nullptr) return 0;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return 0;
  skip_leading_tags(file);
  // The decoder that init_mp3_decode sets up, fed until it finds a stream.
  mpg123_handle* handle = nullptr;
  int32_t found = 0;
  if (open_converter(&handle) == MPG123_OK) found = find_stream(file, handle, channels, rate);
  if (handle != nullptr) mpg123_delete(handle);
  fclose(file);
  return found;
}

namespace {

// The default decoder behind init_mp3_decode, do_mp3_decode and close_mp3_decode.
SorrelDecoder* default_decoder = nullptr;

}  // namespace

SorrelDecoder* sorrel_open(const char* path, int32_t chunk_bytes, SorrelError* error) {
  SorrelError failure{SORREL_OK, 0};
  SorrelDecoder* decoder = new (std::nothrow) SorrelDecoder;
  if (decoder == nullptr) {
    failure = {SORREL_NO_MEMORY, MPG123_OUT_OF_MEM};
  } else {
    const int code = open_converter(&decoder->converter);
    if (code != MPG123_OK) {
      failure = {SORREL_NO_CONVERTER, code};
    } else if (chunk_bytes <= 0) {
      failure = {SORREL_BAD_CHUNK, MPG123_BAD_BUFFER};
    } else {
      decoder->chunk = static_cast<uint32_t>(chunk_bytes);
      decoder->source_size = kSourceSize;
      decoder->source = static_cast<unsigned char*>(malloc(2 * size_t{decoder->source_size}));
      decoder->destination = static_cast<unsigned char*>(malloc(2 * size_t{decoder->chunk}));
      if (decoder->source == nullptr || decoder->destination == nullptr) {
        failure = {SORREL_NO_MEMORY, MPG123_OUT_OF_MEM};
      } else {
        errno = 0;
        decoder->file = path != nullptr ? fopen(path, "rb") : nullptr;
        if (decoder->file == nullptr) failure = {SORREL_CANNOT_OPEN, path != nullptr ? errno : EINVAL};
      }
    }
  }
  if (error != nullptr) *error = failure;
  if (failure.step == SORREL_OK) return decoder;
  sorrel_close(decoder);
  return nullptr;
}

int32_t sorrel_decode(SorrelDecoder* decoder, void* buffer, uint32_t n, SorrelError* error) {
  if (error != nullptr) *error = {SORREL_OK, 0};
  if (decoder == nullptr || decoder->file == nullptr || buffer == nullptr) return 0;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  uint32_t fill = 0;
  if (decoder->carry > 0) {
    memcpy(out, decoder->destination, decoder->carry);
    fill = decoder->carry;
  }
  while (fill < n) {
    unsigned char* source = decoder->source;
    const uint32_t asked = decoder->source_size - decoder->source_fill;
    const size_t got = asked > 0 && feof(decoder->file) == 0
                           ? fread(source + decoder->source_fill, 1, asked, decoder->file)
                           : 0;
    // Only a read that asked for bytes and got none means the file is over;
    // a full source buffer is not the end.
    const bool exhausted = asked > 0 && got == 0;
    if (got == asked) {
      decoder->source_fill += asked;
    } else if (got > 0) {
      // A short read: the zeroed rest of the buffer counts as data.
      memset(source + decoder->source_fill + got, 0, asked - got);
      decoder->source_fill = decoder->source_size;
    }
    if (got > 0) decoder->watch.look(source + decoder->source_fill - asked, asked);
    uint32_t used = 0;
    uint32_t produced = 0;
    int code = 0;
    {
      std::optional<StderrHush> hush;
      if (decoder->watch.warns()) hush.emplace();
      code = convert(decoder->converter, &decoder->watch, source, decoder->source_fill, decoder->destination,
                     decoder->chunk, &used, &produced);
    }
    if (code != 0) {
      if (error != nullptr) *error = {SORREL_CONVERT_FAILED, code};
      break;
    }
    if (produced == 0 && (exhausted || used == 0)) break;
    memcpy(out + fill, decoder->destination, produced);
    fill += produced;
    if (used >= decoder->source_fill) {
      decoder->source_fill = 0;
    } else if (used > 0) {
      memmove(source, source + used, decoder->source_fill - used);
      decoder->source_fill -= used;
    }
  }
  if (fill >= n) {
    decoder->carry = fill - n;
    memcpy(decoder->destination, out + n, decoder->carry);
    return static_cast<int32_t>(n);
  }
  decoder->carry = 0;
  return static_cast<int32_t>(fill);
}

void sorrel_close(SorrelDecoder* decoder) {
  if (decoder == nullptr) return;
  if (decoder->converter != nullptr) mpg123_delete(decoder->converter);
  free(decoder->source);
  free(decoder->destination);
  if (decoder->file != nullptr) fclose(decoder->file);
  delete decoder;
}

const char* sorrel_version(void) { return KESTREL_LIBRARY_VERSION; }

const char* sorrel_status_text(int32_t step) {
  switch (step) {
    case SORREL_OK: return "success";
    case SORREL_NO_CONVERTER: return "the decoder cannot be set up";
    case SORREL_BAD_CHUNK: return "the output chunk size is not positive";
    case SORREL_NO_MEMORY: return "out of memory";
    case SORREL_CANNOT_OPEN: return "the file cannot be opened";
    case SORREL_CONVERT_FAILED: return "decoding failed";
    default: return "unknown status";
  }
}

int32_t init_mp3_decode(const char* path, int32_t chunk_bytes, int32_t channels, int32_t rate,
                        int32_t bitrate) {
  // The decoder finds the stream's format itself; the three stay for the
  // callers of this fixed export.
  (void)channels;
  (void)rate;
  (void)bitrate;
  close_mp3_decode();
  SorrelError error{};
  default_decoder = sorrel_open(path, chunk_bytes, &error);
  // As it always did, the decoder says what failed, in the converter's terms.
  switch (error.step) {
    case SORREL_OK: return 1;
    case SORREL_NO_CONVERTER: report("acmstreamopen", error.code); break;
    case SORREL_BAD_CHUNK: report("acm stream size", error.code); break;
    case SORREL_NO_MEMORY: report("acmstreamprepareheader", error.code); break;
    default: printf("cannot open input file\n"); break;
  }
  return 0;
}

int32_t do_mp3_decode(void* buffer, uint32_t n) {
  SorrelError error{};
  const int32_t got = sorrel_decode(default_decoder, buffer, n, &error);
  if (error.step == SORREL_CONVERT_FAILED) report("stream convert", error.code);
  return got;
}

int32_t close_mp3_decode(void) {
  sorrel_close(default_decoder);
  default_decoder = nullptr;
  return 1;
}
