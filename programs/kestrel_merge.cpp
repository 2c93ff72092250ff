// SPDX-License-Identifier: MIT
// kestrel-merge OUT.img IN.img IN.img...: one image of a tape from several
// images of it (passes, drives, copies). The records are aligned by absolute
// time and program number, so images may begin at different frames and one
// may lack a stretch another has; of every frame the best copy is written,
// every frame of the tape once, in tape order. The times are read as the
// continuity check reads them: a repeated frame, a stray one and a skipped
// stretch are events on the way, and where the time falls back and runs on
// (a recording that starts over) a section begins, found again on the other
// images by the frames it shares with them. OUT.json lists every frame whose
// copies disagreed and which was kept. An input's map (IN.map beside IN.img)
// comes with it: OUT.map lists the passes of every input and, per frame, what
// they all saw of it (an input without a map counts as one pass).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "datframe/dat_frame.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "datframe/image_records.h"
#include "datframe/rescue_map.h"
#include "platform/same_file.h"
#include "report/text.h"

namespace {

const char* const kRankNames[] = {"unreadable", "both channels flagged", "one channel flagged", "clean"};
const long kProgressEvery = 2000;

// Ctrl-C or SIGTERM: the merge stops at the next frame and leaves nothing behind.
volatile std::sig_atomic_t g_interrupted = 0;
void on_interrupt(int) { g_interrupted = 1; }

// One record of an input: where it lies and how good it is.
struct Record {
  int64_t time;     // the absolute time it carries, else the one its place gives it (-1: none)
  int64_t slot;     // its place in its section
  uint64_t print;   // a fingerprint of its audio
  int32_t section;  // its section: the input's own, then the merged image's place of it
  int16_t program;  // sub-ID program number (12-bit BCD)
  int8_t rank;
  uint8_t in_order : 1;  // its time is its place (it carries one, in the order of the times)
  uint8_t blank : 1;     // it carries no subcode pack (blank tape)
};
// Images of a whole tape hold hundreds of thousands of records.
static_assert(sizeof(Record) == 32);

// Records without a time of their own in the run around them (none, a stray
// frame, a repeated one) share the slot of the in-order one before, each a
// step further, when the times around them leave no room for them (a blank
// stretch, which the absolute time does not count; a frame put in between).
const int kOrderShift = 20;
// How far ahead of a frame out of order the times are looked at to tell a
// stray frame from the first of a run that goes on from it: timed frames,
// frames in all, and frames out of order in a row told apart.
const size_t kLookahead = 64;
const size_t kLookaheadRecords = 4096;
const size_t kOddRow = 8;
const size_t kNone = static_cast<size_t>(-1);

// A stretch of an input whose times run on: a recording. A tape on which a
// recording starts over (its time falls back, as where a re-recorded
// cassette's older recording follows the new lead-out) has two.
struct Section {
  size_t first_record;
  std::vector<std::pair<int64_t, uint64_t>> keys;  // time and program of its in-order frames, and their prints
};

struct Input {
  std::string path;
  FILE* file = nullptr;
  std::vector<Record> records;
  std::vector<Section> sections;
  std::vector<int> merged_section;  // of each section: the merged image's section
  size_t next = 0;       // the first record not yet merged
  long long supplied = 0;
  long long repeated = 0, stray = 0, skipped = 0;  // what the times showed
  bool mapped = false;  // its map lay beside it
  RescueMap map;
  int first_pass = 0;  // its passes are the output map's first_pass + 1 on
};

// A copy of one output frame: which input and which of its records.
struct Copy {
  size_t input;
  size_t record;
};

std::string time_text(int64_t time) {
  if (time < 0) return "--:--:--:--";
  char text[16];
  dat_frames_text(static_cast<uint64_t>(time), text, sizeof text);
  return text;
}

// A fingerprint of a frame's audio: every eighth word of it.
uint64_t audio_print(const DatFrame& frame) {
  uint64_t print = 1469598103934665603ull;
  for (size_t at = 0; at + 8 <= DAT_AUDIO_BYTES; at += 64) {
    uint64_t word;
    std::memcpy(&word, frame.audio + at, sizeof word);
    print = (print ^ word) * 1099511628211ull;
  }
  return print;
}

// k's time follows p's as the frames between them allow: later, and by no
// more than their count (frames of blank tape do not move the time on).
bool follows(const std::vector<Record>& r, size_t p, size_t k) {
  return r[p].time < r[k].time && r[k].time - r[p].time <= static_cast<int64_t>(k - p);
}

// Whether the times run on from record i, which does not follow the last
// in-order record (anchor): true when the frames after it follow it (a
// skipped stretch, or a recording that starts over), false when they follow
// the anchor or a later frame out of order (i is a stray or a repeated
// frame). When the input ends before anything tells, i is taken for a frame
// put in after the anchor; when the frames after it tell nothing for long,
// for the first of a run.
bool run_begins(const std::vector<Record>& r, size_t anchor, size_t i) {
  size_t row[kOddRow];
  size_t odd = 0;
  row[odd++] = i;
  size_t timed = 0;
  for (size_t k = i + 1; k < r.size(); ++k) {
    if (k - i > kLookaheadRecords || timed == kLookahead) return true;
    if (r[k].time < 0) continue;
    ++timed;
    if (follows(r, anchor, k)) return false;
    for (size_t m = odd; m-- > 0;)
      if (follows(r, row[m], k)) return m == 0;
    if (odd == kOddRow) return true;
    row[odd++] = k;
  }
  return false;
}

// Tells each timed record whether it is in the order of the times, and where
// a run and a section begin.
void find_order(Input* in) {
  std::vector<Record>& r = in->records;
  size_t anchor = kNone;
  int32_t section = 0;
  for (size_t i = 0; i < r.size(); ++i) {
    if (r[i].time >= 0) {
      // An input's first timed record begins a run: where its tape or its
      // dump began.
      if (anchor == kNone || follows(r, anchor, i)) {
        r[i].in_order = 1;
      } else if (!run_begins(r, anchor, i)) {
        if (r[i].time == r[anchor].time)
          ++in->repeated;
        else
          ++in->stray;
      } else {
        r[i].in_order = 1;
        if (r[i].time <= r[anchor].time)
          ++section;  // the time falls back: a recording that starts over
        else
          ++in->skipped;
      }
      if (r[i].in_order) anchor = i;
    }
    r[i].section = section;
  }
}

// Gives every record its slot: an in-order one its time, the others theirs
// from the in-order records around them.
void place_records(Input* in) {
  std::vector<Record>& r = in->records;
  size_t before = kNone;
  for (size_t i = 0; i < r.size(); ++i) {
    if (!r[i].in_order) continue;
    r[i].slot = r[i].time << kOrderShift;
    if (before == kNone) {
      for (size_t k = i; k-- > 0;) r[k].slot = r[k + 1].slot - (int64_t{1} << kOrderShift);
    } else {
      // The times around them leave exactly their room (a frame whose time
      // pack was damaged): each takes the time of its place.
      bool room = r[i].section == r[before].section &&
                  r[i].time - r[before].time == static_cast<int64_t>(i - before);
      for (size_t k = before + 1; k < i; ++k) {
        int64_t step = static_cast<int64_t>(k - before);
        r[k].slot = room ? (r[before].time + step) << kOrderShift : r[before].slot + step;
        if (room) r[k].time = r[before].time + step;
      }
    }
    if (in->sections.size() <= static_cast<size_t>(r[i].section)) in->sections.push_back(Section{i, {}});
    if (r[i].rank > COPY_UNREADABLE) in->sections.back().keys.push_back({r[i].time << 16 | r[i].program, r[i].print});
    before = i;
  }
  // After the last in-order record a frame whose time pack was lost takes
  // the time after the place before it; blank tape, which does not move the
  // time on, and frames out of order follow in the slot before them (as they
  // do where an image that goes on has them before its next timed frame).
  int64_t time = r[before].time;
  for (size_t k = before + 1; k < r.size(); ++k) {
    if (r[k].time < 0 && !r[k].blank) {
      ++time;
      r[k].slot = time << kOrderShift;
      r[k].time = time;
    } else {
      r[k].slot = r[k - 1].slot + 1;
    }
  }
}

// The time of the last in-order record before record first.
int64_t last_in_order_time(const Input& in, size_t first) {
  for (size_t k = first; k-- > 0;)
    if (in.records[k].in_order) return in.records[k].time;
  return -1;
}

// Reads an input's records and gives each its place. false after a message.
bool scan_input(Input* in) {
  in->file = std::fopen(in->path.c_str(), "rb");
  if (!in->file) {
    std::fprintf(stderr, "kestrel-merge: cannot open %s: %s\n", in->path.c_str(), std::strerror(errno));
    return false;
  }
  DatFrame frame;
  ImageRecordRead got;
  while ((got = image_record_read(in->file, &frame)).outcome == IMAGE_RECORD_WHOLE) {
    if (g_interrupted) {
      std::fprintf(stderr, "kestrel-merge: interrupted while reading %s: nothing written\n", in->path.c_str());
      return false;
    }
    FrameInfo info = decode_frame(&frame);
    FrameKey key = frame_key(&info);
    Record record{key.time, 0, audio_print(frame), 0, static_cast<int16_t>(info.sub_id_program),
                  static_cast<int8_t>(record_rank(&frame)), 0, 0};
    // A stand-in for a frame that could not be read takes a place on the
    // tape as any frame does, also one that knows no time to carry.
    record.blank = info.has_packs || record.rank == COPY_UNREADABLE ? 0 : 1;
    in->records.push_back(record);
  }
  if (got.outcome == IMAGE_RECORD_FAILED) {
    std::fprintf(stderr, "kestrel-merge: cannot read %s: %s\n", in->path.c_str(), std::strerror(errno));
    return false;
  }
  if (got.outcome == IMAGE_RECORD_CUT_SHORT)
    std::fprintf(stderr, "kestrel-merge: %s ends in a part of a record (%zu bytes): passed over\n", in->path.c_str(),
                 got.bytes);
  if (in->records.empty()) return true;
  find_order(in);
  bool timed = false;
  for (const Record& record : in->records) timed = timed || record.in_order;
  if (!timed) {
    std::fprintf(stderr, "kestrel-merge: %s: no record carries a valid absolute time: it cannot be aligned\n",
                 in->path.c_str());
    return false;
  }
  place_records(in);
  return true;
}

// The sections of the merged image, in tape order, each with the keys of the
// inputs' sections that were found to be it.
struct Merged {
  std::vector<std::vector<std::pair<int64_t, uint64_t>>> keys;  // of each section, by number
  std::vector<int> order;                                        // the section numbers in tape order
};

// How many frames two sections share: by key, and of those, by audio too.
std::pair<long long, long long> shared(const std::vector<std::pair<int64_t, uint64_t>>& a,
                                       const std::vector<std::pair<int64_t, uint64_t>>& b) {
  long long same_audio = 0, same_key = 0;
  for (size_t i = 0, k = 0; i < a.size() && k < b.size();) {
    if (a[i].first < b[k].first) {
      ++i;
    } else if (b[k].first < a[i].first) {
      ++k;
    } else {
      ++same_key;
      same_audio += a[i].second == b[k].second ? 1 : 0;
      ++i;
      ++k;
    }
  }
  return {same_audio, same_key};
}

void add_keys(std::vector<std::pair<int64_t, uint64_t>>* into, const std::vector<std::pair<int64_t, uint64_t>>& keys) {
  std::vector<std::pair<int64_t, uint64_t>> both;
  both.reserve(into->size() + keys.size());
  std::merge(into->begin(), into->end(), keys.begin(), keys.end(), std::back_inserter(both),
             [](const auto& a, const auto& b) { return a.first < b.first; });
  both.erase(std::unique(both.begin(), both.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
             both.end());
  *into = std::move(both);
}

// Finds each section of an input among the merged image's: the one after
// the section before it that shares the most frames with it (by audio, then
// by key); a section that shares none is a stretch of the tape no input
// before it had, put in after the section before it. 1 when placed, 0 when
// the input shares no frame with those merged so far, -1 after a message
// when the inputs do not agree on the order of the tape.
int place_input(Input* in, Merged* merged) {
  std::vector<int> found(in->sections.size(), -1);
  long long last = -1;  // the place in tape order of the section found last
  bool any = false;
  for (size_t s = 0; s < in->sections.size(); ++s) {
    std::pair<long long, long long> best{0, 0};
    bool behind = false;
    for (size_t at = 0; at < merged->order.size(); ++at) {
      std::pair<long long, long long> n = shared(in->sections[s].keys, merged->keys[merged->order[at]]);
      if (n.second == 0) continue;
      if (static_cast<long long>(at) <= last) {
        behind = true;
      } else if (n > best) {
        best = n;
        found[s] = merged->order[at];
      }
    }
    if (found[s] < 0 && behind) {
      size_t first = in->sections[s].first_record;
      std::fprintf(stderr,
                   "kestrel-merge: %s: record %zu (%s) follows %s here, but the other images have its frames "
                   "before that: they do not agree on the order of the tape\n",
                   in->path.c_str(), first, time_text(in->records[first].time).c_str(),
                   time_text(last_in_order_time(*in, first)).c_str());
      return -1;
    }
    if (found[s] >= 0) {
      last = std::find(merged->order.begin(), merged->order.end(), found[s]) - merged->order.begin();
      any = true;
    }
  }
  if (!any && !merged->order.empty()) return 0;
  // Sections no input before had go in after the one before them (before
  // the first found, at an input's start).
  size_t at = 0;
  for (size_t s = 0; s < found.size(); ++s)
    if (found[s] >= 0) {
      at = static_cast<size_t>(std::find(merged->order.begin(), merged->order.end(), found[s]) - merged->order.begin());
      break;
    }
  for (size_t s = 0; s < found.size(); ++s) {
    if (found[s] >= 0) {
      at = static_cast<size_t>(std::find(merged->order.begin(), merged->order.end(), found[s]) - merged->order.begin()) + 1;
      add_keys(&merged->keys[static_cast<size_t>(found[s])], in->sections[s].keys);
      continue;
    }
    found[s] = static_cast<int>(merged->keys.size());
    merged->keys.push_back(in->sections[s].keys);
    merged->order.insert(merged->order.begin() + static_cast<long>(at), found[s]);
    ++at;
  }
  in->merged_section = found;
  return 1;
}

// Aligns the inputs' sections: every input shares a frame with another,
// and they agree on the order. false after a message.
bool align_inputs(std::vector<Input>& inputs) {
  Merged merged;
  std::vector<bool> placed(inputs.size(), false);
  for (bool progress = true; progress;) {
    progress = false;
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (placed[i]) continue;
      if (inputs[i].records.empty()) {
        std::fprintf(stderr, "kestrel-merge: %s holds no whole record: there is nothing of it to merge\n",
                     inputs[i].path.c_str());
        return false;
      }
      int result = place_input(&inputs[i], &merged);
      if (result < 0) return false;
      placed[i] = result > 0;
      progress = progress || placed[i];
    }
  }
  std::string names;
  for (size_t i = 0; i < inputs.size(); ++i)
    if (placed[i]) names += (names.empty() ? "" : ", ") + inputs[i].path;
  bool all = true;
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (placed[i]) continue;
    std::fprintf(stderr, "kestrel-merge: %s shares no frame with %s: it cannot be aligned with %s\n",
                 inputs[i].path.c_str(), names.empty() ? "the other images" : names.c_str(),
                 names.empty() ? "them" : "it (an image of another tape, or of another stretch of it)");
    all = false;
  }
  if (!all) return false;
  // Each record's section becomes its section's place in the merged image.
  std::vector<int32_t> place(merged.order.size());
  for (size_t at = 0; at < merged.order.size(); ++at) place[static_cast<size_t>(merged.order[at])] = static_cast<int32_t>(at);
  for (Input& in : inputs)
    for (Record& record : in.records)
      record.section = place[static_cast<size_t>(in.merged_section[static_cast<size_t>(record.section)])];
  return true;
}

bool read_record(const Input& in, size_t record, DatFrame* frame) { return image_record_read_at(in.file, record, frame); }

// Writes text to path whole or not at all.
bool write_whole(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "wb");
  bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  std::fprintf(stderr, "kestrel-merge: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  std::remove(temporary.c_str());
  return false;
}

// A damaged stretch of the output: which input gave how many of its frames.
struct Stretch {
  int64_t first_time;
  long long first_frame;   // output frame numbers
  long long last_damaged;
  std::vector<long long> won;
};

void print_stretch(const Stretch& st, const std::vector<Input>& inputs) {
  std::printf(" - damaged stretch at %s, %lld frames:", time_text(st.first_time).c_str(),
              st.last_damaged - st.first_frame + 1);
  for (size_t i = 0; i < inputs.size(); ++i)
    if (st.won[i] > 0) std::printf(" %s gave %lld", inputs[i].path.c_str(), st.won[i]);
  std::printf("\n");
}

// What the times of an input showed besides frames in order: a line for
// each kind, and one for each recording that starts over.
void say_order_events(const Input& in) {
  const std::pair<long long, const char*> events[] = {
      {in.repeated, "repeated frames (a time given again)"},
      {in.stray, "stray frames (a time out of the order of those around it)"},
      {in.skipped, "skipped stretches (the time jumps ahead)"}};
  for (const auto& [count, what] : events)
    if (count > 0) std::printf("   %lld %s, each merged in its place on the tape\n", count, what);
  for (size_t s = 1; s < in.sections.size(); ++s) {
    size_t first = in.sections[s].first_record;
    std::printf("   the time falls back at record %zu (%s after %s): a recording that starts over, merged on its own\n",
                first, time_text(in.records[first].time).c_str(), time_text(last_in_order_time(in, first)).c_str());
  }
}

// OUT.json of OUT.img (OUT less ".img").
std::string json_path_of(const std::string& out_path) {
  std::string base = out_path;
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".img") == 0) base.resize(base.size() - 4);
  return base + ".json";
}

// Each input's map, when one lies beside it, and the output map's passes:
// those of every input in turn (an input without a map: one pass, "merge").
// false when a map is there but not whole.
bool take_maps(std::vector<Input>& inputs, RescueMap* out) {
  *out = RescueMap{};
  out->finished = false;
  for (Input& in : inputs) {
    std::string why;
    std::string path = rescue_map_path(in.path);
    int error = rescue_map_read(path, &in.map, &why);
    if (error != 0 && error != ENOENT) {
      std::fprintf(stderr, "kestrel-merge: %s cannot be taken: %s\n", path.c_str(),
                   error == EINVAL ? why.c_str() : std::strerror(error));
      return false;
    }
    in.mapped = error == 0;
    if (!in.mapped) {
      in.map = RescueMap{};
      in.map.finished = true;  // an image without a map: a reading as it stands
      in.map.passes.push_back(MapPass{"merge", "-", "image " + in.path});
    }
    in.first_pass = static_cast<int>(out->passes.size());
    for (const MapPass& pass : in.map.passes)
      if (out->passes.size() < MAP_MOST_PASSES) out->passes.push_back(pass);
    if (in.map.passes.size() + static_cast<size_t>(in.first_pass) > MAP_MOST_PASSES)
      std::fprintf(stderr, "kestrel-merge: %s: passes beyond the %dth are not told apart in the map\n", path.c_str(),
                   MAP_MOST_PASSES);
    out->finished = out->finished || in.map.finished;
    if (out->tape.empty()) out->tape = in.map.tape;
  }
  return true;
}

// What an input's record adds to the output map's record of its frame: its
// reads and its passes, shifted to the output's numbers. A record beyond its
// map (written after the map's last checkpoint) counts as read once by the
// input's last pass.
void add_map_copy(const Input& in, size_t record, MapRecord* out) {
  MapRecord m{-1, MAP_GOOD, 1, 0, 0};
  int last = static_cast<int>(in.map.passes.size());
  if (record < in.map.records.size()) {
    m = in.map.records[record];
  } else if (last > 0) {
    m.seen = 1u << (last - 1);
    m.damaged = in.records[record].rank < COPY_CLEAN ? m.seen : 0;
  }
  uint32_t total = out->reads + m.reads;
  out->reads = static_cast<uint16_t>(total > 0xFFFF ? 0xFFFF : total);
  int shift = in.first_pass;
  uint32_t keep = shift >= MAP_MOST_PASSES ? 0 : ~0u >> shift;  // passes that still fit
  out->seen |= shift >= MAP_MOST_PASSES ? 0 : (m.seen & keep) << shift;
  out->damaged |= shift >= MAP_MOST_PASSES ? 0 : (m.damaged & keep) << shift;
}

int merge(const std::string& out_path, std::vector<Input>& inputs) {
  // No file written, nor the temporary ones written first, may be an input.
  const std::string json_path = json_path_of(out_path);
  const std::string map_path = rescue_map_path(out_path);
  for (const std::string& written : {out_path, out_path + ".tmp", json_path, json_path + ".tmp", map_path, map_path + ".tmp"}) {
    FileIdentity file;
    if (!file_identity(written.c_str(), &file)) continue;
    for (Input& in : inputs) {
      if (!is_same_file(file, in.path.c_str())) continue;
      std::fprintf(stderr, "kestrel-merge: %s is an input: the output must be another file\n", written.c_str());
      return 2;
    }
  }
  for (Input& in : inputs)
    if (!scan_input(&in)) return 1;
  if (!align_inputs(inputs)) return 1;
  RescueMap map;
  if (!take_maps(inputs, &map)) return 1;
  std::string temporary = out_path + ".tmp";
  FILE* out = std::fopen(temporary.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "kestrel-merge: cannot create %s: %s\n", temporary.c_str(), std::strerror(errno));
    return 1;
  }
  nlohmann::ordered_json disagreements = nlohmann::ordered_json::array();
  long long frames = 0, disagreed = 0;
  std::vector<Stretch> stretches;
  std::vector<Copy> copies;
  DatFrame kept, other;
  bool failed = false;
  for (;;) {
    if (g_interrupted) {
      std::fprintf(stderr, "kestrel-merge: interrupted: %s not written\n", out_path.c_str());
      failed = true;
      break;
    }
    // The copies of the next frame: the records at the heads with the
    // earliest place. Slots may be below 0: records before an image's first
    // timed one (a blank leader, a lead-in) are counted back from it.
    std::pair<int32_t, int64_t> place{0, 0};
    bool any = false;
    for (const Input& in : inputs) {
      if (in.next >= in.records.size()) continue;
      std::pair<int32_t, int64_t> at{in.records[in.next].section, in.records[in.next].slot};
      if (!any || at < place) place = at;
      any = true;
    }
    if (!any) break;
    copies.clear();
    for (size_t i = 0; i < inputs.size(); ++i) {
      Input& in = inputs[i];
      if (in.next < in.records.size() && in.records[in.next].section == place.first &&
          in.records[in.next].slot == place.second)
        copies.push_back(Copy{i, in.next++});
    }
    // The best copy; among equals the first input's.
    size_t best = 0;
    for (size_t c = 1; c < copies.size(); ++c)
      if (inputs[copies[c].input].records[copies[c].record].rank >
          inputs[copies[best].input].records[copies[best].record].rank)
        best = c;
    const Input& winner = inputs[copies[best].input];
    const Record& chosen = winner.records[copies[best].record];
    const int64_t time = chosen.time;
    if (!read_record(winner, copies[best].record, &kept)) {
      std::fprintf(stderr, "kestrel-merge: cannot read %s again\n", winner.path.c_str());
      failed = true;
      break;
    }
    bool differ = false, programs_differ = false;
    for (size_t c = 0; c < copies.size(); ++c) {
      if (c == best) continue;
      const Input& in = inputs[copies[c].input];
      if (in.records[copies[c].record].program != chosen.program) programs_differ = true;
      if (!read_record(in, copies[c].record, &other)) {
        std::fprintf(stderr, "kestrel-merge: cannot read %s again\n", in.path.c_str());
        failed = true;
        break;
      }
      if (std::memcmp(&kept, &other, sizeof kept) != 0) differ = true;
    }
    if (failed) break;
    if (!image_record_write(out, &kept)) {
      std::fprintf(stderr, "kestrel-merge: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
      failed = true;
      break;
    }
    inputs[copies[best].input].supplied += 1;
    rescue_map_take(&map, static_cast<size_t>(frames), &kept, 0, 0);
    for (const Copy& c : copies) add_map_copy(inputs[c.input], c.record, &map.records.back());
    bool damaged = differ;
    for (const Copy& c : copies) damaged = damaged || inputs[c.input].records[c.record].rank < COPY_CLEAN;
    if (damaged) {
      if (stretches.empty() || frames - stretches.back().last_damaged > DAMAGED_STRETCH_GAP)
        stretches.push_back(Stretch{time, frames, frames, std::vector<long long>(inputs.size(), 0)});
      stretches.back().last_damaged = frames;
      stretches.back().won[copies[best].input] += 1;
    }
    if (differ || programs_differ) {
      ++disagreed;
      nlohmann::ordered_json& d = disagreements.emplace_back();
      d["frame"] = frames;
      d["time"] = time_text(time);
      d["kept"] = copies[best].input + 1;
      if (programs_differ) d["programs_differ"] = true;
      nlohmann::ordered_json& listed = d["copies"] = nlohmann::ordered_json::array();
      for (const Copy& c : copies) {
        const Record& r = inputs[c.input].records[c.record];
        char program[8];
        std::snprintf(program, sizeof program, "%.3x", static_cast<unsigned>(r.program));
        listed.push_back(nlohmann::ordered_json{
            {"input", c.input + 1}, {"record", c.record}, {"program", program}, {"copy", kRankNames[r.rank]}});
      }
    }
    ++frames;
    if (frames % kProgressEvery == 0) {
      // How far through the inputs' records, for the share done.
      size_t taken = 0, all = 0;
      for (const Input& in : inputs) {
        taken += in.next;
        all += in.records.size();
      }
      std::printf(" - merging: %lld frames (%zu%%)\r", frames, all > 0 ? taken * 100 / all : 100);
      std::fflush(stdout);
    }
  }
  if (std::fclose(out) != 0 && !failed) {
    std::fprintf(stderr, "kestrel-merge: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
    failed = true;
  }
  if (!failed && std::rename(temporary.c_str(), out_path.c_str()) != 0) {
    std::fprintf(stderr, "kestrel-merge: cannot write %s: %s\n", out_path.c_str(), std::strerror(errno));
    failed = true;
  }
  if (failed) {
    std::remove(temporary.c_str());
    return 1;
  }
  std::printf(" - %s: %lld frames, %lld where the copies disagreed\n", out_path.c_str(), frames, disagreed);
  nlohmann::ordered_json doc;
  nlohmann::ordered_json& listed = doc["inputs"] = nlohmann::ordered_json::array();
  for (size_t i = 0; i < inputs.size(); ++i) {
    const Input& in = inputs[i];
    std::printf(" - %s: %zu records, supplied %lld frames\n", in.path.c_str(), in.records.size(), in.supplied);
    say_order_events(in);
    listed.push_back(nlohmann::ordered_json{{"input", i + 1},
                                            {"path", in.path},
                                            {"records", in.records.size()},
                                            {"supplied", in.supplied},
                                            {"sections", in.sections.size()},
                                            {"repeated", in.repeated},
                                            {"stray", in.stray},
                                            {"skipped", in.skipped}});
  }
  for (const Stretch& st : stretches) print_stretch(st, inputs);
  // The map after the image: a record is in it once it is in the image.
  rescue_map_name_tape(&map);
  if (int error = rescue_map_write(&map, map_path)) {
    std::fprintf(stderr, "kestrel-merge: cannot write %s: %s\n", map_path.c_str(), std::strerror(error));
    return 1;
  }
  doc["frames"] = frames;
  doc["disagreements"] = std::move(disagreements);
  return write_whole(json_path, json_layout(doc)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::printf(
        "Usage: kestrel-merge OUT.img IN.img [IN.img...]\n"
        "Merges images of one tape, aligned by absolute time and program number, keeping\n"
        "the best copy of every frame (clean, then one channel flagged, then both; among\n"
        "equals the first input's). Writes OUT.img and OUT.json, the frames whose\n"
        "copies disagreed, and OUT.map: the passes of the inputs (IN.map beside IN.img)\n"
        "and what they saw of every frame.\n");
    return argc < 3 && !(argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) ? 2 : 0;
  }
  build_frame_tables();
  std::signal(SIGINT, on_interrupt);
  std::signal(SIGTERM, on_interrupt);
  std::vector<Input> inputs(static_cast<size_t>(argc - 2));
  for (int i = 2; i < argc; ++i) inputs[static_cast<size_t>(i - 2)].path = argv[i];
  int result = merge(argv[1], inputs);
  for (Input& in : inputs)
    if (in.file) std::fclose(in.file);
  return result;
}
