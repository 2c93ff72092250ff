// SPDX-License-Identifier: MIT
#include "aspi/virtual_bus.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "aspi/block_status.h"
#include "aspi/frame_subcode.h"
#include "base/dat_format.h"
#include "platform/ini.h"

namespace {

const size_t kTrailerOffset = FRAME_TRAILER_OFFSET;
const size_t kTrailerBytes = FRAME_TRAILER_BYTES;

const size_t kInquiryBytes = 36;
const uint8_t kMrsPageLength = 6;  // bytes after the page code and length
const double kFrameSeconds = 0.03;  // a frame at the normal playing speed: 100 in 3 seconds

// UNIT ATTENTION's reasons (ASC; ASCQ 0).
const uint8_t kAscMediumChanged = 0x28;  // not ready to ready change, medium may have changed
const uint8_t kAscPowerOn = 0x29;        // power on, reset, or bus device reset occurred

// Audio LOCATE search types (byte 3, bits 5-6).

// ---------------------------------------------------------------- bus file

ASPI32MessageSink g_message_sink = nullptr;
void* g_message_context = nullptr;

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = nullptr;
  int length = vasprintf(&text, format, args);
  va_end(args);
  if (length < 0) return "";
  std::string out(text, static_cast<size_t>(length));
  std::free(text);
  return out;
}

void say(const std::string& text) { vbus_say(text); }

void warn(const VirtualBus* bus, const char* section, const char* format, const char* value) {
  say(bus->path + ": [" + section + "] " + formatted(format, value) + "\n");
}

void pad_copy(char* out, size_t size, const char* text) {
  size_t length = std::strlen(text);
  for (size_t i = 0; i < size; ++i) out[i] = i < length ? text[i] : ' ';
}

bool parse_unsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

// A decimal number above 0, or from 0 when zero_allowed.
bool parse_decimal(const std::string& text, bool zero_allowed, double* value) {
  if (text.empty() || !((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || (v == 0 && !zero_allowed)) return false;
  *value = v;
  return true;
}

bool parse_flag(const std::string& text, bool* value) {
  const char* s = text.c_str();
  if (!strcasecmp(s, "yes") || !strcasecmp(s, "true") || !strcasecmp(s, "on") || !strcmp(s, "1")) {
    *value = true;
    return true;
  }
  if (!strcasecmp(s, "no") || !strcasecmp(s, "false") || !strcasecmp(s, "off") || !strcmp(s, "0")) {
    *value = false;
    return true;
  }
  return false;
}

// The items of a list separated by commas, spaces or tabs.
std::vector<std::string> list_items(const std::string& text) {
  std::vector<std::string> items;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ',' || text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ',' && text[i] != ' ' && text[i] != '\t') ++i;
    if (start < i) items.push_back(text.substr(start, i - start));
  }
  return items;
}

bool parse_index_list(const std::string& text, std::vector<uint64_t>* list) {
  std::vector<uint64_t> values;
  for (const std::string& item : list_items(text)) {
    uint64_t v;
    if (!parse_unsigned(item, &v)) return false;
    values.push_back(v);
  }
  std::sort(values.begin(), values.end());
  *list = values;
  return true;
}

// "F[:P] F[:P] ...": frame indices, each with the probability of a misread
// on each READ (0 to 1, default 0.5). A frame listed again replaces its entry.
bool parse_flaky_list(const std::string& text, bool unreadable, std::vector<VirtualDrive::Flaky>* list) {
  std::vector<VirtualDrive::Flaky> entries = *list;
  for (const std::string& item : list_items(text)) {
    size_t colon = item.find(':');
    VirtualDrive::Flaky f{0, 0.5, unreadable};
    if (!parse_unsigned(item.substr(0, colon), &f.index)) return false;
    if (colon != std::string::npos && (!parse_decimal(item.substr(colon + 1), true, &f.probability) || f.probability > 1))
      return false;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const VirtualDrive::Flaky& e) { return e.index == f.index; }),
                  entries.end());
    entries.push_back(f);
  }
  std::sort(entries.begin(), entries.end(),
            [](const VirtualDrive::Flaky& a, const VirtualDrive::Flaky& b) { return a.index < b.index; });
  *list = entries;
  return true;
}

// "N:E": the N-th SG_IO fails with errno E, a number or one of a few names.
bool parse_sg_errno(const std::string& text, VirtualDrive* d) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {{"EIO", EIO}, {"ENODEV", ENODEV}, {"ENXIO", ENXIO}, {"ETIMEDOUT", ETIMEDOUT},
                {"ENOMEM", ENOMEM}, {"EINTR", EINTR}, {"EBUSY", EBUSY}};
  size_t colon = text.find(':');
  uint64_t n, e = 0;
  if (colon == std::string::npos || !parse_unsigned(text.substr(0, colon), &n) || n == 0 || n > UINT32_MAX) return false;
  std::string error = text.substr(colon + 1);
  for (const auto& known : kNames)
    if (!strcasecmp(error.c_str(), known.name)) e = static_cast<uint64_t>(known.value);
  if (e == 0 && (!parse_unsigned(error, &e) || e == 0 || e > 4095)) return false;
  d->sg_errno_at = static_cast<uint32_t>(n);
  d->sg_errno = static_cast<int>(e);
  return true;
}

// "N[:BYTES]": the N-th READ moves only BYTES (default half a frame).
bool parse_short_read(const std::string& text, VirtualDrive* d) {
  size_t colon = text.find(':');
  uint64_t n, bytes = DAT_FRAME_BYTES / 2;
  if (!parse_unsigned(text.substr(0, colon), &n) || n == 0 || n > UINT32_MAX) return false;
  if (colon != std::string::npos && (!parse_unsigned(text.substr(colon + 1), &bytes) || bytes >= DAT_FRAME_BYTES))
    return false;
  d->short_read_at = static_cast<uint32_t>(n);
  d->short_read_bytes = static_cast<uint32_t>(bytes);
  return true;
}

// A command count from 1, or 0 for never.
bool parse_count(const std::string& text, uint32_t* count) {
  uint64_t n;
  if (!parse_unsigned(text, &n) || n > UINT32_MAX) return false;
  *count = static_cast<uint32_t>(n);
  return true;
}

bool parse_write_error(const std::string& text, VirtualDrive* d) {
  size_t colon = text.find(':');
  uint64_t n;
  if (!parse_unsigned(text.substr(0, colon), &n) || n == 0 || n > UINT32_MAX) return false;
  uint8_t asc = 0x3B;
  if (colon != std::string::npos) {
    std::string kind = text.substr(colon + 1);
    if (!strcasecmp(kind.c_str(), "medium"))
      asc = 0x0C;
    else if (strcasecmp(kind.c_str(), "positioning") != 0)
      return false;
  }
  d->write_error_at = static_cast<uint32_t>(n);
  d->write_error_asc = asc;
  return true;
}

std::string bus_folder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A path from the bus file: a relative one is relative to the bus file's folder.
std::string bus_path(const VirtualBus* bus, const std::string& path) {
  return path[0] == '/' ? path : bus_folder(bus->path) + "/" + path;
}

// Applies one key of a drive section; false when the key or its value is not understood.
bool apply_key(const VirtualBus* bus, const IniEntry& e, VirtualDrive* d) {
  const char* key = e.key.c_str();
  const std::string& v = e.value;
  uint64_t n;
  if (!strcasecmp(key, "vendor")) {
    pad_copy(d->vendor, sizeof d->vendor, v.c_str());
  } else if (!strcasecmp(key, "product")) {
    char both[sizeof d->product + sizeof d->revision];
    pad_copy(both, sizeof both, v.c_str());
    std::memcpy(d->product, both, sizeof d->product);
    std::memcpy(d->revision, both + sizeof d->product, sizeof d->revision);
  } else if (!strcasecmp(key, "type")) {
    if (!parse_unsigned(v, &n) || n > 31) return false;
    d->device_type = static_cast<uint8_t>(n);
  } else if (!strcasecmp(key, "cassette")) {
    if (v.empty()) return false;
    d->cassette = bus_path(bus, v);
  } else if (!strcasecmp(key, "replay")) {
    if (v.empty()) return false;
    d->replay = bus_path(bus, v);
  } else if (!strcasecmp(key, "write_protect")) {
    return parse_flag(v, &d->write_protect);
  } else if (!strcasecmp(key, "density_stuck")) {
    return parse_flag(v, &d->density_stuck);
  } else if (!strcasecmp(key, "not_ready")) {
    if (!strcasecmp(v.c_str(), "always")) {
      d->never_ready = true;
    } else {
      if (!parse_unsigned(v, &n) || n > UINT32_MAX) return false;
      d->not_ready_left = static_cast<uint32_t>(n);
    }
  } else if (!strcasecmp(key, "read_errors")) {
    return parse_index_list(v, &d->read_errors);
  } else if (!strcasecmp(key, "flaky")) {
    return parse_flaky_list(v, false, &d->flaky);
  } else if (!strcasecmp(key, "flaky_unreadable")) {
    return parse_flaky_list(v, true, &d->flaky);
  } else if (!strcasecmp(key, "seed")) {
    return parse_unsigned(v, &d->seed);
  } else if (!strcasecmp(key, "locate_slop")) {
    if (!parse_unsigned(v, &n) || n > 1000000) return false;
    d->locate_slop = static_cast<uint32_t>(n);
  } else if (!strcasecmp(key, "write_error")) {
    return parse_write_error(v, d);
  } else if (!strcasecmp(key, "sg_errno")) {
    return parse_sg_errno(v, d);
  } else if (!strcasecmp(key, "capacity")) {
    if (!strcasecmp(v.c_str(), "unlimited")) {
      d->capacity = -1;
    } else {
      if (!parse_unsigned(v, &n) || n > INT64_MAX) return false;
      d->capacity = static_cast<int64_t>(n);
    }
  } else if (!strcasecmp(key, "search_polls")) {
    if (!parse_unsigned(v, &n) || n > UINT32_MAX) return false;
    d->search_polls = static_cast<uint32_t>(n);
  } else if (!strcasecmp(key, "speed")) {
    return parse_decimal(v, false, &d->speed);
  } else if (!strcasecmp(key, "search_speed")) {
    return parse_decimal(v, false, &d->search_speed);
  } else if (!strcasecmp(key, "locate_seconds")) {
    return parse_decimal(v, true, &d->locate_seconds);
  } else if (!strcasecmp(key, "unit_attention")) {
    // What the drive has to say at its first command: it was powered on
    // (or reset), or its cassette was changed.
    bool medium_changed = !strcasecmp(v.c_str(), "medium_changed");
    if (!medium_changed && strcasecmp(v.c_str(), "power_on") != 0 && !parse_flag(v, &d->unit_attention))
      return false;
    if (medium_changed) d->unit_attention = true;
    d->attention_asc = !d->unit_attention ? 0 : medium_changed ? kAscMediumChanged : kAscPowerOn;
  } else if (!strcasecmp(key, "becoming_ready")) {
    return parse_count(v, &d->becoming_ready);
  } else if (!strcasecmp(key, "short_read")) {
    return parse_short_read(v, d);
  } else if (!strcasecmp(key, "hang_at")) {
    return parse_count(v, &d->hang_at);
  } else if (!strcasecmp(key, "bus_reset_at")) {
    return parse_count(v, &d->bus_reset_at);
  } else {
    return false;
  }
  return true;
}

// Opens an existing cassette; a missing one is blank and made by the first WRITE.
void open_cassette(const VirtualBus* bus, const char* section, VirtualDrive* d) {
  d->loaded = !d->cassette.empty();
  if (d->cassette.empty()) return;
  d->fd = open(d->cassette.c_str(), O_RDWR | O_CLOEXEC);
  if (d->fd < 0 && (errno == EACCES || errno == EROFS)) {
    d->fd = open(d->cassette.c_str(), O_RDONLY | O_CLOEXEC);
    d->read_only = d->fd >= 0;
  }
  if (d->fd < 0) {
    if (errno == ENOENT) return;
    warn(bus, section, "cannot open cassette %s: no tape in the drive", d->cassette.c_str());
    d->cassette.clear();
    d->loaded = false;
    return;
  }
  struct stat st;
  if (fstat(d->fd, &st) == 0) d->frames = static_cast<uint64_t>(st.st_size) / DAT_FRAME_BYTES;
}

// ---------------------------------------------------------------- frames

bool read_subcode(const VirtualDrive* d, uint64_t index, FrameSubcode* s) {
  uint8_t trailer[kTrailerBytes];
  off_t offset = static_cast<off_t>(index * DAT_FRAME_BYTES + kTrailerOffset);
  if (d->fd < 0 || pread(d->fd, trailer, sizeof trailer, offset) != static_cast<ssize_t>(sizeof trailer))
    return false;
  frame_subcode_parse(trailer, s);
  return true;
}

bool frame_matches(const FrameSubcode& s, int type, const uint8_t* want) {
  switch (type) {
    case AUDIO_SEARCH_PROGRAM:
      return std::memcmp(s.digits, want, 3) == 0;
    case AUDIO_SEARCH_ABSOLUTE:
      return std::memcmp(s.absolute, want, 4) == 0;
    default:
      return std::memcmp(s.program_time, want, 4) == 0;
  }
}

// The first frame that shows the requested position, or the end of data.
uint64_t find_frame(const VirtualDrive* d, int type, const uint8_t* want) {
  if (type == AUDIO_SEARCH_RUNNING) {
    int64_t index = vbus_time_code_to_index(want);
    return index < 0 || static_cast<uint64_t>(index) >= d->frames ? d->frames : static_cast<uint64_t>(index);
  }
  const uint64_t chunk_frames = 64;
  std::vector<uint8_t> chunk(chunk_frames * DAT_FRAME_BYTES);
  for (uint64_t first = 0; first < d->frames; first += chunk_frames) {
    uint64_t count = std::min(chunk_frames, d->frames - first);
    ssize_t got = pread(d->fd, chunk.data(), count * DAT_FRAME_BYTES,
                        static_cast<off_t>(first * DAT_FRAME_BYTES));
    if (got < 0) break;
    uint64_t whole = static_cast<uint64_t>(got) / DAT_FRAME_BYTES;
    for (uint64_t i = 0; i < whole; ++i) {
      FrameSubcode s;
      frame_subcode_parse(chunk.data() + i * DAT_FRAME_BYTES + kTrailerOffset, &s);
      if (frame_matches(s, type, want)) return first + i;
    }
    if (whole < count) break;
  }
  return d->frames;
}


// ---------------------------------------------------------------- commands

uint32_t cdb_length24(const uint8_t* cdb) {
  return static_cast<uint32_t>(cdb[2]) << 16 | static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
}

// Copies data to the host, never more than the block's buffer holds.
void send_to_host(VirtualDrive* d, AspiExecRequest* b, const void* data, size_t bytes) {
  if (!b->data) return;
  d->transferred = static_cast<uint32_t>(std::min<size_t>(bytes, b->data_length));
  std::memcpy(b->data, data, d->transferred);
}

void check(AspiExecRequest* b, uint8_t key, uint8_t asc, uint8_t ascq) { block_finish_check(b, key, asc, ascq); }

void illegal_request(AspiExecRequest* b) { check(b, SENSE_ILLEGAL_REQUEST, 0x24, 0x00); }
void no_medium(AspiExecRequest* b) { check(b, SENSE_NOT_READY, 0x3A, 0x00); }
void not_audio_mode(AspiExecRequest* b) { check(b, SENSE_MEDIUM_ERROR, 0x30, 0x00); }
void end_of_data(AspiExecRequest* b) { check(b, SENSE_BLANK_CHECK, 0x00, 0x05); }

bool tape_in(const VirtualDrive* d) { return d->loaded; }

// Motion that another command needs: an immediate search arrives at once.
void finish_search(VirtualDrive* d) {
  if (!d->searching) return;
  d->searching = false;
  d->position = d->search_to;
}

// A LOCATE or REWIND carried out: the tape winds from the position to the
// frame at search speed and settles there.
void count_locate(VirtualDrive* d, uint64_t to) {
  ++d->locates;
  d->frames_searched += to > d->position ? to - d->position : d->position - to;
}

void count_transfer(VirtualBus* bus) {
  ++bus->transfers;
  if (bus->interrupt_at != 0 && bus->transfers == bus->interrupt_at)
    for (uint32_t i = 0; i < bus->interrupts; ++i) std::raise(SIGINT);
}

// The polls of a wait or a seek: TEST UNIT READY and READ POSITION.
void count_poll(VirtualBus* bus) {
  ++bus->polls;
  if (bus->interrupt_at_poll != 0 && bus->polls == bus->interrupt_at_poll) std::raise(SIGINT);
}

void test_unit_ready(VirtualDrive* d, AspiExecRequest* b) {
  if (d->never_ready) return check(b, SENSE_NOT_READY, 0x04, 0x01);
  if (d->not_ready_left > 0) {
    --d->not_ready_left;
    return check(b, SENSE_NOT_READY, 0x04, 0x01);
  }
  if (!tape_in(d)) return no_medium(b);
  if (d->searching) return check(b, SENSE_NOT_READY, 0x04, 0x01);
  block_finish_good(b);
}

void rewind(VirtualDrive* d, AspiExecRequest* b) {
  if (!tape_in(d)) return no_medium(b);
  d->searching = false;
  count_locate(d, 0);
  d->position = 0;
  block_finish_good(b);
}

const uint64_t kReadAheadFrames = 64;

// What this READ of a flaky frame gives: nullptr for a frame that is not
// flaky or reads well this time, else the entry that misread.
const VirtualDrive::Flaky* misread(VirtualDrive* d, uint64_t index) {
  auto at = std::lower_bound(d->flaky.begin(), d->flaky.end(), index,
                             [](const VirtualDrive::Flaky& f, uint64_t i) { return f.index < i; });
  if (at == d->flaky.end() || at->index != index) return nullptr;
  size_t slot = static_cast<size_t>(at - d->flaky.begin());
  d->flaky_reads.resize(d->flaky.size());
  uint32_t count = ++d->flaky_reads[slot];
  return vbus_draw(d->seed, index, count) < at->probability ? &*at : nullptr;
}

// A damaged copy: both channels flagged for interpolation, samples altered.
void damage(uint8_t* frame, size_t bytes) {
  for (size_t i = 1; i < std::min<size_t>(bytes, DAT_AUDIO_BYTES); i += 7) frame[i] ^= 0x40;
  if (bytes > offsetof(DatFrame, interpolate_flags)) frame[offsetof(DatFrame, interpolate_flags)] |= 0x60;
}

// Where an audio LOCATE to the frame stops: up to locate_slop frames early.
uint64_t locate_stop(VirtualDrive* d, uint64_t target) {
  if (d->locate_slop == 0 || target >= d->frames) return target;
  uint32_t count = 1;
  auto at = std::find_if(d->locates_to.begin(), d->locates_to.end(),
                         [&](const std::pair<uint64_t, uint32_t>& e) { return e.first == target; });
  if (at == d->locates_to.end())
    d->locates_to.push_back({target, 1});
  else
    count = ++at->second;
  // Another stream of draws than the reads': the count is kept apart by its top bit.
  uint64_t early = static_cast<uint64_t>(vbus_draw(d->seed, target, count | 1ull << 63) * (d->locate_slop + 1));
  return target - std::min(early, target);
}

// The frame at index from the read-ahead batch, reading the next batch from
// the file when it is not there; nullptr when the file cannot be read.
const uint8_t* read_ahead_frame(VirtualDrive* d, uint64_t index) {
  if (index < d->read_ahead_first || index >= d->read_ahead_first + d->read_ahead_count) {
    uint64_t count = std::min(kReadAheadFrames, d->frames - index);
    d->read_ahead.resize(kReadAheadFrames * DAT_FRAME_BYTES);
    ssize_t got = pread(d->fd, d->read_ahead.data(), count * DAT_FRAME_BYTES, static_cast<off_t>(index * DAT_FRAME_BYTES));
    d->read_ahead_first = index;
    d->read_ahead_count = got > 0 ? static_cast<uint64_t>(got) / DAT_FRAME_BYTES : 0;
    if (d->read_ahead_count == 0) return nullptr;
  }
  return d->read_ahead.data() + (index - d->read_ahead_first) * DAT_FRAME_BYTES;
}

void read_frame(VirtualBus* bus, VirtualDrive* d, AspiExecRequest* b) {
  count_transfer(bus);
  if (!tape_in(d)) return no_medium(b);
  finish_search(d);
  if (d->density != DENSITY_AUDIO) return not_audio_mode(b);
  if (b->cdb[1] & 0x01) return illegal_request(b);  // fixed-block mode
  uint32_t length = cdb_length24(b->cdb);
  if (length == 0) return block_finish_good(b);
  if (d->position >= d->frames) return end_of_data(b);
  uint64_t index = d->position++;
  ++d->tape_reads;  // a frame that cannot be read passes the head too
  if (std::binary_search(d->read_errors.begin(), d->read_errors.end(), index))
    return check(b, SENSE_MEDIUM_ERROR, 0x11, 0x00);
  const VirtualDrive::Flaky* bad = misread(d, index);
  if (bad && bad->unreadable) return check(b, SENSE_MEDIUM_ERROR, 0x11, 0x00);
  size_t bytes = std::min<size_t>({length, DAT_FRAME_BYTES, b->data ? b->data_length : 0u});
  const uint8_t* frame = read_ahead_frame(d, index);
  if (!frame) return check(b, SENSE_MEDIUM_ERROR, 0x11, 0x00);
  // A transfer cut short on the way moves fewer bytes, and the drive still
  // says GOOD: only the residual shows it.
  if (d->reads == d->short_read_at) bytes = std::min<size_t>(bytes, d->short_read_bytes);
  std::memcpy(b->data, frame, bytes);
  d->transferred = static_cast<uint32_t>(bytes);
  if (bad) damage(static_cast<uint8_t*>(b->data), bytes);
  if (length != DAT_FRAME_BYTES) return check(b, SENSE_NO_SENSE | SENSE_FLAG_ILI, 0x00, 0x00);
  block_finish_good(b);
}

// Writes one frame at the position, all of it or nothing: when the file takes
// only a part (disk full, file-size limit), the cassette is put back as it
// was, so a failed WRITE never leaves a part of a frame on the tape.
bool write_whole_frame(VirtualDrive* d, const void* frame) {
  off_t offset = static_cast<off_t>(d->position * DAT_FRAME_BYTES);
  struct stat st;
  if (fstat(d->fd, &st) != 0) return false;
  uint8_t old[DAT_FRAME_BYTES];
  ssize_t old_bytes = 0;
  if (offset < st.st_size) {
    old_bytes = pread(d->fd, old, sizeof old, offset);
    if (old_bytes < 0) return false;
  }
  ssize_t wrote = pwrite(d->fd, frame, DAT_FRAME_BYTES, offset);
  if (wrote == static_cast<ssize_t>(DAT_FRAME_BYTES)) return true;
  if (wrote > 0) {
    // The bytes written over lie below the point where the write stopped, so
    // putting them back cannot fail for the same reason.
    ssize_t restore = std::min(wrote, old_bytes);
    if (restore > 0 && pwrite(d->fd, old, static_cast<size_t>(restore), offset) != restore)
      say(d->cassette + ": cannot restore a frame after a failed write\n");
    if (ftruncate(d->fd, st.st_size) != 0)
      say(d->cassette + ": cannot cut the file back after a failed write\n");
  }
  return false;
}

void write_frame(VirtualBus* bus, VirtualDrive* d, AspiExecRequest* b) {
  count_transfer(bus);
  if (!tape_in(d)) return no_medium(b);
  finish_search(d);
  ++d->writes;
  if (d->write_protect || d->read_only) return check(b, SENSE_DATA_PROTECT, 0x27, 0x00);
  if (d->density != DENSITY_AUDIO) return not_audio_mode(b);
  uint32_t length = cdb_length24(b->cdb);
  if ((b->cdb[1] & 0x01) || length != DAT_FRAME_BYTES || !b->data || b->data_length < length)
    return illegal_request(b);
  if (d->writes == d->write_error_at) return check(b, SENSE_MEDIUM_ERROR, d->write_error_asc, 0x00);
  if (d->capacity >= 0 && d->position >= static_cast<uint64_t>(d->capacity))
    return check(b, SENSE_VOLUME_OVERFLOW | SENSE_FLAG_EOM, 0x00, 0x02);
  if (d->fd < 0) d->fd = open(d->cassette.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  d->read_ahead_count = 0;  // what was read ahead may be what this write replaces
  if (d->fd < 0 || !write_whole_frame(d, b->data)) return check(b, SENSE_MEDIUM_ERROR, 0x0C, 0x00);
  d->transferred = DAT_FRAME_BYTES;
  ++d->position;
  ++d->tape_writes;
  if (d->position > d->frames) d->frames = d->position;
  block_finish_good(b);
}

void inquiry(VirtualDrive* d, AspiExecRequest* b) {
  if (b->cdb[1] & 0x01) return illegal_request(b);  // vital product data pages
  uint8_t data[kInquiryBytes] = {};
  data[0] = d->device_type;
  data[1] = 0x80;  // removable medium
  data[2] = 0x02;
  data[3] = 0x02;
  data[4] = kInquiryBytes - 5;
  std::memcpy(data + 8, d->vendor, sizeof d->vendor);
  std::memcpy(data + 16, d->product, sizeof d->product);
  std::memcpy(data + 32, d->revision, sizeof d->revision);
  send_to_host(d, b, data, std::min<size_t>(sizeof data, b->cdb[4]));
  block_finish_good(b);
}

void mode_sense(VirtualDrive* d, AspiExecRequest* b) {
  uint8_t page = b->cdb[2] & 0x3F;
  bool no_descriptor = (b->cdb[1] & 0x08) != 0;
  if (page != 0 && page != kModePageMrs && page != kModePageAll) return illegal_request(b);
  uint8_t data[32] = {};
  size_t length = 4;
  data[2] = static_cast<uint8_t>(0x10 | (d->write_protect || d->read_only ? 0x80 : 0x00));
  if (!no_descriptor) {
    data[3] = 8;
    data[4] = d->density;
    length += 8;
  }
  if (page != 0) {
    data[length] = kModePageMrs;
    data[length + 1] = kMrsPageLength;
    data[length + 3] = d->mrs_flags;
    length += 2 + kMrsPageLength;
  }
  data[0] = static_cast<uint8_t>(length - 1);
  send_to_host(d, b, data, std::min<size_t>(length, b->cdb[4]));
  block_finish_good(b);
}

void mode_select(VirtualDrive* d, AspiExecRequest* b) {
  size_t length = std::min<size_t>(b->cdb[4], b->data ? b->data_length : 0u);
  const uint8_t* data = static_cast<const uint8_t*>(b->data);
  d->transferred = static_cast<uint32_t>(length);
  if (length < 4) return block_finish_good(b);
  size_t descriptor = data[3];
  if (descriptor >= 8 && length >= 12 && !d->density_stuck) d->density = data[4];
  for (size_t at = 4 + descriptor; at + 2 <= length; at += 2 + data[at + 1]) {
    if ((data[at] & 0x3F) == kModePageMrs && at + 3 < length) d->mrs_flags = data[at + 3];
  }
  block_finish_good(b);
}

void load_unload(VirtualDrive* d, AspiExecRequest* b) {
  if (d->cassette.empty()) return no_medium(b);
  bool was_loaded = d->loaded;
  d->loaded = (b->cdb[4] & 0x01) != 0;
  d->searching = false;
  d->position = 0;
  if (d->loaded) {
    // Threading the tape takes a while; a cassette put in anew is news to
    // the host at its next command.
    d->threading_left = d->becoming_ready;
    if (!was_loaded && d->unit_attention) d->attention_asc = kAscMediumChanged;
  }
  block_finish_good(b);
}

void locate(VirtualDrive* d, AspiExecRequest* b) {
  if (!tape_in(d)) return no_medium(b);
  d->searching = false;
  const uint8_t* cdb = b->cdb;
  bool immediate = (cdb[1] & 0x01) != 0;
  if (!(cdb[1] & 0x04)) {  // by block number: the frame index
    uint64_t block = static_cast<uint64_t>(cdb[3]) << 24 | cdb[4] << 16 | cdb[5] << 8 | cdb[6];
    count_locate(d, std::min(block, d->frames));
    d->position = std::min(block, d->frames);
    if (block > d->frames) return end_of_data(b);
    return block_finish_good(b);
  }
  if (d->density != DENSITY_AUDIO) return not_audio_mode(b);
  uint64_t target = locate_stop(d, find_frame(d, (cdb[3] >> 5) & 0x03, cdb + 4));
  count_locate(d, target);
  if (immediate && d->search_polls > 0) {
    d->searching = true;
    d->search_from = d->position;
    d->search_to = target;
    d->search_polls_done = 0;
    return block_finish_good(b);
  }
  d->position = target;
  if (!immediate && target >= d->frames) return end_of_data(b);
  block_finish_good(b);
}

void read_position(VirtualDrive* d, AspiExecRequest* b) {
  if (!tape_in(d)) return no_medium(b);
  uint64_t index = d->position;
  if (d->searching) {
    ++d->search_polls_done;
    if (d->search_polls_done <= d->search_polls) {
      // On the way: evenly spaced between where the search began and its end.
      int64_t from = static_cast<int64_t>(d->search_from);
      int64_t span = static_cast<int64_t>(d->search_to) - from;
      index = static_cast<uint64_t>(from + span * d->search_polls_done / (d->search_polls + 1));
    } else {
      finish_search(d);
      index = d->position;
    }
  }
  uint8_t data[AUDIO_POSITION_BYTES] = {};
  if (d->density != DENSITY_AUDIO) {
    data[0] = index == 0 ? 0x80 : 0x00;  // beginning of partition
    for (int i = 0; i < 4; ++i) {
      data[4 + i] = static_cast<uint8_t>(index >> (24 - 8 * i));
      data[8 + i] = data[4 + i];
    }
    send_to_host(d, b, data, sizeof data);
    return block_finish_good(b);
  }
  FrameSubcode s;
  if (index >= d->frames || !read_subcode(d, index, &s)) return end_of_data(b);
  data[0] = index == 0 ? 0x80 : 0x00;
  std::memcpy(data + kPositionProgramDigits, s.digits, 3);
  vbus_index_to_time_code(index, data + kPositionRunningTime);
  std::memcpy(data + kPositionAbsoluteTime, s.absolute, 4);
  std::memcpy(data + kPositionProgramTime, s.program_time, 4);
  send_to_host(d, b, data, sizeof data);
  block_finish_good(b);
}

}  // namespace

double vbus_draw(uint64_t seed, uint64_t frame, uint64_t count) {
  // splitmix64 over the three numbers in turn.
  uint64_t x = seed;
  for (uint64_t part : {frame, count}) {
    x += 0x9E3779B97F4A7C15ull + part;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
  }
  return static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0);
}

void vbus_index_to_time_code(uint64_t index, uint8_t* time_code) { dat_time_code_of_frames(index, time_code); }

int64_t vbus_time_code_to_index(const uint8_t* time_code) { return dat_frames_of_time_code(time_code); }

void vbus_say(const std::string& text) {
  if (g_message_sink)
    g_message_sink(text.c_str(), g_message_context);
  else
    std::fputs(text.c_str(), stderr);
}

void vbus_set_message_sink(ASPI32MessageSink sink, void* context) {
  g_message_sink = sink;
  g_message_context = context;
}

int vbus_load(const char* path, VirtualBus* bus) {
  vbus_close(bus);
  *bus = VirtualBus();
  bus->path = path;
  IniDocument doc;
  if (ini_load(path, &doc) != 0) {
    say(formatted("%s: cannot read the bus file: %s\n", path, std::strerror(errno)));
    return -1;
  }
  for (const IniSection& section : doc.sections) {
    const char* name = section.name.c_str();
    if (!strcasecmp(name, "bus")) {
      for (const IniEntry& e : section.entries) {
        uint64_t n;
        if (!strcasecmp(e.key.c_str(), "interrupt_at") && parse_unsigned(e.value, &n) && n <= UINT32_MAX)
          bus->interrupt_at = static_cast<uint32_t>(n);
        else if (!strcasecmp(e.key.c_str(), "interrupts") && parse_unsigned(e.value, &n) && n >= 1 && n <= 2)
          bus->interrupts = static_cast<uint32_t>(n);
        else if (!strcasecmp(e.key.c_str(), "interrupt_at_poll") && parse_unsigned(e.value, &n) && n <= UINT32_MAX)
          bus->interrupt_at_poll = static_cast<uint32_t>(n);
        else if (!strcasecmp(e.key.c_str(), "stats") && !e.value.empty())
          bus->stats = bus_path(bus, e.value);
        else if (!strcasecmp(e.key.c_str(), "transport") && (!strcasecmp(e.value.c_str(), "sg") || !strcasecmp(e.value.c_str(), "direct")))
          bus->sg_transport = !strcasecmp(e.value.c_str(), "sg");
        else
          warn(bus, name, "key %s not understood", e.key.c_str());
      }
      continue;
    }
    int adapter = -1, target = -1;
    char extra;
    if (std::sscanf(name, "%d:%d%c", &adapter, &target, &extra) != 2 || adapter < 0 || adapter > 255 ||
        target < 0 || target > 255) {
      warn(bus, name, "%s", "not an ADAPTER:TARGET address; section passed over");
      continue;
    }
    if (vbus_find(bus, static_cast<uint8_t>(adapter), static_cast<uint8_t>(target), 0)) {
      warn(bus, name, "%s", "listed twice; the first one counts");
      continue;
    }
    VirtualDrive d;
    d.adapter = static_cast<uint8_t>(adapter);
    d.target = static_cast<uint8_t>(target);
    pad_copy(d.vendor, sizeof d.vendor, "SONY");
    pad_copy(d.product, sizeof d.product, "SDT-9000");
    pad_copy(d.revision, sizeof d.revision, "1.13");
    for (const IniEntry& e : section.entries)
      if (!apply_key(bus, e, &d)) warn(bus, name, "key %s or its value not understood; passed over", e.key.c_str());
    if (!d.replay.empty()) {
      std::string why;
      if (trace_read_file(d.replay, d.adapter, d.target, 0, &d.replay_records, &why) != 0)
        warn(bus, name, "cannot replay %s: every command will fail", (d.replay + ": " + why).c_str());
      d.cassette.clear();
    }
    open_cassette(bus, name, &d);
    d.threading_left = d.becoming_ready;
    bus->drives.push_back(std::move(d));
    bus->adapter_count = std::max(bus->adapter_count, adapter + 1);
  }
  return 0;
}

namespace {

// Whether fd is the file that path names now.
bool is_file_at(int fd, const std::string& path) {
  struct stat open_file {}, named {};
  return fstat(fd, &open_file) == 0 && stat(path.c_str(), &named) == 0 && open_file.st_dev == named.st_dev &&
         open_file.st_ino == named.st_ino;
}

// Opens the cassette for the claim: as it is, or made empty when missing.
void open_for_claim(VirtualDrive* d) {
  d->fd = open(d->cassette.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (d->fd >= 0) {
    d->made_by_claim = true;
    d->read_only = false;
    return;
  }
  d->fd = open(d->cassette.c_str(), O_RDWR | O_CLOEXEC);
  d->read_only = false;
  if (d->fd < 0 && (errno == EACCES || errno == EROFS)) {
    d->fd = open(d->cassette.c_str(), O_RDONLY | O_CLOEXEC);
    d->read_only = d->fd >= 0;
  }
}

const int kClaimAttempts = 3;

}  // namespace

int vbus_claim(VirtualBus* bus, VirtualDrive* d) {
  if (d->claimed || d->cassette.empty()) return 0;
  for (VirtualDrive& other : bus->drives) {
    if (&other != d && other.claimed && other.fd >= 0 && is_file_at(other.fd, d->cassette)) {
      d->claimed = true;
      return 0;
    }
  }
  for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
    if (d->fd < 0) open_for_claim(d);
    // A cassette that cannot be opened, nor made (a folder without write
    // permission), is a blank nobody can write: there is nothing to guard.
    if (d->fd < 0) {
      d->claimed = true;
      return 0;
    }
    if (flock(d->fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return -1;
      // A file system without locks: the drive is used unguarded, as before.
      d->claimed = true;
      return 0;
    }
    // Removed or replaced between the open and the lock: the lock is on a
    // file no one else will open. Once more with the file that is there.
    if (is_file_at(d->fd, d->cassette)) {
      // What the tape holds now, which another run may have changed since
      // the bus was loaded.
      struct stat st {};
      if (fstat(d->fd, &st) == 0) d->frames = static_cast<uint64_t>(st.st_size) / DAT_FRAME_BYTES;
      d->read_ahead_count = 0;
      d->claimed = true;
      return 0;
    }
    close(d->fd);
    d->fd = -1;
    d->made_by_claim = false;
  }
  return -1;
}

VirtualDrive* vbus_find(VirtualBus* bus, uint8_t adapter, uint8_t target, uint8_t lun) {
  if (lun != 0) return nullptr;
  for (VirtualDrive& d : bus->drives)
    if (d.adapter == adapter && d.target == target) return &d;
  return nullptr;
}

namespace {

void dispatch(VirtualBus* bus, VirtualDrive* d, AspiExecRequest* b) {
  switch (b->cdb[0]) {
    case SCSI_OP_TEST_UNIT_READY: return count_poll(bus), test_unit_ready(d, b);
    case SCSI_OP_REWIND: return rewind(d, b);
    case SCSI_OP_READ_6: return read_frame(bus, d, b);
    case SCSI_OP_WRITE_6: return write_frame(bus, d, b);
    case SCSI_OP_INQUIRY: return inquiry(d, b);
    case SCSI_OP_MODE_SELECT_6: return mode_select(d, b);
    case SCSI_OP_MODE_SENSE_6: return mode_sense(d, b);
    case SCSI_OP_LOAD_UNLOAD: return load_unload(d, b);
    case SCSI_OP_LOCATE_10: return locate(d, b);
    case SCSI_OP_READ_POSITION: return count_poll(bus), read_position(d, b);
    default: return check(b, SENSE_ILLEGAL_REQUEST, 0x20, 0x00);
  }
}

// A command that got no answer: it timed out, or a bus reset cut it off.
void no_answer(VirtualBus* bus, AspiExecRequest* b, VbusEnd end) {
  std::memset(b->sense, 0, sizeof b->sense);
  b->target_status = 0;
  b->host_status = end == VBUS_RESET ? HOST_STATUS_RESET : 0;
  b->status = end == VBUS_RESET ? ASPI_STATUS_ABORTED : ASPI_STATUS_PENDING;
  bus->last_end = end;
}

// What a real drive does before it looks at a command: nothing at all once
// it has stopped answering; a READ that meets a hang or a bus reset; a
// pending UNIT ATTENTION; NOT READY while it threads the tape. INQUIRY is
// answered through the last two, as the standard has it. false when the
// command ends here.
bool real_drive_gate(VirtualBus* bus, VirtualDrive* d, AspiExecRequest* b) {
  if (d->hung) return no_answer(bus, b, VBUS_TIMED_OUT), false;
  if (b->cdb[0] == SCSI_OP_READ_6) {
    ++d->reads;
    if (d->reads == d->hang_at) {
      d->hung = true;
      return no_answer(bus, b, VBUS_TIMED_OUT), false;
    }
    if (d->reads == d->bus_reset_at) {
      // The reset stops the transport: the drive goes back to the
      // beginning of the tape and says so at the next command.
      d->searching = false;
      d->position = 0;
      d->attention_asc = kAscPowerOn;
      return no_answer(bus, b, VBUS_RESET), false;
    }
  }
  if (b->cdb[0] == SCSI_OP_INQUIRY) return true;
  if (d->attention_asc != 0) {
    uint8_t asc = d->attention_asc;
    d->attention_asc = 0;
    return check(b, SENSE_UNIT_ATTENTION, asc, 0x00), false;
  }
  if (tape_in(d) && d->threading_left > 0) {
    --d->threading_left;
    return check(b, SENSE_NOT_READY, 0x04, 0x01), false;
  }
  return true;
}

const uint32_t kReplayReports = 5;

// A replaying drive: the next recorded command of its address answers, when
// the block asks just that; anything else fails and is reported.
void replay(VirtualBus* bus, VirtualDrive* d, AspiExecRequest* b) {
  std::string why;
  if (d->replay_next >= d->replay_records.size())
    why = "expected the end of the trace, got " +
          trace_command_text(b->cdb, b->cdb_length, trace_direction(b), trace_direction(b) ? b->data_length : 0);
  else
    why = trace_difference(d->replay_records[d->replay_next], b);
  if (why.empty()) {
    const TraceRecord& r = d->replay_records[d->replay_next];
    if (trace_answer(r, b, &why) == 0) {
      ++d->replay_next;
      bus->last.resid = r.resid;
      return;
    }
  }
  if (++d->replay_reported <= kReplayReports)
    say(formatted("%s: replay at %u:%u:0, command %zu: %s\n", d->replay.c_str(), d->adapter, d->target,
                  d->replay_next + 1, why.c_str()));
  if (d->replay_reported == kReplayReports) say(d->replay + ": further commands that do not match are not reported\n");
  std::memset(b->sense, 0, sizeof b->sense);
  b->target_status = 0;
  b->host_status = 0;
  b->status = ASPI_STATUS_ERROR;
}

}  // namespace

void vbus_execute(VirtualBus* bus, AspiExecRequest* b) {
  bus->last = TransportOutcome();
  bus->last_end = VBUS_ANSWERED;
  bool has_data = b->data && b->data_length > 0;
  bus->last.resid = has_data ? static_cast<int32_t>(b->data_length) : 0;
  VirtualDrive* d = vbus_find(bus, b->adapter, b->target, b->lun);
  if (!d) {
    b->status = ASPI_STATUS_NO_DEVICE;
    return;
  }
  if (!d->replay.empty()) return replay(bus, d, b);
  if (vbus_claim(bus, d) != 0) {
    b->status = ASPI_STATUS_IN_USE;
    return;
  }
  d->transferred = 0;
  if (!real_drive_gate(bus, d, b)) return;
  uint64_t searched = d->frames_searched, locates = d->locates;
  dispatch(bus, d, b);
  // REWIND and LOCATE take the time the transport needs; longer than the
  // caller waits, and the command has timed out (the tape still gets there).
  if (d->locates != locates && b->timeout_ms != 0) {
    double seconds = static_cast<double>(d->frames_searched - searched) * kFrameSeconds / d->search_speed +
                     d->locate_seconds;
    if (seconds * 1000 > b->timeout_ms) return no_answer(bus, b, VBUS_TIMED_OUT);
  }
  if (has_data) bus->last.resid = static_cast<int32_t>(b->data_length - std::min(d->transferred, b->data_length));
}

void vbus_close(VirtualBus* bus) {
  for (VirtualDrive& d : bus->drives) {
    struct stat st {};
    // Still under the lock: the empty file this claim made goes, unless
    // another has taken its name meanwhile.
    if (d.fd >= 0 && d.made_by_claim && fstat(d.fd, &st) == 0 && st.st_size == 0 && is_file_at(d.fd, d.cassette))
      unlink(d.cassette.c_str());
    if (d.fd >= 0) close(d.fd);
    d.fd = -1;
    d.claimed = false;
    d.made_by_claim = false;
  }
}

double vdrive_seconds(const VirtualDrive* d) {
  double transfers = static_cast<double>(d->tape_reads + d->tape_writes) * kFrameSeconds / d->speed;
  double search = static_cast<double>(d->frames_searched) * kFrameSeconds / d->search_speed;
  return transfers + search + static_cast<double>(d->locates) * d->locate_seconds;
}

int vbus_write_stats(const VirtualBus* bus) {
  if (bus->stats.empty()) return 0;
  std::string json = "{\"drives\": [";
  for (size_t i = 0; i < bus->drives.size(); ++i) {
    const VirtualDrive& d = bus->drives[i];
    json += formatted("%s\n  {\"address\": \"%u:%u\", \"reads\": %llu, \"writes\": %llu, \"locates\": %llu, "
                      "\"frames_searched\": %llu, \"drive_seconds\": %.3f, \"loaded\": %s, \"density\": %u}",
                      i == 0 ? "" : ",", d.adapter, d.target, static_cast<unsigned long long>(d.tape_reads),
                      static_cast<unsigned long long>(d.tape_writes), static_cast<unsigned long long>(d.locates),
                      static_cast<unsigned long long>(d.frames_searched), vdrive_seconds(&d),
                      d.loaded ? "true" : "false", d.density);
  }
  json += bus->drives.empty() ? "]}\n" : "\n]}\n";

  std::string temporary = formatted("%s.%ld.tmp", bus->stats.c_str(), static_cast<long>(getpid()));
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  bool written = fd >= 0;
  for (size_t done = 0; written && done < json.size();) {
    ssize_t n = write(fd, json.data() + done, json.size() - done);
    written = n > 0 || (n < 0 && errno == EINTR);
    if (n > 0) done += static_cast<size_t>(n);
  }
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary.c_str(), bus->stats.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (written) return 0;
  if (fd >= 0) unlink(temporary.c_str());
  say(formatted("%s: cannot write the stats file: %s\n", bus->stats.c_str(), std::strerror(error)));
  return -1;
}
