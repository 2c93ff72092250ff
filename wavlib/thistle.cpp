// SPDX-License-Identifier: MIT
// thistle: the WAV reader, the format queries and the WAV writer.
#include "wavlib/thistle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdio_ext.h>

#include "base/dat_format.h"
#include "base/wav_header.h"

#include "wavlib/riff.h"

static_assert(std::endian::native == std::endian::little,
              "WAV records are read and written in the host's byte order");

struct ThistleReader {
  FILE* file = nullptr;
  RiffChunk riff{};
  RiffChunk data{};
  uint32_t limit = 0;
  uint32_t total = 0;
};

struct ThistleWriter {
  FILE* stream = nullptr;
  int32_t rate_code = 0;
  uint32_t data_bytes = 0;
  bool write_failed = false;
};

namespace {

#pragma pack(push, 2)
// The format chunk's fixed part.
struct WaveFormatEx {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
// The 40-byte extensible format chunk.
struct WaveFormatExtensible {
  WaveFormatEx format;
  uint16_t wValidBitsPerSample;
  uint32_t dwChannelMask;
  unsigned char SubFormat[16];
};
#pragma pack(pop)
static_assert(sizeof(WaveFormatEx) == 18);
static_assert(offsetof(WaveFormatEx, nChannels) == 2);
static_assert(offsetof(WaveFormatEx, nSamplesPerSec) == 4);
static_assert(offsetof(WaveFormatEx, nAvgBytesPerSec) == 8);
static_assert(offsetof(WaveFormatEx, nBlockAlign) == 12);
static_assert(offsetof(WaveFormatEx, wBitsPerSample) == 14);
static_assert(offsetof(WaveFormatEx, cbSize) == 16);
static_assert(sizeof(WaveFormatExtensible) == 40);
static_assert(offsetof(WaveFormatExtensible, wValidBitsPerSample) == 18);
static_assert(offsetof(WaveFormatExtensible, dwChannelMask) == 20);
static_assert(offsetof(WaveFormatExtensible, SubFormat) == 24);

// The header the writer puts at the start of every file.
using CanonicalHeader = WavCanonicalHeader;

constexpr uint16_t kFormatExtensible = 0xFFFE;
// The fields up to and including nBlockAlign: the least a format chunk must
// hold for its channel count and rate to mean anything.
constexpr uint32_t kShortestFormat = 14;

// Opens path and reads up to capacity bytes of its format chunk into record
// (zeroed first). The open file, with the RIFF chunk in riff, or null.
FILE* open_format(const char* path, void* record, uint32_t capacity, uint32_t* got,
                  RiffChunk* riff) {
  if (path == nullptr) return nullptr;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return nullptr;
  RiffChunk format{};
  if (riff_descend(file, riff) == 0 && riff_find(file, *riff, fourcc("fmt "), &format) == 0) {
    memset(record, 0, capacity);
    const uint32_t wanted = format.available < capacity ? format.available : capacity;
    *got = static_cast<uint32_t>(fread(record, 1, wanted, file));
    if (*got >= kShortestFormat) return file;
  }
  fclose(file);
  return nullptr;
}

// The sub-format of an extensible header as a format tag, when its GUID is
// one of the standard ones built from a tag; else the extensible tag itself.
int32_t resolved_tag(const WaveFormatExtensible& format, uint32_t got) {
  static const unsigned char kBase[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                          0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  const uint16_t tag = format.format.wFormatTag;
  if (tag != kFormatExtensible || got < sizeof(WaveFormatExtensible) || format.format.cbSize < 22)
    return tag;
  if (memcmp(format.SubFormat + 4, kBase, sizeof kBase) != 0 || format.SubFormat[2] != 0 ||
      format.SubFormat[3] != 0)
    return tag;
  return static_cast<int32_t>(format.SubFormat[0] | format.SubFormat[1] << 8);
}

// The header maps the reserved code to 48000 Hz.
uint32_t samples_per_sec(int32_t rate_code) {
  int32_t hz = dat_rate_hz(rate_code);
  return static_cast<uint32_t>(hz ? hz : 48000);
}

ThistleReader default_reader;

void close_reader(ThistleReader* reader) {
  if (reader->file != nullptr) fclose(reader->file);
  *reader = ThistleReader{};
}

// Opens path into reader, which holds no file. THISTLE_OK with the reader at
// the start of the data chunk; otherwise the reader delivers nothing (a file
// without a RIFF chunk stays open until the reader is closed).
int32_t open_reader(ThistleReader* reader, const char* path) {
  reader->file = path != nullptr ? fopen(path, "rb") : nullptr;
  if (reader->file == nullptr) return THISTLE_CANNOT_OPEN;
  if (riff_descend(reader->file, &reader->riff) != 0) return THISTLE_NOT_RIFF;
  if (riff_find(reader->file, reader->riff, fourcc("data"), &reader->data) != 0) return THISTLE_NO_DATA;
  reader->limit = reader->data.available;
  return THISTLE_OK;
}

}  // namespace

const char* thistle_version(void) { return KESTREL_LIBRARY_VERSION; }

const char* thistle_status_text(int32_t status) {
  switch (status) {
    case THISTLE_OK: return "success";
    case THISTLE_CANNOT_OPEN: return "the file cannot be opened or created";
    case THISTLE_NOT_RIFF: return "the file is not a RIFF file";
    case THISTLE_NO_DATA: return "the file has no data chunk";
    case THISTLE_WRITE_FAILED: return "the header of the new file cannot be written";
    case THISTLE_BAD_RATE: return "the sampling rate is not one a DAT records (48000, 44100 or 32000 Hz)";
    default: return "unknown status";
  }
}

int32_t init_wav_decode(const char* path) {
  close_wav_decode();
  int32_t status = open_reader(&default_reader, path);
  // As it always did, the reader says why a file delivers nothing.
  if (status == THISTLE_CANNOT_OPEN) printf("error opening file\n");
  if (status == THISTLE_NOT_RIFF) printf("can't find riff\n");
  return 1;
}

int32_t do_wav_decode(void* buffer, uint32_t n) { return thistle_read(&default_reader, buffer, n); }

int32_t close_wav_decode(void) {
  close_reader(&default_reader);
  return 1;
}

ThistleReader* thistle_open_reader(const char* path, int32_t* status) {
  ThistleReader* reader = new (std::nothrow) ThistleReader;
  int32_t result = reader != nullptr ? open_reader(reader, path) : THISTLE_CANNOT_OPEN;
  if (status != nullptr) *status = result;
  if (result == THISTLE_OK) return reader;
  thistle_close_reader(reader);
  return nullptr;
}

int32_t thistle_read(ThistleReader* reader, void* buffer, uint32_t n) {
  if (reader == nullptr || reader->file == nullptr || buffer == nullptr) return 0;
  uint32_t wanted = reader->limit - reader->total;
  if (n < wanted) wanted = n;
  // The count must fit the result.
  if (wanted > static_cast<uint32_t>(INT32_MAX)) wanted = INT32_MAX;
  const size_t got = fread(buffer, 1, wanted, reader->file);
  reader->total += static_cast<uint32_t>(got);
  return static_cast<int32_t>(got);
}

void thistle_close_reader(ThistleReader* reader) {
  if (reader == nullptr) return;
  close_reader(reader);
  delete reader;
}

int32_t ReadWAVSampleRate(const char* path, int32_t* channels, int32_t* rate, int32_t* bits_rate) {
  if (channels == nullptr || rate == nullptr || bits_rate == nullptr) return 0;
  WaveFormatEx format;
  uint32_t got = 0;
  RiffChunk riff{};
  FILE* file = open_format(path, &format, sizeof format, &got, &riff);
  if (file == nullptr) return 0;
  *channels = format.nChannels;
  *rate = static_cast<int32_t>(format.nSamplesPerSec);
  *bits_rate = static_cast<int32_t>(format.wBitsPerSample * format.nSamplesPerSec);
  fclose(file);
  return 1;
}

int32_t ReadWAVSourceFormat(const char* path, WavSourceFormat* result) {
  if (result == nullptr) return 0;
  WaveFormatExtensible format;
  uint32_t got = 0;
  RiffChunk riff{};
  FILE* file = open_format(path, &format, sizeof format, &got, &riff);
  if (file == nullptr) return 0;
  RiffChunk data{};
  const bool has_data = riff_find(file, riff, fourcc("data"), &data) == 0;
  fclose(file);
  if (!has_data || got < 16) return 0;
  result->format_tag = resolved_tag(format, got);
  result->bits_per_sample = format.format.wBitsPerSample;
  result->channels = format.format.nChannels;
  result->rate = static_cast<int32_t>(format.format.nSamplesPerSec);
  result->data_bytes = data.available;
  return 1;
}

FILE* openWavEncode(const char* path) { return path != nullptr ? fopen(path, "w+b") : nullptr; }

int32_t outputHeaderWavEncode(FILE* stream, uint32_t data_bytes, int32_t rate_code) {
  return thistle_write_header_chunks(stream, nullptr, 0, data_bytes, 0, rate_code);
}

namespace {

constexpr uint64_t kNeverRf64 = UINT64_MAX;

// The "ds64" chunk for a file of riff_size with data_bytes of audio, whole, into out.
void put_ds64(unsigned char* out, uint64_t riff_size, uint64_t data_bytes) {
  const ThistleDs64 sizes{riff_size, data_bytes, data_bytes / 4u, 0};
  memcpy(out, "ds64", 4);
  const uint32_t size = sizeof sizes;
  memcpy(out + 4, &size, 4);
  memcpy(out + 8, &sizes, sizeof sizes);
}
static_assert(8u + sizeof(ThistleDs64) == THISTLE_DS64_CHUNK_BYTES);

// The header, the leading chunks, "fmt " and the data chunk's header; the
// stream is left at the first audio byte. A file whose RIFF size passes
// rf64_above is written as RF64, its first leading chunk as "ds64". 1, or 0.
int32_t write_header(FILE* stream, const void* leading, uint32_t leading_bytes, uint64_t data_bytes,
                     uint32_t trailing_bytes, int32_t rate_code, uint64_t rf64_above) {
  if (stream == nullptr || (leading == nullptr && leading_bytes != 0)) return 0;
  const uint64_t riff_size = uint64_t{36} + leading_bytes + data_bytes + trailing_bytes;
  const bool rf64 = riff_size > rf64_above && leading_bytes >= THISTLE_DS64_CHUNK_BYTES;
  CanonicalHeader header = wav_canonical_header(samples_per_sec(rate_code),
                                                data_bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(data_bytes));
  header.riff_size = riff_size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(riff_size);
  if (rf64) {
    memcpy(header.riff, "RF64", 4);
    header.riff_size = UINT32_MAX;
    header.data_size = UINT32_MAX;
  }
  if (fseeko(stream, 0, SEEK_SET) != 0) return 0;
  // The RIFF header, the leading chunks, then "fmt " and the data chunk's header.
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&header);
  constexpr size_t kRiffHeader = offsetof(CanonicalHeader, fmt);
  static_assert(kRiffHeader == THISTLE_DS64_OFFSET);
  if (fwrite(bytes, kRiffHeader, 1, stream) != 1) return 0;
  const unsigned char* rest = static_cast<const unsigned char*>(leading);
  if (rf64) {
    unsigned char ds64[THISTLE_DS64_CHUNK_BYTES];
    put_ds64(ds64, riff_size, data_bytes);
    if (fwrite(ds64, sizeof ds64, 1, stream) != 1) return 0;
    rest += sizeof ds64;
    leading_bytes -= static_cast<uint32_t>(sizeof ds64);
  }
  if (leading_bytes != 0 && fwrite(rest, leading_bytes, 1, stream) != 1) return 0;
  return static_cast<int32_t>(fwrite(bytes + kRiffHeader, sizeof header - kRiffHeader, 1, stream));
}

}  // namespace

int32_t thistle_write_header_chunks(FILE* stream, const void* leading, uint32_t leading_bytes,
                                    uint32_t data_bytes, uint32_t trailing_bytes, int32_t rate_code) {
  return write_header(stream, leading, leading_bytes, data_bytes, trailing_bytes, rate_code, kNeverRf64);
}

int32_t outputWavEncode(const void* data, int32_t count, FILE* stream) {
  if (stream == nullptr || data == nullptr || count <= 0) return 0;
  return static_cast<int32_t>(fwrite(data, 1, static_cast<size_t>(count), stream));
}

int32_t closeWavEncode(FILE* stream) { return stream != nullptr ? fclose(stream) : -1; }

namespace {

constexpr uint32_t kHeaderBytes = sizeof(CanonicalHeader);
constexpr uint32_t kSamplePairBytes = 4;

// The audio bytes a WAV file of file_size holds behind its header_bytes.
uint64_t audio_in(int64_t file_size, uint32_t header_bytes) {
  return file_size > header_bytes ? static_cast<uint64_t>(file_size) - header_bytes : 0;
}

void put_le32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// States the whole sample pairs in the file open on fd, whose audio begins
// at header_bytes, and cuts it there: as RF64 when its RIFF size passes
// rf64_above, else with 32-bit sizes (and no more audio than they can
// state). Async-signal-safe.
int32_t settle_descriptor(int fd, uint32_t header_bytes, uint64_t rf64_above) {
  struct stat info {};
  if (fd < 0 || header_bytes < kHeaderBytes || fstat(fd, &info) != 0) return -1;
  if (info.st_size < static_cast<off_t>(header_bytes)) return -1;  // no header: nothing to state
  uint64_t data = audio_in(info.st_size, header_bytes);
  data -= data % kSamplePairBytes;
  const uint64_t riff = header_bytes - 8u + data;
  unsigned char riff_size[4];
  unsigned char data_size[4];
  if (riff > rf64_above) {
    unsigned char ds64[THISTLE_DS64_CHUNK_BYTES];
    put_ds64(ds64, riff, data);
    put_le32(riff_size, UINT32_MAX);
    put_le32(data_size, UINT32_MAX);
    if (pwrite(fd, "RF64", 4, 0) != 4 ||
        pwrite(fd, ds64, sizeof ds64, THISTLE_DS64_OFFSET) != static_cast<ssize_t>(sizeof ds64))
      return -1;
  } else {
    const uint64_t limit = (UINT32_MAX - (header_bytes - 8u)) / kSamplePairBytes * kSamplePairBytes;
    if (data > limit) data = limit;
    put_le32(riff_size, static_cast<uint32_t>(header_bytes - 8u + data));
    put_le32(data_size, static_cast<uint32_t>(data));
  }
  if (pwrite(fd, riff_size, 4, offsetof(CanonicalHeader, riff_size)) != 4 ||
      pwrite(fd, data_size, 4, static_cast<off_t>(header_bytes) - 4) != 4)
    return -1;
  return ftruncate(fd, static_cast<off_t>(header_bytes + data)) == 0 ? 0 : -1;
}

}  // namespace

ThistleWriter* thistle_create(const char* path, int32_t rate_hz, int32_t* status) {
  int32_t result = THISTLE_OK;
  ThistleWriter* writer = nullptr;
  // The file's header states the rate through the code of a DAT rate.
  const int32_t rate_code = dat_rate_code(rate_hz);
  FILE* stream = rate_code < 0 ? nullptr : openWavEncode(path);
  if (rate_code < 0) {
    result = THISTLE_BAD_RATE;
  } else if (stream == nullptr) {
    result = THISTLE_CANNOT_OPEN;
  } else {
    errno = 0;
    if (outputHeaderWavEncode(stream, 0, rate_code) != 1 || fflush(stream) != 0)
      result = THISTLE_WRITE_FAILED;
    else if ((writer = new (std::nothrow) ThistleWriter{stream, rate_code, 0, false}) == nullptr)
      result = THISTLE_CANNOT_OPEN;
    if (result != THISTLE_OK) {
      // Not even a header: no valid file to leave.
      const int error = errno;
      __fpurge(stream);
      fclose(stream);
      remove(path);
      errno = error;
    }
  }
  if (status != nullptr) *status = result;
  return writer;
}

int32_t thistle_write(ThistleWriter* writer, const void* data, uint32_t count) {
  if (writer == nullptr || data == nullptr || writer->write_failed) return 0;
  const uint32_t room = THISTLE_DATA_LIMIT - writer->data_bytes;
  if (count > room) count = room;
  // The count must fit the result.
  if (count > static_cast<uint32_t>(INT32_MAX)) count = INT32_MAX;
  errno = 0;
  const size_t written = fwrite(data, 1, count, writer->stream);
  writer->data_bytes += static_cast<uint32_t>(written);
  if (written != count) writer->write_failed = true;
  return static_cast<int32_t>(written);
}

int32_t thistle_finish(ThistleWriter* writer, ThistleFinish* report) {
  ThistleFinish done{};
  int32_t result = -1;
  if (writer != nullptr) {
    result = thistle_finish_stream(writer->stream, writer->data_bytes, writer->rate_code,
                                   writer->write_failed, &done);
    errno = 0;
    if (closeWavEncode(writer->stream) != 0) {
      done.failed |= THISTLE_FINISH_CLOSE;
      done.close_errno = errno;
      result = -1;
    }
    delete writer;
  }
  if (report != nullptr) *report = done;
  return result;
}

int32_t thistle_finish_stream(FILE* stream, uint32_t data_bytes, int32_t rate_code,
                              int32_t write_failed, ThistleFinish* report) {
  ThistleFinish done{};
  int32_t result = thistle_settle_stream(stream, kHeaderBytes, data_bytes, write_failed, &done);
  if (stream != nullptr) {
    ThistleFinish ended{};
    if (thistle_end_stream_chunks(stream, nullptr, 0, done.data_bytes, nullptr, 0, rate_code, &ended) != 0)
      result = -1;
    done.failed |= ended.failed;
    done.header_errno = ended.header_errno;
  }
  if (report != nullptr) *report = done;
  return result;
}

int32_t thistle_settle_stream(FILE* stream, uint32_t header_bytes, uint32_t data_bytes,
                              int32_t write_failed, ThistleFinish* report) {
  return thistle_settle_stream64(stream, header_bytes, data_bytes, write_failed, nullptr, report);
}

int32_t thistle_settle_stream64(FILE* stream, uint32_t header_bytes, uint64_t data_bytes, int32_t write_failed,
                                uint64_t* settled, ThistleFinish* report) {
  ThistleFinish done{};
  if (settled != nullptr) *settled = 0;
  if (stream == nullptr) {
    done.failed = THISTLE_FINISH_HEADER;
    done.header_errno = EBADF;
    if (report != nullptr) *report = done;
    return -1;
  }
  errno = 0;
  if (write_failed == 0 && fflush(stream) != 0) {
    done.failed |= THISTLE_FINISH_FLUSH;
    done.flush_errno = errno;
    write_failed = 1;
  }
  if (write_failed != 0) {
    // What stdio still holds will not reach the file; the file's size says
    // what did.
    __fpurge(stream);
    struct stat info {};
    const uint64_t in_file = fstat(fileno(stream), &info) == 0 ? audio_in(info.st_size, header_bytes) : 0;
    if (in_file < data_bytes) data_bytes = in_file;
  }
  data_bytes -= data_bytes % kSamplePairBytes;
  done.data_bytes = static_cast<uint32_t>(data_bytes);
  if (settled != nullptr) *settled = data_bytes;
  if (report != nullptr) *report = done;
  return write_failed != 0 ? -1 : 0;
}

int32_t thistle_end_stream_chunks(FILE* stream, const void* leading, uint32_t leading_bytes,
                                  uint32_t data_bytes, const void* trailing, uint32_t trailing_bytes,
                                  int32_t rate_code, ThistleFinish* report) {
  return thistle_end_stream_rf64(stream, leading, leading_bytes, data_bytes, trailing, trailing_bytes, rate_code,
                                 kNeverRf64, report);
}

int32_t thistle_end_stream_rf64(FILE* stream, const void* leading, uint32_t leading_bytes, uint64_t data_bytes,
                                const void* trailing, uint32_t trailing_bytes, int32_t rate_code,
                                uint64_t rf64_above, ThistleFinish* report) {
  ThistleFinish done{};
  done.data_bytes = static_cast<uint32_t>(data_bytes);
  const off_t audio_end = static_cast<off_t>(THISTLE_HEADER_BYTES(leading_bytes) + data_bytes);
  if (trailing == nullptr) trailing_bytes = 0;
  errno = 0;
  if (stream != nullptr && trailing_bytes != 0 &&
      (fseeko(stream, audio_end, SEEK_SET) != 0 || fwrite(trailing, trailing_bytes, 1, stream) != 1 ||
       fflush(stream) != 0)) {
    // The file ends with its audio instead.
    done.failed |= THISTLE_FINISH_HEADER;
    done.header_errno = errno;
    __fpurge(stream);
    trailing_bytes = 0;
  }
  errno = 0;
  if (write_header(stream, leading, leading_bytes, data_bytes, trailing_bytes, rate_code, rf64_above) != 1 ||
      ftruncate(fileno(stream), audio_end + static_cast<off_t>(trailing_bytes)) != 0) {
    done.failed |= THISTLE_FINISH_HEADER;
    if (done.header_errno == 0) done.header_errno = errno;
  }
  if (report != nullptr) *report = done;
  return done.failed != 0 ? -1 : 0;
}

int32_t thistle_settle_descriptor(int fd) { return thistle_settle_descriptor_at(fd, kHeaderBytes); }

int32_t thistle_settle_descriptor_at(int fd, uint32_t header_bytes) {
  // The RIFF size counts everything behind its own 8 bytes and must fit 32 bits.
  return settle_descriptor(fd, header_bytes, kNeverRf64);
}

int32_t thistle_settle_descriptor_rf64(int fd, uint32_t header_bytes, uint64_t rf64_above) {
  if (header_bytes < kHeaderBytes + THISTLE_DS64_CHUNK_BYTES) return -1;
  return settle_descriptor(fd, header_bytes, rf64_above);
}

uint32_t thistle_put_chunk(void* out, const char* id, const void* data, uint32_t size) {
  const uint32_t total = 8u + size + (size & 1u);
  if (out == nullptr || id == nullptr) return total;
  unsigned char* bytes = static_cast<unsigned char*>(out);
  memcpy(bytes, id, 4);
  put_le32(bytes + 4, size);
  if (size != 0) memcpy(bytes + 8, data, size);
  if (size & 1u) bytes[8 + size] = 0;
  return total;
}

uint32_t thistle_put_info_chunk(void* out, const ThistleInfo* fields, uint32_t count) {
  // "LIST" "INFO": a chunk a field, its text NUL-terminated; empty fields left out.
  uint32_t size = 4;
  for (uint32_t i = 0; i < count; ++i)
    if (fields[i].text && fields[i].text[0])
      size += thistle_put_chunk(nullptr, fields[i].id, nullptr, static_cast<uint32_t>(strlen(fields[i].text)) + 1);
  if (size == 4) return 0;
  if (out == nullptr) return 8 + size;
  unsigned char* p = static_cast<unsigned char*>(out);
  memcpy(p, "LIST", 4);
  put_le32(p + 4, size);
  memcpy(p + 8, "INFO", 4);
  p += 12;
  for (uint32_t i = 0; i < count; ++i)
    if (fields[i].text && fields[i].text[0])
      p += thistle_put_chunk(p, fields[i].id, fields[i].text, static_cast<uint32_t>(strlen(fields[i].text)) + 1);
  return 8 + size;
}

uint32_t thistle_put_cue_chunks(void* out, const ThistleCue* cues, uint32_t count) {
  if (cues == nullptr || count == 0) return 0;
  // "cue ": the count, then per marker its ID, position, "data", two chunk
  // offsets (0: the one data chunk) and its sample within the chunk.
  constexpr uint32_t kPointBytes = 24;
  const uint32_t cue_size = 4 + kPointBytes * count;
  uint32_t labels = 4;  // "adtl"
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t text = static_cast<uint32_t>(strnlen(cues[i].label, sizeof cues[i].label - 1)) + 1;
    labels += thistle_put_chunk(nullptr, "labl", nullptr, 4 + text);
  }
  const uint32_t total = 8 + cue_size + 8 + labels;
  if (out == nullptr) return total;
  unsigned char* p = static_cast<unsigned char*>(out);
  memcpy(p, "cue ", 4);
  put_le32(p + 4, cue_size);
  put_le32(p + 8, count);
  p += 12;
  for (uint32_t i = 0; i < count; ++i, p += kPointBytes) {
    put_le32(p, i + 1);
    put_le32(p + 4, cues[i].sample);
    memcpy(p + 8, "data", 4);
    put_le32(p + 12, 0);
    put_le32(p + 16, 0);
    put_le32(p + 20, cues[i].sample);
  }
  memcpy(p, "LIST", 4);
  put_le32(p + 4, labels);
  memcpy(p + 8, "adtl", 4);
  p += 12;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t text = static_cast<uint32_t>(strnlen(cues[i].label, sizeof cues[i].label - 1)) + 1;
    unsigned char label[4 + sizeof cues[i].label];
    put_le32(label, i + 1);
    memcpy(label + 4, cues[i].label, text - 1);
    label[4 + text - 1] = 0;
    p += thistle_put_chunk(p, "labl", label, 4 + text);
  }
  return total;
}
