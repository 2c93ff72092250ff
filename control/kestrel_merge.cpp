// kestrel-merge OUT.img IN.img IN.img...: one image of a tape from several
// images of it (passes, drives, copies). The records are aligned by absolute
// time and program number, so images may begin at different frames and one
// may lack a stretch another has; of every frame the best copy is written.
// OUT.json lists every frame whose copies disagreed and which was kept.
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"

namespace {

const char* const kRankNames[] = {"unreadable", "both channels flagged", "one channel flagged", "clean"};
const long kProgressEvery = 2000;

// Ctrl-C or SIGTERM: the merge stops at the next frame and leaves nothing behind.
volatile std::sig_atomic_t g_interrupted = 0;
void on_interrupt(int) { g_interrupted = 1; }

// One record of an input: where it lies and how good it is.
struct Record {
  int64_t time;     // absolute time, or for a record without one the time its place gives it (-1: none)
  int64_t order;    // its place on the tape, by which the inputs' records are aligned
  int32_t program;  // sub-ID program number (12-bit BCD)
  int32_t rank;
};

// Records without a time between two timed ones share the slot of the one
// before, each a step further, when the times around them leave no room for
// them (a blank stretch, which the absolute time does not count).
const int kOrderShift = 20;

struct Input {
  std::string path;
  FILE* file = nullptr;
  std::vector<Record> records;
  size_t next = 0;       // the first record not yet merged
  long long supplied = 0;
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

// Reads an input's records and gives each its place. false after a message.
bool scan_input(Input* in) {
  in->file = std::fopen(in->path.c_str(), "rb");
  if (!in->file) {
    std::fprintf(stderr, "kestrel-merge: cannot open %s: %s\n", in->path.c_str(), std::strerror(errno));
    return false;
  }
  DatFrame frame;
  size_t got;
  while ((got = std::fread(&frame, 1, sizeof frame, in->file)) == sizeof frame) {
    if (g_interrupted) {
      std::fprintf(stderr, "kestrel-merge: interrupted while reading %s: nothing written\n", in->path.c_str());
      return false;
    }
    FrameInfo info = decode_frame(&frame);
    FrameKey key = frame_key(&info);
    in->records.push_back(Record{key.time, 0, info.sub_id_program, record_rank(&frame)});
  }
  if (std::ferror(in->file)) {
    std::fprintf(stderr, "kestrel-merge: cannot read %s: %s\n", in->path.c_str(), std::strerror(errno));
    return false;
  }
  if (got > 0)
    std::fprintf(stderr, "kestrel-merge: %s ends in a part of a record (%zu bytes): passed over\n", in->path.c_str(),
                 got);
  // Records without a valid time take theirs from the timed records around
  // them when the times leave exactly their room (a frame whose time pack
  // was damaged); else, as in a blank stretch, they follow the timed one
  // before them in its slot. Records before the first timed one are counted
  // back from it (a blank leader, a lead-in).
  std::vector<Record>& r = in->records;
  size_t first_timed = r.size(), last_timed = r.size();
  for (size_t i = 0; i < r.size(); ++i) {
    if (r[i].time < 0) continue;
    if (last_timed < r.size() && r[last_timed].time >= r[i].time) {
      std::fprintf(stderr,
                   "kestrel-merge: %s: the absolute time goes back at record %zu (%s): its frames cannot be aligned\n",
                   in->path.c_str(), i, time_text(r[i].time).c_str());
      return false;
    }
    r[i].order = r[i].time << kOrderShift;
    if (last_timed < r.size()) {
      bool room = r[i].time - r[last_timed].time == static_cast<int64_t>(i - last_timed);
      for (size_t k = last_timed + 1; k < i; ++k) {
        int64_t step = static_cast<int64_t>(k - last_timed);
        r[k].time = room ? r[last_timed].time + step : -1;
        r[k].order = room ? (r[last_timed].time + step) << kOrderShift : r[last_timed].order + step;
      }
    }
    if (first_timed == r.size()) first_timed = i;
    last_timed = i;
  }
  if (first_timed == r.size() && !r.empty()) {
    std::fprintf(stderr, "kestrel-merge: %s: no record carries a valid absolute time: it cannot be aligned\n",
                 in->path.c_str());
    return false;
  }
  for (size_t i = first_timed; i-- > 0;) r[i].order = r[i + 1].order - (int64_t{1} << kOrderShift);
  for (size_t i = last_timed + 1; i < r.size(); ++i) {
    r[i].time = r[i - 1].time >= 0 ? r[i - 1].time + 1 : -1;
    r[i].order = r[i - 1].order + (int64_t{1} << kOrderShift);
  }
  return true;
}

// A string as the text of a JSON string.
std::string json_text(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool read_record(const Input& in, size_t record, DatFrame* frame) {
  return fseeko(in.file, static_cast<off_t>(record) * DAT_FRAME_BYTES, SEEK_SET) == 0 &&
         std::fread(frame, 1, sizeof *frame, in.file) == sizeof *frame;
}

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

int merge(const std::string& out_path, std::vector<Input>& inputs) {
  struct stat out_stat;
  bool out_exists = stat(out_path.c_str(), &out_stat) == 0;
  for (Input& in : inputs) {
    struct stat in_stat;
    if (out_exists && stat(in.path.c_str(), &in_stat) == 0 && in_stat.st_dev == out_stat.st_dev &&
        in_stat.st_ino == out_stat.st_ino) {
      std::fprintf(stderr, "kestrel-merge: %s is an input: the output must be another file\n", out_path.c_str());
      return 2;
    }
    if (!scan_input(&in)) return 1;
  }
  std::string temporary = out_path + ".tmp";
  FILE* out = std::fopen(temporary.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "kestrel-merge: cannot create %s: %s\n", temporary.c_str(), std::strerror(errno));
    return 1;
  }
  std::string json = "{\"inputs\": [";
  std::string disagreements;
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
    // The copies of the next frame: the records at the heads with the earliest time.
    // Times may be below 0: records before an image's first timed one (a
    // blank leader, a lead-in) are counted back from it.
    int64_t order = 0;
    bool any = false;
    for (const Input& in : inputs)
      if (in.next < in.records.size() && (!any || in.records[in.next].order < order)) {
        order = in.records[in.next].order;
        any = true;
      }
    if (!any) break;
    copies.clear();
    for (size_t i = 0; i < inputs.size(); ++i) {
      Input& in = inputs[i];
      if (in.next < in.records.size() && in.records[in.next].order == order) copies.push_back(Copy{i, in.next++});
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
    if (std::fwrite(&kept, 1, sizeof kept, out) != sizeof kept) {
      std::fprintf(stderr, "kestrel-merge: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
      failed = true;
      break;
    }
    inputs[copies[best].input].supplied += 1;
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
      char head[160];
      std::snprintf(head, sizeof head, "%s\n  {\"frame\": %lld, \"time\": \"%s\", \"kept\": %zu, %s\"copies\": [",
                    disagreements.empty() ? "" : ",", frames, time_text(time).c_str(), copies[best].input + 1,
                    programs_differ ? "\"programs_differ\": true, " : "");
      disagreements += head;
      for (size_t c = 0; c < copies.size(); ++c) {
        const Record& r = inputs[copies[c].input].records[copies[c].record];
        char item[160];
        std::snprintf(item, sizeof item, "%s{\"input\": %zu, \"record\": %zu, \"program\": \"%.3x\", \"copy\": \"%s\"}",
                      c == 0 ? "" : ", ", copies[c].input + 1, copies[c].record, static_cast<unsigned>(r.program),
                      kRankNames[r.rank]);
        disagreements += item;
      }
      disagreements += "]}";
    }
    ++frames;
    if (frames % kProgressEvery == 0) {
      std::printf(" - merging: %lld frames\r", frames);
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
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::printf(" - %s: %zu records, supplied %lld frames\n", inputs[i].path.c_str(), inputs[i].records.size(),
                inputs[i].supplied);
    char item[64];
    std::snprintf(item, sizeof item, "\", \"records\": %zu, \"supplied\": %lld}", inputs[i].records.size(),
                  inputs[i].supplied);
    json += std::string(i == 0 ? "\n  {\"input\": " : ",\n  {\"input\": ") + std::to_string(i + 1) +
            ", \"path\": \"" + json_text(inputs[i].path) + item;
  }
  for (const Stretch& st : stretches) print_stretch(st, inputs);
  json += "\n], \"frames\": " + std::to_string(frames) + ", \"disagreements\": [" + disagreements +
          (disagreements.empty() ? "]}\n" : "\n]}\n");
  std::string json_path = out_path;
  if (json_path.size() > 4 && json_path.compare(json_path.size() - 4, 4, ".img") == 0) json_path.resize(json_path.size() - 4);
  return write_whole(json_path + ".json", json) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::printf(
        "Usage: kestrel-merge OUT.img IN.img [IN.img...]\n"
        "Merges images of one tape, aligned by absolute time and program number, keeping\n"
        "the best copy of every frame (clean, then one channel flagged, then both; among\n"
        "equals the first input's). Writes OUT.img and OUT.json, the frames whose\n"
        "copies disagreed.\n");
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
