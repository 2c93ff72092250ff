// /TOC: lists the programs of the input tape (or of an image) with their
// start, length and format, and the tape's total; the tape is left where it
// was found.
#include "modes/toc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "datframe/dat_frame.h"
#include "datframe/frame_copy.h"
#include "modes/frame_source.h"
#include "modes/mode_io.h"
#include "modes/run_report.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "scsi/seek.h"
#include "scsi/tape_commands.h"

namespace {

const int kHighestProgram = 799;
// The first step of the search for the end of the data past the last
// program's start, doubled until the end is passed (about 30 seconds).
const int64_t kEndSearchStep = 1024;
const int kImageProgressFrames = 4096;
const int kSettleLimitS = 60;


// Four BCD time bytes as a packed code, hours in bits 31-24; TIME_CODE_NONE
// when the frame number is the 0xAA of no time.
uint32_t packed_code(const uint8_t* bytes) {
  if (bytes[3] == 0xAA) return TIME_CODE_NONE;
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint32_t code_after(uint32_t code) { return code == TIME_CODE_NONE ? code : step_time_code(code); }

// The first frames of a program: its format from the first, its date from
// the first that carries a valid one.
void take_head_frame(TocProgram* p, const FrameInfo& info) {
  if (p->head_frames++ == 0) {
    p->rate = info.rate;
    p->channels = info.channels;
    p->bits = info.bits;
    p->emphasis = info.emphasis;
    p->scms = info.scms;
  }
  if (!p->date.valid && info.date.valid) p->date = info.date;
}

bool head_done(const TocProgram& p) { return p.head_frames >= kTocHeadFrames || p.date.valid; }

// Lengths and ends from the starts: a program runs to the next one on the
// tape, the last to the end of the data. Then by number.
void finish_contents(TapeContents* toc) {
  std::vector<TocProgram>& list = toc->programs;
  std::sort(list.begin(), list.end(),
            [](const TocProgram& a, const TocProgram& b) { return a.start_frame < b.start_frame; });
  for (size_t i = 0; i < list.size(); ++i) {
    bool last = i + 1 == list.size();
    int64_t end = last ? toc->end_frame : list[i + 1].start_frame;
    list[i].frames = list[i].start_frame >= 0 && end >= 0 ? end - list[i].start_frame : -1;
    list[i].abs_end = last ? toc->end_abs : list[i + 1].abs_start;
  }
  std::sort(list.begin(), list.end(), [](const TocProgram& a, const TocProgram& b) { return a.number < b.number; });
}

// ---------------------------------------------------------------- image

int contents_of_image(FrameSource* source, TapeContents* toc) {
  std::vector<size_t> heads;  // programs whose first frames are still being taken
  bool seen[kHighestProgram + 1] = {};
  int64_t index = 0;
  uint32_t last_abs = TIME_CODE_NONE;
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
    if (read.stand_in) continue;  // a frame the dump could not read: its place passes
    if (!tape_read_ok(read.result)) break;
    FrameInfo info = decode_frame(&frame);
    if (info.program_kind == FRAME_PROGRAM_NUMBER && !seen[info.program]) {
      seen[info.program] = true;
      TocProgram p;
      p.number = info.program;
      p.start_frame = index;
      p.abs_start = info.absolute.valid ? info.absolute.code : TIME_CODE_NONE;
      toc->programs.push_back(p);
      heads.push_back(toc->programs.size() - 1);
    }
    for (size_t h = 0; h < heads.size();) {
      TocProgram& p = toc->programs[heads[h]];
      take_head_frame(&p, info);
      if (head_done(p))
        heads.erase(heads.begin() + static_cast<long>(h));
      else
        ++h;
    }
    last_abs = info.absolute.valid ? info.absolute.code : TIME_CODE_NONE;
  }
  std::printf("\n");
  toc->end_frame = index;
  toc->end_abs = code_after(last_abs);
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

struct Drive {
  int adapter, target, lun;
};

// The running time (frames from the tape's beginning) of position data; -1
// when the drive gives none.
int64_t running_index(const uint8_t* position) { return dat_frames_of_time_code(position + kPositionRunningTime); }

// A frame index as the search of a running time takes it: plain numbers,
// one a byte.
uint32_t running_goal(int64_t index) {
  uint8_t bytes[4];
  dat_time_code_of_frames(static_cast<uint64_t>(index), bytes);
  uint32_t goal = 0;
  for (uint8_t b : bytes) goal = goal << 8 | static_cast<uint32_t>(dat_bcd_value(b));
  return goal;
}

// Whether a frame is recorded at index: the search for its running time
// arrives there (position then holds it), or ends at the end of the data.
// 1, 0, or -1 when the search fails.
int data_at(const Drive& d, int64_t index, uint8_t* position) {
  int end =
      search_tape(d.adapter, d.target, d.lun, SEEK_RUNTIME, running_goal(index), position, false, listing_stopped);
  return end == SEARCH_ARRIVED ? 1 : end == SEARCH_END_OF_DATA ? 0 : -1;
}

// The end of the data at or after from, where a frame is known to be
// recorded (at_from, with its position data in from_position) or not: the
// step doubles until the search passes the end, then halves down to the
// frame. The absolute time past the last frame goes to *end_abs.
int64_t find_end(const Drive& d, int64_t from, bool at_from, const uint8_t* from_position, uint32_t* end_abs) {
  uint8_t position[SEARCH_POSITION_BYTES] = {};
  uint8_t last[SEARCH_POSITION_BYTES] = {};
  if (at_from) {
    std::memcpy(last, from_position, sizeof last);
  } else {
    int here = data_at(d, from, position);
    if (here <= 0) return here < 0 ? -1 : from;
    std::memcpy(last, position, sizeof last);
  }
  int64_t low = from;  // a frame is recorded here
  int64_t high = -1;   // none here
  for (int64_t step = kEndSearchStep; high < 0; step *= 2) {
    std::printf(" - looking for the end of the data: past frame %lld       \r", static_cast<long long>(low));
    std::fflush(stdout);
    if (listing_stopped()) return -1;
    int at = data_at(d, low + step, position);
    if (at < 0) return -1;
    if (at == 0) {
      high = low + step;
    } else {
      low += step;
      std::memcpy(last, position, sizeof last);
    }
  }
  while (high - low > 1) {
    if (listing_stopped()) return -1;
    int64_t middle = low + (high - low) / 2;
    int at = data_at(d, middle, position);
    if (at < 0) return -1;
    if (at == 0) {
      high = middle;
    } else {
      low = middle;
      std::memcpy(last, position, sizeof last);
    }
  }
  *end_abs = code_after(packed_code(last + kPositionAbsoluteTime));
  return high;
}

// Where the drive comes to rest after a search: the watch may see the
// program on the way (winding back over frames of it after a search that
// ended at the end of the data), before the drive stands at its first
// frame. 0 with position read at rest, -1 when the drive does not come to
// rest within a minute or an interrupt ends the wait.
int settle_position(const Drive& d, uint8_t* position) {
  for (int waited = 0; waited < kSettleLimitS; ++waited) {
    if (tape_status(scsi_test_unit_ready(d.adapter, d.target, d.lun)) == TAPE_GOOD)
      return scsi_read_position(d.adapter, d.target, d.lun, position) == 0 ? 0 : -1;
    if (console_sleep_ms(1000) != 0 || listing_stopped()) return -1;
    scsi_read_position(d.adapter, d.target, d.lun, position);  // where the search has got to
  }
  return -1;
}

// Reads the first frames of a program where the search left the tape; a
// frame that cannot be read is passed (the drive moves past it), the end of
// the data ends the head.
void read_head(FrameSource* source, TocProgram* p) {
  DatFrame frame;
  for (int i = 0; i < kTocHeadFrames && !head_done(*p); ++i) {
    uint32_t result = read_next_frame(source, &frame).result;
    if (tape_status(result) == TAPE_END_OF_DATA) return;
    if (tape_read_ok(result)) take_head_frame(p, decode_frame(&frame));
  }
}

// Puts the tape back where it was found: at the beginning (or with /REWIND)
// by a rewind, elsewhere by a search for the running time it stood at.
void put_back(const Drive& d, const RunSettings* s, int64_t found_at, bool found_at_end, int64_t end) {
  if (s->rewind_arg || found_at == 0) {
    std::printf(" - rewinding the tape\n");
    scsi_rewind(d.adapter, d.target, d.lun);
    return;
  }
  if (found_at_end && end >= 0) found_at = end;
  if (found_at < 0) {
    std::printf(" - the drive did not say where the tape stood: it is left where the listing ended\n");
    return;
  }
  uint8_t position[SEARCH_POSITION_BYTES];
  std::printf(" - putting the tape back at frame %lld\n", static_cast<long long>(found_at));
  if (g_listing_stopped) {
    // The search is started and not watched: the run is to end now.
    scsi_locate2(d.adapter, d.target, d.lun, running_goal(found_at), SEEK_RUNTIME);
    return;
  }
  if (data_at(d, found_at, position) < 0) std::printf(" - the tape could not be put back where it was found\n");
}

int contents_of_drive(FrameSource* source, const RunSettings* s, TapeContents* toc) {
  Drive d{s->input_adapter, s->input_target, s->input_lun};
  uint8_t position[SEARCH_POSITION_BYTES] = {};
  uint32_t result = scsi_read_position(d.adapter, d.target, d.lun, position);
  bool found_at_end = tape_status(result) == TAPE_END_OF_DATA;
  int64_t found_at = result == 0 ? running_index(position) : -1;

  int failed = 0;
  int misses = 0;
  // The program that starts last on the tape, as its search found it.
  int64_t last_start = -1;
  uint8_t last_position[SEARCH_POSITION_BYTES] = {};
  for (int number = 1; number <= kHighestProgram && misses < kTocGapLimit; ++number) {
    std::printf(" - searching for program %d (%zu found)      \r", number, toc->programs.size());
    std::fflush(stdout);
    if (listing_stopped()) {
      toc->complete = false;
      break;
    }
    int end = search_tape(d.adapter, d.target, d.lun, SEEK_PROGNUM, static_cast<uint32_t>(number), position, false,
                          listing_stopped);
    if (end == SEARCH_END_OF_DATA) {
      ++misses;
      continue;
    }
    if (end == SEARCH_ARRIVED && settle_position(d, position) != 0) end = SEARCH_FAILED;
    if (end != SEARCH_ARRIVED) {
      if (listing_stopped()) {
        toc->complete = false;
      } else {
        std::printf("\nThe search for program %d failed\n", number);
        failed = 1;
      }
      break;
    }
    misses = 0;
    TocProgram p;
    p.number = number;
    p.start_frame = running_index(position);
    p.abs_start = packed_code(position + kPositionAbsoluteTime);
    if (p.start_frame > last_start) {
      last_start = p.start_frame;
      std::memcpy(last_position, position, sizeof last_position);
    }
    read_head(source, &p);
    toc->programs.push_back(p);
  }
  std::printf("\n");

  if (!failed && toc->complete) {
    // The last program on the tape runs to the end of the data; without
    // programs the data is searched from the beginning. A drive that gives
    // no running time leaves the end unknown.
    bool unknown_start = false;
    for (const TocProgram& p : toc->programs) unknown_start = unknown_start || p.start_frame < 0;
    if (!unknown_start) {
      bool from_program = last_start >= 0;
      toc->end_frame = find_end(d, from_program ? last_start : 0, from_program, last_position, &toc->end_abs);
      std::printf("\n");
      if (toc->end_frame < 0 && !listing_stopped()) std::printf("The end of the data was not found\n");
    }
    if (listing_stopped()) toc->complete = false;
  }
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
  RunRecord run;
  open_run_record(&run, s, "TOC", s->base_name[0] ? s->base_name : "TOC");
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
