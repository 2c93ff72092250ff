// SPDX-License-Identifier: MIT
#include "datframe/rescue_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "base/dat_format.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "platform/clock.h"

namespace {

const char* const kStateNames[] = {"good", "flagged-left", "flagged-right", "flagged-both", "unreadable"};
const char kNotRead[] = "not-yet-read";

std::string time_text(int64_t time) {
  if (time < 0) return "-";
  char text[16];
  dat_frames_text(static_cast<uint64_t>(time), text, sizeof text);
  return text;
}

// "hh:mm:ss:ff" as frames; -1 for "-"; -2 when it is neither.
int64_t parse_time(const std::string& text) {
  if (text == "-") return -1;
  unsigned v[4];
  char extra = 0;
  if (std::sscanf(text.c_str(), "%2u:%2u:%2u:%2u%c", &v[0], &v[1], &v[2], &v[3], &extra) != 4) return -2;
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>((v[i] / 10) << 4 | (v[i] % 10));
  int64_t frames = dat_frames_of_time_code(bytes);
  return frames < 0 ? -2 : frames;
}

std::string passes_text(uint32_t bits) {
  std::string text;
  for (int p = 0; p < MAP_MOST_PASSES; ++p)
    if (bits >> p & 1) {
      if (!text.empty()) text += ',';
      text += std::to_string(p + 1);
    }
  return text.empty() ? "-" : text;
}

bool parse_passes(const std::string& text, uint32_t* bits) {
  *bits = 0;
  if (text == "-") return true;
  std::istringstream in(text);
  std::string number;
  while (std::getline(in, number, ',')) {
    char* end = nullptr;
    long p = std::strtol(number.c_str(), &end, 10);
    if (number.empty() || *end || p < 1 || p > MAP_MOST_PASSES) return false;
    *bits |= 1u << (p - 1);
  }
  return true;
}

// Whether b goes on the stretch that a ends: the same state, reads and
// passes, and the time after a's (or no time after none).
bool same_stretch(const MapRecord& a, const MapRecord& b) {
  bool times_go_on = a.time < 0 ? b.time < 0 : b.time == a.time + 1;
  return times_go_on && a.state == b.state && a.reads == b.reads && a.seen == b.seen && a.damaged == b.damaged;
}

std::string map_text(const RescueMap* map) {
  std::string out = "# kestrel rescue map: one line per stretch of image records in the same state\n";
  out += "map 1\n";
  out += "tape " + (map->tape.empty() ? std::string("-") : map->tape) + "\n";
  out += std::string("dump ") + (map->finished ? "finished" : "unfinished") + "\n";
  for (size_t p = 0; p < map->passes.size(); ++p) {
    const MapPass& pass = map->passes[p];
    out += "pass " + std::to_string(p + 1) + " " + pass.kind + " " + pass.date + " " + pass.drive + "\n";
  }
  out += "# first count time state reads passes damaged-on\n";
  const std::vector<MapRecord>& r = map->records;
  for (size_t first = 0; first < r.size();) {
    size_t end = first + 1;
    while (end < r.size() && same_stretch(r[end - 1], r[end])) ++end;
    const MapRecord& m = r[first];
    char line[160];
    std::snprintf(line, sizeof line, "%zu %zu %s %s %u %s %s\n", first, end - first, time_text(m.time).c_str(),
                  map_state_name(m.state), static_cast<unsigned>(m.reads), passes_text(m.seen).c_str(),
                  passes_text(m.damaged).c_str());
    out += line;
    first = end;
  }
  if (!map->finished) out += std::to_string(r.size()) + " * - " + kNotRead + " 0 - -\n";
  out += "end " + std::to_string(r.size()) + "\n";
  return out;
}

bool fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

bool parse_map(std::istream& in, RescueMap* map, std::string* why) {
  *map = RescueMap{};
  std::string line;
  bool version = false, ended = false, not_read = false;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    std::string at = "line " + std::to_string(lineno) + ": ";
    if (line.empty() || line[0] == '#') continue;
    if (ended) return fail(why, at + "text after the end");
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "map") {
      int v = 0;
      if (!(words >> v) || v != 1) return fail(why, at + "not a map of this kind");
      version = true;
    } else if (!version) {
      return fail(why, "not a rescue map");
    } else if (key == "tape") {
      std::getline(words >> std::ws, map->tape);
      if (map->tape == "-") map->tape.clear();
    } else if (key == "dump") {
      std::string state;
      words >> state;
      if (state != "finished" && state != "unfinished") return fail(why, at + "dump is finished or unfinished");
      map->finished = state == "finished";
    } else if (key == "pass") {
      size_t number = 0;
      MapPass pass;
      if (!(words >> number >> pass.kind >> pass.date) || number != map->passes.size() + 1)
        return fail(why, at + "a pass out of order");
      std::getline(words >> std::ws, pass.drive);
      map->passes.push_back(pass);
    } else if (key == "end") {
      size_t count = 0;
      if (!(words >> count) || count != map->records.size()) return fail(why, at + "the end does not match the records");
      ended = true;
    } else {
      size_t first = 0, count = 0;
      char* end = nullptr;
      first = std::strtoull(key.c_str(), &end, 10);
      std::string count_text, time, state, passes, damaged;
      unsigned reads = 0;
      if (key.empty() || *end || !(words >> count_text >> time >> state >> reads >> passes >> damaged))
        return fail(why, at + "not a stretch");
      if (first != map->records.size() || not_read) return fail(why, at + "a stretch out of order");
      if (state == kNotRead) {
        not_read = true;
        continue;
      }
      count = std::strtoull(count_text.c_str(), &end, 10);
      MapRecord m{};
      m.time = parse_time(time);
      m.reads = static_cast<uint16_t>(reads);
      for (uint8_t s = 0; s <= MAP_UNREADABLE; ++s)
        if (state == kStateNames[s]) m.state = s, state.clear();
      if (count == 0 || *end || m.time == -2 || !state.empty() || !parse_passes(passes, &m.seen) ||
          !parse_passes(damaged, &m.damaged) || count > (size_t{1} << 28))
        return fail(why, at + "not a stretch");
      for (size_t i = 0; i < count; ++i) {
        map->records.push_back(m);
        if (m.time >= 0) ++m.time;
      }
    }
  }
  if (!ended) return fail(why, "the map ends before its end line");
  if (map->finished == not_read) return fail(why, "the dump's state does not match its stretches");
  return true;
}

}  // namespace

MapState map_state_of(const DatFrame* record) {
  if (frame_is_stand_in(record)) return MAP_UNREADABLE;
  uint32_t flags = record->interpolate_flags;
  if (flags == 0) return MAP_GOOD;
  if (flags == 0x40) return MAP_LEFT;
  if (flags == 0x20) return MAP_RIGHT;
  return MAP_BOTH;
}

const char* map_state_name(uint8_t state) { return state <= MAP_UNREADABLE ? kStateNames[state] : "?"; }

std::string rescue_map_path(const std::string& image_path) {
  size_t n = image_path.size();
  if (n > 4 && image_path.compare(n - 4, 4, ".img") == 0) return image_path.substr(0, n - 4) + ".map";
  return image_path + ".map";
}

int rescue_map_add_pass(RescueMap* map, const char* kind, const char* drive) {
  if (map->passes.size() >= MAP_MOST_PASSES) return 0;
  char date[32];
  std::time_t now = static_cast<std::time_t>(platform_time_s());
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", &utc);
  map->passes.push_back(MapPass{kind, date, drive && *drive ? drive : "-"});
  return static_cast<int>(map->passes.size());
}

namespace {

// A record's state from what it keeps, its reads counted on, and whether the
// pass saw it damaged.
void note_read(MapRecord* m, const DatFrame* kept, int reads, bool damaged, int pass) {
  m->state = map_state_of(kept);
  uint32_t total = m->reads + static_cast<uint32_t>(reads > 0 ? reads : 0);
  m->reads = static_cast<uint16_t>(total > 0xFFFF ? 0xFFFF : total);
  if (pass < 1 || pass > MAP_MOST_PASSES) return;
  uint32_t bit = 1u << (pass - 1);
  m->seen |= bit;
  if (damaged)
    m->damaged |= bit;
  else
    m->damaged &= ~bit;
}

}  // namespace

void rescue_map_take(RescueMap* map, size_t index, const DatFrame* record, int reads, int pass) {
  if (index > map->records.size()) return;
  if (index == map->records.size()) map->records.push_back(MapRecord{-1, MAP_GOOD, 0, 0, 0});
  MapRecord& m = map->records[index];
  FrameInfo info = decode_frame(record);
  m.time = frame_key(&info).time;
  note_read(&m, record, reads, map_state_damaged(map_state_of(record)), pass);
}

void rescue_map_read_again(RescueMap* map, size_t index, const DatFrame* copy, const DatFrame* kept, int pass) {
  if (index >= map->records.size()) return;
  bool damaged = !copy || map_state_damaged(map_state_of(copy));
  MapRecord& m = map->records[index];
  // A pass that saw it once clean keeps it clean for that pass.
  if (pass >= 1 && pass <= MAP_MOST_PASSES && (m.seen >> (pass - 1) & 1) && !(m.damaged >> (pass - 1) & 1)) damaged = false;
  note_read(&m, kept, 1, damaged, pass);
}

void rescue_map_name_tape(RescueMap* map) {
  if (!map->tape.empty()) return;
  for (const MapRecord& m : map->records)
    if (m.time >= 0) {
      map->tape = "first-time " + time_text(m.time);
      return;
    }
}

int rescue_map_write(const RescueMap* map, const std::string& path) {
  std::string text = map_text(map);
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = 0;
  for (size_t done = 0; done < text.size() && !error;) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (!error && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (!error && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error) {
    ::unlink(temp.c_str());
    return error;
  }
  // The rename itself reaches the disk with the folder.
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return 0;
}

int rescue_map_read(const std::string& path, RescueMap* map, std::string* why) {
  if (::access(path.c_str(), F_OK) != 0) return errno;
  std::ifstream in(path);
  if (!in) return errno ? errno : EIO;
  if (!parse_map(in, map, why)) return EINVAL;
  if (in.bad()) return EIO;
  return 0;
}

size_t rescue_map_next_damaged(const RescueMap* map, size_t from) {
  while (from < map->records.size() && !map_state_damaged(map->records[from].state)) ++from;
  return from;
}

MapDamageClass rescue_map_class(const MapRecord* m) {
  if (m->damaged == 0) return MAP_UNDAMAGED;
  if (__builtin_popcount(m->seen) < 2) return MAP_ONE_PASS;
  return m->damaged == m->seen ? MAP_TAPES : MAP_DRIVES;
}

MapDamage rescue_map_damage(const RescueMap* map) {
  MapDamage out;
  out.per_pass.assign(map->passes.size(), 0);
  std::vector<uint32_t> drive_passes;  // per drive, its passes' bits
  for (size_t p = 0; p < map->passes.size(); ++p) {
    size_t d = 0;
    while (d < out.per_drive.size() && out.per_drive[d].first != map->passes[p].drive) ++d;
    if (d == out.per_drive.size()) {
      out.per_drive.push_back({map->passes[p].drive, 0});
      drive_passes.push_back(0);
    }
    drive_passes[d] |= 1u << p;
  }
  for (const MapRecord& m : map->records) {
    switch (rescue_map_class(&m)) {
      case MAP_TAPES: ++out.tapes; break;
      case MAP_DRIVES: ++out.drives; break;
      case MAP_ONE_PASS: ++out.one_pass; break;
      case MAP_UNDAMAGED: break;
    }
    for (size_t p = 0; p < out.per_pass.size(); ++p) out.per_pass[p] += m.damaged >> p & 1;
    for (size_t d = 0; d < drive_passes.size(); ++d) out.per_drive[d].second += (m.damaged & drive_passes[d]) ? 1 : 0;
  }
  return out;
}
