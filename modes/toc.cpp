// SPDX-License-Identifier: MIT
#include "modes/toc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "datframe/dat_frame.h"
#include "datframe/frame_copy.h"
#include "sources/frame_source.h"
#include "modes/mode_io.h"
#include "platform/console.h"
#include "sinks/valid_files.h"
#include "modes/run_report.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "scsi/seek.h"
#include "scsi/tape_commands.h"

namespace {

const int kHighestProgram = 799;
// The first step of a search for where something ends past a program's
// start (the data, or the program's own frames), doubled until it is passed
// (about 30 seconds).
const int64_t kEndSearchStep = 1024;
const int kImageProgressFrames = 4096;
// Frames read from the tape's beginning, past a blank leader and a lead-in,
// for the number of its first program.
const int kTocLeaderFrames = 1000;


uint32_t code_after(uint32_t code) { return code == TIME_CODE_NONE ? code : step_time_code(code); }

// One frame of a program's head (the frames from its first on, at most
// kTocHeadFrames of them): its format from the first that carries its number,
// its date from the first such frame with a valid one. A frame of another
// program ends the head (false); frames without a number are passed.
bool take_head_frame(TocProgram* p, const FrameInfo& info) {
  if (info.program_kind != FRAME_PROGRAM_NUMBER) return true;
  if (info.program != p->number) return false;
  if (p->head_frames++ == 0) {
    p->rate = info.rate;
    p->channels = info.channels;
    p->bits = info.bits;
    p->emphasis = info.emphasis;
    p->scms = info.scms;
  }
  if (!p->date.valid && info.date.valid) p->date = info.date;
  return true;
}

// Lengths from each program's own frames, then by number.
void finish_contents(TapeContents* toc) {
  for (TocProgram& p : toc->programs)
    p.frames = p.start_frame >= 0 && p.own_end >= p.start_frame ? p.own_end - p.start_frame : -1;
  std::sort(toc->programs.begin(), toc->programs.end(),
            [](const TocProgram& a, const TocProgram& b) { return a.number < b.number; });
}

// ---------------------------------------------------------------- image

int contents_of_image(FrameSource* source, TapeContents* toc) {
  bool seen[kHighestProgram + 1] = {};
  const size_t kNone = static_cast<size_t>(-1);
  size_t current = kNone;  // the program begun last
  bool head = false;       // its head is being taken
  int64_t index = 0;
  DatFrame frame;
  for (;; ++index) {
    if (index % kImageProgressFrames == 0) {
      std::printf(" - scanning the subcode: frame %lld, %zu programs\r", static_cast<long long>(index),
                  toc->programs.size());
      std::fflush(stdout);
      if (esc_pressed()) {
        toc->complete = false;
        break;
      }
    }
    FrameRead read = read_next_frame(source, &frame);
    // A frame the dump could not read keeps its place in its program (its
    // stand-in carries the number of its neighbours), but it begins no
    // program and tells nothing of the format or the date.
    bool stand_in = read.stand_in != 0;
    if (!stand_in && !tape_read_ok(read.result)) break;
    FrameInfo info = decode_frame(&frame);
    bool numbered = info.program_kind == FRAME_PROGRAM_NUMBER;
    if (numbered && !stand_in && !seen[info.program]) {
      seen[info.program] = true;
      TocProgram p;
      p.number = info.program;
      p.start_frame = index;
      p.abs_start = info.absolute.valid ? info.absolute.code : TIME_CODE_NONE;
      toc->programs.push_back(p);
      current = toc->programs.size() - 1;
      head = true;
    }
    if (current == kNone) continue;
    TocProgram& p = toc->programs[current];
    if (head && !stand_in) head = index - p.start_frame < kTocHeadFrames && !p.date.valid && take_head_frame(&p, info);
    if (numbered && info.program == p.number) {
      p.own_end = index + 1;
      p.abs_end = code_after(info.absolute.valid ? info.absolute.code : TIME_CODE_NONE);
    }
  }
  std::printf("\n");
  toc->end_frame = index;
  return 0;
}

// ---------------------------------------------------------------- drive

// ESC (or Ctrl-C) during the listing on a drive: once seen, every wait and
// search that follows ends at once, and the list is left incomplete.
bool g_listing_stopped = false;
bool listing_stopped() {
  if (!g_listing_stopped && (console_interrupted() || esc_pressed())) g_listing_stopped = true;
  return g_listing_stopped;
}

// What the frame at a running time showed.
struct Probe {
  int64_t index = -1;
  bool recorded = false;
  int program = 0;                 // its valid program number, else 0
  uint32_t abs = TIME_CODE_NONE;   // its absolute time
};

// The frame at index, kept in seen. 0, -1 when the search fails or the
// listing is stopped.
int probe(const DriveAddress& d, int64_t index, std::vector<Probe>* seen, Probe* out) {
  if (listing_stopped()) return -1;
  uint8_t position[AUDIO_POSITION_BYTES] = {};
  SearchEnd at = search_frame(d, index, position, listing_stopped);
  if (at != SEARCH_ARRIVED && at != SEARCH_END_OF_DATA) return -1;
  Probe p;
  p.index = index;
  p.recorded = at == SEARCH_ARRIVED;
  if (p.recorded) {
    p.program = position_program(position);
    p.abs = position_time_code(position, kPositionAbsoluteTime);
  }
  seen->push_back(p);
  *out = p;
  return 0;
}

// The last frame from low on of which holds is true, taken to hold up to
// there and no further: it holds at low, not at high (-1: not known, found by
// doubling a step from low until a probe passes it), then the span is halved
// down to the frame. What earlier probes (seen) showed narrows the span
// first; every probe is added to them. The probe of that frame; index -1
// when a search fails or the listing is stopped.
template <typename Holds>
Probe last_where(const DriveAddress& d, Probe low, int64_t high, Holds holds, std::vector<Probe>* seen, const char* what) {
  for (const Probe& p : *seen)
    if (p.index > low.index && (high < 0 || p.index < high) && !holds(p)) high = p.index;
  for (const Probe& p : *seen)
    if (p.index > low.index && (high < 0 || p.index < high) && holds(p)) low = p;
  Probe failed;
  Probe at;
  for (int64_t step = kEndSearchStep; high < 0; step *= 2) {
    std::printf(" - looking for the end of %s: past frame %lld       \r", what, static_cast<long long>(low.index));
    std::fflush(stdout);
    if (probe(d, low.index + step, seen, &at) != 0) return failed;
    if (holds(at))
      low = at;
    else
      high = at.index;
  }
  while (high - low.index > 1) {
    std::printf(" - looking for the end of %s: past frame %lld       \r", what, static_cast<long long>(low.index));
    std::fflush(stdout);
    if (probe(d, low.index + (high - low.index) / 2, seen, &at) != 0) return failed;
    if (holds(at))
      low = at;
    else
      high = at.index;
  }
  return low;
}

// A program found on the drive, and what the search saw of the frame before
// its first: the number it carries (0 none), -1 when the search did not read it.
struct Found {
  TocProgram p;
  int before_program = -1;
  uint32_t before_abs = TIME_CODE_NONE;
};

// Reads the head of a program where the search left the tape, at its first
// frame; a frame that cannot be read is passed (the drive moves past it), the
// end of the data ends the head.
void read_head(FrameSource* source, TocProgram* p) {
  DatFrame frame;
  for (int i = 0; i < kTocHeadFrames && !p->date.valid; ++i) {
    uint32_t result = read_next_frame(source, &frame).result;
    if (tape_status(result) == TAPE_END_OF_DATA) return;
    if (tape_read_ok(result) && !take_head_frame(p, decode_frame(&frame))) return;
  }
}

// Searches for a program number; found, the tape stands at its first frame
// and its head is read. 1, 0 when the tape does not hold it, -1 when the
// search fails or the listing is stopped.
int find_program(const DriveAddress& d, FrameSource* source, int number, std::vector<Found>* found) {
  uint8_t position[AUDIO_POSITION_BYTES] = {};
  SearchCorrection c;
  SearchEnd end =
      search_exactly(d, SEEK_PROGNUM, static_cast<uint32_t>(number), position, false, listing_stopped, &c);
  if (end == SEARCH_END_OF_DATA) return 0;
  if (end != SEARCH_ARRIVED) return -1;
  Found f;
  f.p.number = number;
  f.p.start_frame = position_running_index(position);
  f.p.abs_start = position_time_code(position, kPositionAbsoluteTime);
  if (c.before_known) {
    f.before_program = position_program(c.before);
    f.before_abs = position_time_code(c.before, kPositionAbsoluteTime);
  }
  read_head(source, &f.p);
  found->push_back(f);
  return 1;
}

// Searches the numbers from `from` on until kTocGapLimit of them in a row are
// not on the tape. 0, or 1 after saying which search failed; an ESC leaves
// the list incomplete.
int walk_numbers(const DriveAddress& d, FrameSource* source, int from, std::vector<Found>* found, TapeContents* toc) {
  int misses = 0;
  for (int number = from; number <= kHighestProgram && misses < kTocGapLimit; ++number) {
    std::printf(" - searching for program %d (%zu found)      \r", number, found->size());
    std::fflush(stdout);
    int at = listing_stopped() ? -1 : find_program(d, source, number, found);
    if (at < 0 && listing_stopped()) {
      toc->complete = false;
      return 0;
    }
    if (at < 0) {
      std::printf("\nThe search for program %d failed\n", number);
      return 1;
    }
    misses = at == 1 ? 0 : misses + 1;
  }
  return 0;
}

// The number of the first program on the tape: the tape is taken to its
// beginning and read on past a blank leader and a lead-in, at most
// kTocLeaderFrames frames. 0 when no numbered frame comes (or the listing is
// stopped).
int first_program_number(const DriveAddress& d, FrameSource* source) {
  uint8_t position[AUDIO_POSITION_BYTES] = {};
  if (search_frame(d, 0, position, listing_stopped) != SEARCH_ARRIVED) return 0;
  int number = position_program(position);
  DatFrame frame;
  for (int i = 0; number == 0 && i < kTocLeaderFrames && !listing_stopped(); ++i) {
    uint32_t result = read_next_frame(source, &frame).result;
    if (tape_status(result) == TAPE_END_OF_DATA) break;
    if (!tape_read_ok(result)) continue;
    FrameInfo info = decode_frame(&frame);
    if (info.program_kind == FRAME_PROGRAM_NUMBER) number = info.program;
  }
  return number;
}

// Whether two programs' starts lie in one recording: the absolute time runs
// on from the first start to the second frame for frame.
bool one_recording(const TocProgram& a, const TocProgram& b) {
  if (a.abs_start == TIME_CODE_NONE || b.abs_start == TIME_CODE_NONE) return false;
  int64_t from = time_code_frames(a.abs_start), to = time_code_frames(b.abs_start);
  return from >= 0 && to >= 0 && to - from == b.start_frame - a.start_frame;
}

// The end of the data and each program's own frames. A program ends where
// the next on the tape begins when the frame before that one carries its
// number (the search read it on the way) or, not read, when the two starts
// lie in one recording; else, and for the last, its last frame is searched
// for (with the end of the data). 0, -1 when a search fails or the listing
// is stopped.
int measure_programs(const DriveAddress& d, std::vector<Found>* found, TapeContents* toc) {
  std::sort(found->begin(), found->end(),
            [](const Found& a, const Found& b) { return a.p.start_frame < b.p.start_frame; });
  std::vector<Probe> seen;
  Probe from;
  if (found->empty()) {
    if (probe(d, 0, &seen, &from) != 0) return -1;
    if (!from.recorded) {
      toc->end_frame = 0;
      return 0;
    }
  } else {
    const TocProgram& last = found->back().p;
    from.index = last.start_frame;
    from.recorded = true;
    from.program = last.number;
    from.abs = last.abs_start;
  }
  Probe end = last_where(d, from, -1, [](const Probe& p) { return p.recorded; }, &seen, "the data");
  if (end.index < 0) return -1;
  toc->end_frame = end.index + 1;
  for (size_t i = 0; i < found->size(); ++i) {
    TocProgram& p = (*found)[i].p;
    bool last = i + 1 == found->size();
    if (!last) {
      const Found& next = (*found)[i + 1];
      bool to_next = next.before_program >= 0 ? next.before_program == p.number : one_recording(p, next.p);
      if (to_next) {
        p.own_end = next.p.start_frame;
        p.abs_end = next.before_program >= 0 ? code_after(next.before_abs) : next.p.abs_start;
        continue;
      }
    }
    Probe start;
    start.index = p.start_frame;
    start.recorded = true;
    start.program = p.number;
    start.abs = p.abs_start;
    char what[32];
    std::snprintf(what, sizeof what, "program %d", p.number);
    const int number = p.number;
    Probe own = last_where(d, start, last ? toc->end_frame : (*found)[i + 1].p.start_frame,
                           [number](const Probe& q) { return q.recorded && q.program == number; }, &seen, what);
    if (own.index < 0) return -1;
    p.own_end = own.index + 1;
    p.abs_end = code_after(own.abs);
  }
  return 0;
}

// Puts the tape back where it was found: at the beginning (or with /REWIND)
// by a rewind, elsewhere by a search for the running time it stood at.
void put_back(const DriveAddress& d, const RunSettings* s, int64_t found_at, bool found_at_end, int64_t end) {
  if (s->rewind_arg || found_at == 0) {
    std::printf(" - rewinding the tape\n");
    scsi_rewind(d);
    return;
  }
  if (found_at_end && end >= 0) found_at = end;
  if (found_at < 0) {
    std::printf(" - the drive did not say where the tape stood: it is left where the listing ended\n");
    return;
  }
  uint8_t position[AUDIO_POSITION_BYTES];
  std::printf(" - putting the tape back at frame %lld\n", static_cast<long long>(found_at));
  if (g_listing_stopped) {
    // The search is started and not watched: the run is to end now.
    locate_time(d, SEEK_RUNTIME, found_at);
    return;
  }
  SearchEnd back = search_frame(d, found_at, position, listing_stopped);
  if (back != SEARCH_ARRIVED && back != SEARCH_END_OF_DATA) std::printf(" - the tape could not be put back where it was found\n");
}

int contents_of_drive(FrameSource* source, const RunSettings* s, TapeContents* toc) {
  const DriveAddress d = input_drive(s);
  uint8_t position[AUDIO_POSITION_BYTES] = {};
  TapeResult result = scsi_read_position(d, position);
  bool found_at_end = result.status == TAPE_END_OF_DATA;
  int64_t found_at = tape_completed(result) ? position_running_index(position) : -1;

  std::vector<Found> found;
  int failed = walk_numbers(d, source, 1, &found, toc);
  if (!failed && toc->complete && found.empty()) {
    // Numbers that begin beyond the walk's reach (11, 12; or 798, 799): from
    // the number of the tape's first program on.
    int first = first_program_number(d, source);
    if (listing_stopped())
      toc->complete = false;
    else if (first > kTocGapLimit)
      failed = walk_numbers(d, source, first, &found, toc);
  }
  std::printf("\n");

  if (!failed && toc->complete) {
    // A drive that gives no running time leaves the lengths and the end unknown.
    bool unknown_start = false;
    for (const Found& f : found) unknown_start = unknown_start || f.p.start_frame < 0;
    bool measured = unknown_start || measure_programs(d, &found, toc) == 0;
    std::printf("\n");
    if (!measured) {
      toc->end_frame = -1;
      for (Found& f : found) f.p.own_end = -1;
      if (!listing_stopped()) std::printf("The end of the data was not found\n");
    }
    if (listing_stopped()) toc->complete = false;
  }
  for (const Found& f : found) toc->programs.push_back(f.p);
  put_back(d, s, found_at, found_at_end, toc->end_frame);
  return failed;
}

// ---------------------------------------------------------------- console

void time_text(uint32_t code, char* text, size_t size) {
  if (code == TIME_CODE_NONE)
    std::snprintf(text, size, "--:--:--:--");
  else
    dat_time_code_text(code, text, size);
}

void length_text(int64_t frames, char* text, size_t size) {
  if (frames < 0) {
    std::snprintf(text, size, "unknown    ");
    return;
  }
  dat_frames_text(static_cast<uint64_t>(frames), text, size);
}

const char* emphasis_text(int32_t code) {
  switch (code) {
    case -1: return "?";
    case 0: return "none";
    case 1: return "50/15us";
    default: return "reserved";
  }
}

void print_program(const TocProgram& p) {
  char start[16], length[16], date[32];
  time_text(p.abs_start, start, sizeof start);
  length_text(p.frames, length, sizeof length);
  if (p.date.valid)
    std::snprintf(date, sizeof date, "%.2x-%.2x-%.2x %.2x:%.2x:%.2x", p.date.date >> 16, (p.date.date >> 8) & 0xFF,
                  p.date.date & 0xFF, p.date.time >> 16, (p.date.time >> 8) & 0xFF, p.date.time & 0xFF);
  else
    std::snprintf(date, sizeof date, "none");
  if (p.head_frames == 0) {
    std::printf("%7d  %s  %s  (its first frames could not be read)\n", p.number, start, length);
    return;
  }
  std::printf("%7d  %s  %s  %5d Hz  %2d bit  %d ch  %-8s  %4d  %s\n", p.number, start, length, p.rate, p.bits,
              p.channels, emphasis_text(p.emphasis), p.scms, date);
}

void print_contents(const TapeContents& toc) {
  if (!toc.complete && toc.programs.empty()) {
    std::printf("Interrupted before a program was found\n");
    return;
  }
  if (!toc.complete) std::printf("Interrupted: the list below is incomplete\n");
  char total[16];
  length_text(toc.end_frame, total, sizeof total);
  if (toc.end_frame == 0) {
    std::printf("The tape is empty: no frame is recorded on it\n");
    return;
  }
  if (toc.programs.empty()) {
    std::printf("The tape holds no program numbers: %s of recording (%lld frames)\n", total,
                static_cast<long long>(toc.end_frame));
    return;
  }
  std::printf("program  start        length       rate      bits    chan  emphasis  copy  date\n");
  for (const TocProgram& p : toc.programs) print_program(p);
  std::printf("total: %zu programs, %s", toc.programs.size(), total);
  if (toc.end_frame >= 0) std::printf(" (%lld frames)", static_cast<long long>(toc.end_frame));
  std::printf("\n");
}

}  // namespace

int read_table_of_contents(RunSettings* s, TapeContents* toc) {
  *toc = TapeContents{};
  FrameSource source;
  if (open_frame_source(&source, s) != 0) return 1;
  reset_frame_analysis(s);
  int result = s->fromimage_arg ? contents_of_image(&source, toc) : contents_of_drive(&source, s, toc);
  if (frame_source_incomplete(&source)) result = 1;
  close_frame_source(&source);
  finish_contents(toc);
  return result;
}

namespace {

FrameTime frame_time(uint32_t code) { return FrameTime{code, code != TIME_CODE_NONE}; }

// The time of the frame before code (a program's end is given past its last frame).
FrameTime time_before(uint32_t code) {
  if (code == TIME_CODE_NONE) return FrameTime{0, 0};
  int64_t frames = time_code_frames(code);
  if (frames <= 0) return FrameTime{0, 0};
  return frame_time(frames_time_code(frames - 1));
}

// The programs as the transfer report lists them: frame indices where the
// listing knows them, else only times.
std::vector<ProgramStretch> report_programs(const TapeContents& toc) {
  std::vector<ProgramStretch> programs;
  for (const TocProgram& p : toc.programs) {
    ProgramStretch stretch{};
    stretch.program_kind = FRAME_PROGRAM_NUMBER;
    stretch.program = p.number;
    stretch.first_frame = p.start_frame;
    stretch.frames = p.start_frame >= 0 ? p.frames : -1;
    stretch.abs_start = frame_time(p.abs_start);
    stretch.abs_end = time_before(p.abs_end);
    stretch.rate = p.rate;
    stretch.channels = p.channels;
    stretch.bits = p.bits;
    stretch.emphasis = p.emphasis > 0 ? p.emphasis : 0;
    stretch.scms = p.scms > 0 ? p.scms : 0;
    stretch.date = p.date;
    programs.push_back(stretch);
  }
  return programs;
}

}  // namespace

RunVerdict list_programs(RunSettings* s) {
  TapeContents toc;
  std::printf("Table of contents of %s\n", s->fromimage_arg ? s->image_path : "the input tape");
  // /REPORT: NAME.json and the rest list the programs (TOC.json without a name).
  const char* name = s->base_name[0] ? s->base_name : "TOC";
  if (s->fromimage_arg && s->report_arg && check_image_run_outputs(s->image_path, ImageRunOutputs{"", {}, {}, name}) != 0)
    return RUN_INCOMPLETE;
  RunRecord run;
  open_run_record(&run, s, "TOC", name);
  int result = read_table_of_contents(s, &toc);
  if (!toc.programs.empty() || toc.end_frame >= 0 || !toc.complete) print_contents(toc);
  if (TransferReport* report = run.report) {
    report->programs = report_programs(toc);
    report->frames = toc.end_frame > 0 ? toc.end_frame : 0;
    for (const TocProgram& p : toc.programs) report->frames_read += p.head_frames;
  }
  if (!toc.complete) record_incomplete(&run);
  return close_run_record(&run, result);
}
