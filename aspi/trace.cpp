// SPDX-License-Identifier: MIT
#include "aspi/trace.h"

#include <endian.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "aspi/frame_subcode.h"

namespace {

const size_t kFileBuffer = 1 << 20;
const size_t kLineHead = 512;  // room for a line without its data
const char kDigits[] = "0123456789abcdef";

// READ and WRITE move audio frames: summarised, their bytes only on request.
bool moves_frames(const uint8_t* cdb) { return cdb[0] == 0x08 || cdb[0] == 0x0A; }

const char* const kDirections[] = {"none", "in", "out"};

struct Line {
  char* at;
  void text(const char* s) {
    size_t n = std::strlen(s);
    std::memcpy(at, s, n);
    at += n;
  }
  void hex(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      *at++ = kDigits[bytes[i] >> 4];
      *at++ = kDigits[bytes[i] & 0x0F];
    }
  }
  void byte(uint8_t b) { hex(&b, 1); }
  void number(uint64_t v) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    while (n) *at++ = digits[--n];
  }
  void two(unsigned v) {
    *at++ = static_cast<char>('0' + v / 10);
    *at++ = static_cast<char>('0' + v % 10);
  }
};

// "pno=001 abs=00:01:02:03 sid=00 mid=0000 flags=00": the frame's program
// number, absolute time, sub-ID control byte, main ID and interpolation flags.
void frame_summary(Line* out, const uint8_t* frame) {
  const uint8_t* trailer = frame + FRAME_TRAILER_OFFSET;
  FrameSubcode s;
  frame_subcode_parse(trailer, &s);
  out->text(" pno=");
  for (uint8_t digit : s.digits) *out->at++ = kDigits[digit & 0x0F];
  out->text(" abs=");
  for (int i = 0; i < 4; ++i) {
    if (i) *out->at++ = ':';
    out->byte(s.absolute[i]);
  }
  out->text(" sid=");
  out->byte(frame[offsetof(DatFrame, sid_control)]);
  out->text(" mid=");
  out->byte(frame[offsetof(DatFrame, main_id_format)]);
  out->byte(frame[offsetof(DatFrame, main_id_mode)]);
  out->text(" flags=");
  out->byte(frame[offsetof(DatFrame, interpolate_flags)]);
}

bool write_all(TraceWriter* trace, const char* bytes, size_t count) {
  if (trace->failed) return false;
  if (std::fwrite(bytes, 1, count, trace->file) != count) trace->failed = true;
  return !trace->failed;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex(const std::string& text, std::vector<uint8_t>* bytes) {
  if (text.size() % 2) return false;
  bytes->resize(text.size() / 2);
  for (size_t i = 0; i < bytes->size(); ++i) {
    int high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*bytes)[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool parse_number(const std::string& text, int base, uint64_t limit, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno || *end || v > limit) return false;
  *value = v;
  return true;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (start < i) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

// "A/B/C" of numbers in the given base, each up to limit.
bool parse_triple(const std::string& text, int base, uint64_t limit, uint64_t* values) {
  size_t first = text.find('/'), second = first == std::string::npos ? first : text.find('/', first + 1);
  if (second == std::string::npos) return false;
  return parse_number(text.substr(0, first), base, limit, &values[0]) &&
         parse_number(text.substr(first + 1, second - first - 1), base, limit, &values[1]) &&
         parse_number(text.substr(second + 1), base, limit, &values[2]);
}

}  // namespace

int trace_direction(const AspiExecRequest* block) {
  if (block->data_length == 0 || block->data == nullptr) return TRACE_NONE;
  return (block->flags & ASPI_FLAG_DATA_OUT) ? TRACE_OUT : TRACE_IN;
}

uint32_t trace_sum(const void* bytes, size_t count) {
  // FNV-1a steps over little-endian 64-bit words in four lanes, so that a
  // frame costs a few hundred multiplications that do not wait on each
  // other; the bytes after the last whole group of four words go into lane
  // 0 one by one. The lanes and the count are folded into 32 bits at the end.
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  const uint64_t prime = 0x100000001B3ull, basis = 0xCBF29CE484222325ull;
  // Four locals, not an array: the lanes stay in registers.
  uint64_t l0 = basis, l1 = basis ^ 1, l2 = basis ^ 2, l3 = basis ^ 3;
  auto word = [p](size_t at) {
    uint64_t w;
    std::memcpy(&w, p + at, 8);
    return le64toh(w);
  };
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    l0 = (l0 ^ word(i)) * prime;
    l1 = (l1 ^ word(i + 8)) * prime;
    l2 = (l2 ^ word(i + 16)) * prime;
    l3 = (l3 ^ word(i + 24)) * prime;
  }
  for (; i < count; ++i) l0 = (l0 ^ p[i]) * prime;
  uint64_t h = count;
  for (uint64_t v : {l0, l1, l2, l3}) h = (h ^ v) * prime;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

std::string trace_hex(const uint8_t* bytes, size_t count) {
  std::string text(count * 2, '0');
  Line line{text.data()};
  line.hex(bytes, count);
  return text;
}

std::string trace_command_text(const uint8_t* cdb, uint8_t cdb_length, int direction, uint32_t length) {
  size_t n = std::min<size_t>(cdb_length, 16);
  return trace_hex(cdb, n) + " " + kDirections[direction < 0 || direction > 2 ? 0 : direction] + " " +
         std::to_string(length);
}

int trace_open(TraceWriter* trace, const char* path, bool full_data) {
  trace->file = std::fopen(path, "we");
  if (!trace->file) return -1;
  trace->path = path;
  trace->full_data = full_data;
  trace->failed = false;
  std::setvbuf(trace->file, nullptr, _IOFBF, kFileBuffer);
  trace->line.resize(kLineHead + 2 * DAT_FRAME_BYTES);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char started[32];
  std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S UTC", &utc);
  std::fprintf(trace->file,
               TRACE_VERSION_LINE "\n"
               "# %s, process %ld, started %s; audio frames: %s\n"
               "# TIME DRIVE CDB DIR LENGTH ASPI/SCSI/HOST SENSE RESID MICROSECONDS [sg=HOST/DRIVER/INFO] "
               "[errno=N] [pno= abs= sid= mid= flags=] [sum=] [data=]\n",
               program_invocation_short_name, static_cast<long>(getpid()), started,
               full_data ? "summary and bytes" : "summary");
  return 0;
}

void trace_command(TraceWriter* trace, const AspiExecRequest* b, const TransportOutcome& outcome,
                   const timespec& began, int64_t microseconds) {
  if (!trace->file || trace->failed) return;
  Line out{trace->line.data()};
  unsigned day_seconds = static_cast<unsigned>(began.tv_sec % 86400);
  out.two(day_seconds / 3600);
  *out.at++ = ':';
  out.two(day_seconds / 60 % 60);
  *out.at++ = ':';
  out.two(day_seconds % 60);
  *out.at++ = '.';
  unsigned long micros = static_cast<unsigned long>(began.tv_nsec / 1000);
  for (unsigned long scale = 100000; scale; scale /= 10) *out.at++ = static_cast<char>('0' + micros / scale % 10);
  *out.at++ = ' ';
  out.number(b->adapter);
  *out.at++ = ':';
  out.number(b->target);
  *out.at++ = ':';
  out.number(b->lun);
  *out.at++ = ' ';
  out.hex(b->cdb, std::clamp<size_t>(b->cdb_length, 1, sizeof b->cdb));
  int direction = trace_direction(b);
  *out.at++ = ' ';
  out.text(kDirections[direction]);
  *out.at++ = ' ';
  out.number(direction == TRACE_NONE ? 0 : b->data_length);
  *out.at++ = ' ';
  out.byte(b->status);
  *out.at++ = '/';
  out.byte(b->target_status);
  *out.at++ = '/';
  out.byte(b->host_status);
  *out.at++ = ' ';
  size_t sense_bytes = std::min<size_t>(b->sense_length, sizeof b->sense);
  bool any_sense = std::any_of(b->sense, b->sense + sense_bytes, [](uint8_t v) { return v != 0; });
  if (any_sense)
    out.hex(b->sense, sense_bytes);
  else
    *out.at++ = '-';
  *out.at++ = ' ';
  if (outcome.resid < 0) *out.at++ = '-';
  out.number(static_cast<uint64_t>(outcome.resid < 0 ? -static_cast<int64_t>(outcome.resid) : outcome.resid));
  *out.at++ = ' ';
  out.number(static_cast<uint64_t>(std::max<int64_t>(microseconds, 0)));
  if (outcome.sg_sent) {
    out.text(" sg=");
    out.byte(static_cast<uint8_t>(outcome.sg_host_status >> 8));
    out.byte(static_cast<uint8_t>(outcome.sg_host_status));
    *out.at++ = '/';
    out.byte(static_cast<uint8_t>(outcome.sg_driver_status >> 8));
    out.byte(static_cast<uint8_t>(outcome.sg_driver_status));
    *out.at++ = '/';
    out.byte(static_cast<uint8_t>(outcome.sg_info));
  }
  if (outcome.sg_errno) {
    out.text(" errno=");
    out.number(static_cast<uint64_t>(outcome.sg_errno));
  }
  // The bytes moved: to the host as far as they came, from it all offered.
  size_t moved = 0;
  if (direction == TRACE_IN)
    moved = b->data_length - std::min<uint32_t>(b->data_length, static_cast<uint32_t>(std::max(outcome.resid, 0)));
  else if (direction == TRACE_OUT)
    moved = b->data_length;
  const uint8_t* data = static_cast<const uint8_t*>(b->data);
  bool frames = moves_frames(b->cdb);
  if (moved > 0) {
    if (frames && moved >= DAT_FRAME_BYTES) frame_summary(&out, data);
    out.text(" sum=");
    uint32_t sum = trace_sum(data, moved);
    for (int shift = 24; shift >= 0; shift -= 8) out.byte(static_cast<uint8_t>(sum >> shift));
  }
  bool with_data = moved > 0 && (!frames || trace->full_data);
  if (with_data) out.text(" data=");
  // The data goes out in pieces that fit the line buffer.
  size_t done = 0;
  while (with_data && done < moved) {
    size_t room = (trace->line.size() - static_cast<size_t>(out.at - trace->line.data()) - 1) / 2;
    size_t piece = std::min(room, moved - done);
    out.hex(data + done, piece);
    done += piece;
    if (done < moved) {
      if (!write_all(trace, trace->line.data(), static_cast<size_t>(out.at - trace->line.data()))) return;
      out.at = trace->line.data();
    }
  }
  *out.at++ = '\n';
  write_all(trace, trace->line.data(), static_cast<size_t>(out.at - trace->line.data()));
}

int trace_close(TraceWriter* trace) {
  if (!trace->file) return 0;
  bool whole = !trace->failed;
  if (std::fclose(trace->file) != 0) whole = false;
  trace->file = nullptr;
  return whole ? 0 : -1;
}

int trace_parse_line(const std::string& line, TraceRecord* r) {
  if (line.empty() || line[0] == '#' || line == TRACE_VERSION_LINE) return 0;
  std::vector<std::string> f = fields_of(line);
  if (f.empty()) return 0;
  if (f.size() < 9) return -1;
  *r = TraceRecord();
  uint64_t v[3];
  // f[0] is the time: not needed to answer.
  {
    std::string address = f[1];
    std::replace(address.begin(), address.end(), ':', '/');
    if (!parse_triple(address, 10, 255, v)) return -1;
    r->adapter = static_cast<uint8_t>(v[0]);
    r->target = static_cast<uint8_t>(v[1]);
    r->lun = static_cast<uint8_t>(v[2]);
  }
  std::vector<uint8_t> bytes;
  if (!parse_hex(f[2], &bytes) || bytes.empty() || bytes.size() > sizeof r->cdb) return -1;
  std::memcpy(r->cdb, bytes.data(), bytes.size());
  r->cdb_length = static_cast<uint8_t>(bytes.size());
  auto direction = std::find(std::begin(kDirections), std::end(kDirections), f[3]);
  if (direction == std::end(kDirections)) return -1;
  r->direction = static_cast<int>(direction - std::begin(kDirections));
  if (!parse_number(f[4], 10, UINT32_MAX, &v[0])) return -1;
  r->length = static_cast<uint32_t>(v[0]);
  if (!parse_triple(f[5], 16, 255, v)) return -1;
  r->aspi_status = static_cast<uint8_t>(v[0]);
  r->scsi_status = static_cast<uint8_t>(v[1]);
  r->host_status = static_cast<uint8_t>(v[2]);
  if (f[6] != "-" && (!parse_hex(f[6], &r->sense) || r->sense.size() > 16)) return -1;
  bool negative = f[7][0] == '-';
  if (!parse_number(negative ? f[7].substr(1) : f[7], 10, INT32_MAX, &v[0])) return -1;
  r->resid = static_cast<int32_t>(negative ? -static_cast<int64_t>(v[0]) : static_cast<int64_t>(v[0]));
  if (!parse_number(f[8], 10, UINT64_MAX, &v[0])) return -1;
  for (size_t i = 9; i < f.size(); ++i) {
    size_t equals = f[i].find('=');
    if (equals == std::string::npos) return -1;
    std::string key = f[i].substr(0, equals), value = f[i].substr(equals + 1);
    if (key == "sum") {
      if (!parse_number(value, 16, UINT32_MAX, &v[0])) return -1;
      r->has_sum = true;
      r->sum = static_cast<uint32_t>(v[0]);
    } else if (key == "data") {
      if (!parse_hex(value, &r->data)) return -1;
      r->has_data = true;
    }
    // The other keys (sg, errno, the frame summary) describe; they are not answers.
  }
  return 1;
}

int trace_read_file(const std::string& path, uint8_t adapter, uint8_t target, uint8_t lun,
                    std::vector<TraceRecord>* records, std::string* why) {
  std::ifstream in(path);
  if (!in) {
    *why = std::string("cannot read it: ") + std::strerror(errno);
    return -1;
  }
  records->clear();
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (number == 1 && line != TRACE_VERSION_LINE) {
      *why = "not a trace of this version: its first line is not \"" TRACE_VERSION_LINE "\"";
      return -1;
    }
    TraceRecord r;
    int kind = trace_parse_line(line, &r);
    if (kind < 0) {
      *why = "line " + std::to_string(number) + " is not a command line";
      return -1;
    }
    if (kind == 1 && r.adapter == adapter && r.target == target && r.lun == lun) records->push_back(std::move(r));
  }
  if (number == 0) {
    *why = "it is empty";
    return -1;
  }
  return 0;
}

std::string trace_difference(const TraceRecord& expected, const AspiExecRequest* b) {
  int direction = trace_direction(b);
  uint32_t length = direction == TRACE_NONE ? 0 : b->data_length;
  std::string want = trace_command_text(expected.cdb, expected.cdb_length, expected.direction, expected.length);
  std::string got = trace_command_text(b->cdb, b->cdb_length, direction, length);
  if (want != got) return "expected " + want + ", got " + got;
  if (direction != TRACE_OUT) return "";
  const uint8_t* data = static_cast<const uint8_t*>(b->data);
  if (expected.has_data) {
    size_t n = std::min<size_t>(expected.data.size(), length);
    auto differs = std::mismatch(data, data + n, expected.data.begin());
    if (expected.data.size() == length && differs.first == data + n) return "";
    size_t at = static_cast<size_t>(differs.first - data);
    return "the data sent differs from byte " + std::to_string(at) + " on (" + want + ")";
  }
  if (expected.has_sum && trace_sum(data, length) != expected.sum) {
    char sums[64];
    std::snprintf(sums, sizeof sums, "expected data sum %08x, got %08x", expected.sum, trace_sum(data, length));
    return std::string(sums) + " (" + want + ")";
  }
  return "";
}

int trace_answer(const TraceRecord& r, AspiExecRequest* b, std::string* why) {
  if (r.direction == TRACE_IN) {
    uint32_t moved = r.length - std::min<uint32_t>(r.length, static_cast<uint32_t>(std::max(r.resid, 0)));
    if (moved > 0 && !r.has_data) {
      *why = "the trace holds no bytes of this command (" +
             trace_command_text(r.cdb, r.cdb_length, r.direction, r.length) +
             "): replaying a READ needs a trace recorded with KESTREL_TRACE_DATA=1";
      return -1;
    }
    if (r.has_data && !r.data.empty() && b->data)
      std::memcpy(b->data, r.data.data(), std::min<size_t>(r.data.size(), b->data_length));
  }
  std::memset(b->sense, 0, sizeof b->sense);
  if (!r.sense.empty()) std::memcpy(b->sense, r.sense.data(), std::min(r.sense.size(), sizeof b->sense));
  b->target_status = r.scsi_status;
  b->host_status = r.host_status;
  b->status = r.aspi_status;
  return 0;
}
