// SPDX-License-Identifier: MIT
// Tapes and faults drawn for the scenarios.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/campaign/scenarios.h"
#include "base/dat_format.h"
#include "tests/support/temp_dir.h"

namespace {

const uint8_t kFlagValues[] = {0x20, 0x21, 0x22, 0x23, 0x40, 0x44, 0x48, 0x4C, 0x60, 0x65, 0x6F, 0x80, 0xEF, 0x11};

// Past this many polls the keys no longer fit in the pipe before kestrel starts.
const int kMostKeys = 60000;

int pick_length(Rng* rng) {
  // Short recordings meet the 300-frame rules from both sides.
  return rng_chance(rng, 0.35) ? rng_range(rng, 1, 299) : rng_range(rng, 300, 900);
}

}  // namespace

Tape random_tape(Rng* rng) {
  Tape tape;
  if (rng_chance(rng, 0.25)) tape_blank(&tape, rng_range(rng, 1, 70));
  if (rng_chance(rng, 0.2)) {
    // A recorder's lead-in, which /REWIND passes as it passes blank tape.
    size_t first = tape_record(&tape, Recording{.program = 1, .times = rng_chance(rng, 0.5)}, rng_range(rng, 1, 130));
    tape_mark_lead_in(&tape, first, tape.frames.size());
  }
  int programs = rng_range(rng, 1, 4);
  for (int p = 1; p <= programs; ++p) {
    Recording r;
    r.program = p;
    int kind = rng_range(rng, 0, 9);
    r.rate_code = kind < 5 ? 0 : kind < 7 ? 1 : 2;
    r.long_play = kind >= 8;
    r.start_id_frames = rng_chance(rng, 0.8) ? rng_range(rng, 1, 310) : 0;
    r.times = rng_chance(rng, 0.95);
    r.scms = rng_range(rng, 0, 3);
    tape_record(&tape, r, pick_length(rng));
    if (rng_chance(rng, 0.2)) tape_blank(&tape, rng_chance(rng, 0.5) ? rng_range(rng, 1, 61) : rng_range(rng, 62, 90));
  }
  if (rng_chance(rng, 0.6)) tape_blank(&tape, rng_range(rng, 1, 80));
  int flagged = std::max(0, rng_range(rng, -3, 6));
  for (int i = 0; i < flagged; ++i) {
    size_t index = static_cast<size_t>(rng_range(rng, 0, static_cast<int>(tape.frames.size()) - 1));
    tape_flag(&tape, index, kFlagValues[rng_range(rng, 0, sizeof kFlagValues - 1)]);
  }
  return tape;
}

std::string draw_read_faults(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* verdict) {
  int frames = static_cast<int>(bus->input.frames.size());
  bool ready = true;
  int not_ready = 0;  // answers of NOT READY to the set-up's polls
  if (rng_chance(rng, 0.03)) {
    // No cassette in the drive: nothing is ever ready and every read fails.
    keys->erase(std::remove_if(keys->begin(), keys->end(), [](const auto& k) { return k.first == "cassette"; }),
                keys->end());
    bus->input_tape = false;
    ready = false;
    add_fault(verdict, "no tape");
  } else if (rng_chance(rng, 0.03)) {
    bus->input.frames.clear();
    frames = 0;
    add_fault(verdict, "empty cassette");
  }
  if (rng_chance(rng, 0.03)) {
    keys->push_back({"density_stuck", "yes"});
    bus->input_audio = false;
    add_fault(verdict, "drive stays in data mode");
  }
  if (rng_chance(rng, 0.35) && frames > 0) {
    std::string list;
    int count = rng_range(rng, 1, 3);
    for (int i = 0; i < count; ++i) {
      int at = rng_chance(rng, 0.15) ? rng_range(rng, 0, std::min(2, frames - 1)) : rng_range(rng, 0, frames - 1);
      bus->read_errors.insert(static_cast<size_t>(at));
      if (!list.empty()) list += ',';
      list += std::to_string(at);
    }
    // Listed as read errors, or as flaky frames that misread on every read.
    bool flaky = rng_chance(rng, 0.3);
    if (flaky) {
      std::string always;
      for (size_t at : bus->read_errors) always += std::to_string(at) + ":1 ";
      keys->push_back({"flaky_unreadable", always});
    } else {
      keys->push_back({"read_errors", list});
    }
    add_fault(verdict, flaky ? "unreadable flaky frames" : "read errors", list);
  }
  if (rng_chance(rng, 0.15)) {
    if (rng_chance(rng, 0.3)) {
      keys->push_back({"not_ready", "always"});
      ready = false;
      add_fault(verdict, "never ready");
    } else {
      // The set-up waits 60 seconds in steps of 100 ms: 600 answers.
      not_ready = rng_range(rng, 1, 700);
      keys->push_back({"not_ready", std::to_string(not_ready)});
      add_fault(verdict, "not ready", std::to_string(not_ready));
    }
  }
  // What real drives do after power-on and a load, which kestrel waits out:
  // a UNIT ATTENTION, and NOT READY while the tape is threaded (answered to
  // the set-up's polls before the not_ready ones).
  if (rng_chance(rng, 0.15)) {
    const char* reason = rng_chance(rng, 0.5) ? "power_on" : "medium_changed";
    keys->push_back({"unit_attention", reason});
    add_fault(verdict, "unit attention", reason);
  }
  if (rng_chance(rng, 0.15)) {
    int threading = rng_range(rng, 1, 30);
    keys->push_back({"becoming_ready", std::to_string(threading)});
    if (bus->input_tape) {
      not_ready += threading;
      bus->becoming_ready = threading;
    }
    add_fault(verdict, "becoming ready", std::to_string(threading));
  }
  ready = ready && not_ready <= 600;
  return std::string(" - waiting (up to 60 seconds) for tape to mount...") +
         (ready ? "done\n" : "failed, continuing anyway\n");
}

std::string draw_write_faults(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* verdict, int span) {
  return draw_write_faults(rng, bus, keys, verdict, std::vector<WriteSpan>{{1, std::max(span, 1)}}, false);
}

std::string draw_write_faults(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* verdict,
                              const std::vector<WriteSpan>& spans, bool always) {
  // A write of one of the spans, each span as likely as another.
  auto pick = [&] {
    const WriteSpan& s = spans[static_cast<size_t>(rng_range(rng, 0, static_cast<int>(spans.size()) - 1))];
    return rng_range(rng, s.first, std::max(s.first, s.last));
  };
  int kind = rng_range(rng, 0, always ? 5 : 9);
  if (kind <= 2) {
    static const char* const kKinds[] = {"", ":positioning", ":medium"};
    int n = pick();
    std::string value = std::to_string(n) + kKinds[kind];
    keys->push_back({"write_error", value});
    bus->write_error_at = static_cast<uint32_t>(n);
    bus->write_error_word = kind == 2 ? kWordWriteMedium : kWordPositioning;
    add_fault(verdict, std::string("write error N") + kKinds[kind], value);
  } else if (kind == 3) {
    keys->push_back({"write_protect", "yes"});
    bus->write_protect = true;
    add_fault(verdict, "write protect");
  } else if (kind == 4) {
    int capacity = pick() - 1;
    keys->push_back({"capacity", std::to_string(capacity)});
    bus->capacity = capacity;
    add_fault(verdict, "capacity", std::to_string(capacity));
  } else if (kind == 5 && rng_chance(rng, 0.3)) {
    keys->push_back({"density_stuck", "yes"});
    bus->output_audio = false;
    add_fault(verdict, "output drive stays in data mode");
  }
  bool ready = true;
  if (rng_chance(rng, 0.1)) {
    int answers = rng_range(rng, 1, 700);
    keys->push_back({"not_ready", std::to_string(answers)});
    ready = answers <= 600;
    add_fault(verdict, "output not ready", std::to_string(answers));
  }
  return std::string(" - waiting (up to 60 seconds) for tape to mount...") +
         (ready ? "done\n" : "failed, continuing anyway\n");
}

void draw_interruption(Rng* rng, ModelBus* bus, RunPlan* plan, Verdict* verdict, int span, bool must_end) {
  span = std::clamp(span, 1, kMostKeys);
  double roll = std::uniform_real_distribution<double>(0, 1)(rng->engine);
  if (must_end) roll /= 2;
  if (roll < 0.25) {
    int at = rng_range(rng, 1, span);
    plan->bus_keys.push_back({"interrupt_at", std::to_string(at)});
    bus->interrupt_at = static_cast<uint32_t>(at);
    add_fault(verdict, "SIGINT", "at transfer " + std::to_string(at));
  } else if (roll < 0.5) {
    int at = rng_range(rng, 1, span);
    // Other keys first: each poll reads one of them, so ESC is read at poll `at`.
    plan->options.stdin_data = std::string(static_cast<size_t>(at - 1), 'k') + "\x1b";
    bus->esc_poll = at;
    add_fault(verdict, "ESC", "at poll " + std::to_string(at));
  }
}

namespace {

// The time bytes of a frame's last pack of item (1 program time, 2 absolute
// time); false when it has none, or none that is a time code.
bool pack_time(const DatFrame& frame, int item, uint8_t* bytes) {
  bool found = false;
  for (const uint8_t* pack : frame.pack)
    if ((pack[0] >> 4) == item) {
      std::memcpy(bytes, pack + 3, 4);
      found = true;
    }
  if (!found) return false;
  for (int i = 0; i < 4; ++i)
    if ((bytes[i] >> 4) > 9 || (bytes[i] & 15) > 9) return false;
  return true;
}

// "h:m:s:f" of four BCD bytes, as /SEEK takes a time.
std::string seek_time_text(const uint8_t* bytes) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text.push_back(':');
    text.append(std::to_string((bytes[i] >> 4) * 10 + (bytes[i] & 15)));
  }
  return text;
}

}  // namespace

long long draw_seek(Rng* rng, const std::vector<DatFrame>& frames, RunPlan* plan, BusKeys* keys, Verdict* v) {
  if (frames.empty() || !rng_chance(rng, 0.3)) return -1;
  size_t at = static_cast<size_t>(rng_range(rng, 0, static_cast<int>(frames.size()) - 1));
  std::string type = "RUNTIME", position;
  size_t sought = at;
  uint8_t t[4];
  dat_time_code_of_frames(static_cast<uint64_t>(at), t);
  position = seek_time_text(t);
  int kind = rng_range(rng, 0, 3);
  const DatFrame& f = frames[at];
  int hundreds = f.sid_pno1 >> 4, tens = f.sid_pno23 >> 4, units = f.sid_pno23 & 15;
  int number = hundreds <= 9 && tens <= 9 && units <= 9 ? hundreds * 100 + tens * 10 + units : 0;
  if (kind == 0 && number >= 1 && number <= 799) {
    type = "PROGNUM";
    position = std::to_string(number);
    sought = tape_first_of(frames, number);
  } else if ((kind == 1 || kind == 2) && pack_time(f, kind == 1 ? PACK_ITEM_ABSOLUTE_TIME : PACK_ITEM_PROGRAM_TIME, t)) {
    // The drive finds the first frame that shows the time.
    int item = kind == 1 ? PACK_ITEM_ABSOLUTE_TIME : PACK_ITEM_PROGRAM_TIME;
    type = kind == 1 ? "ABSTIME" : "PROGTIME";
    position = seek_time_text(t);
    uint8_t other[4];
    sought = 0;
    while (!(pack_time(frames[sought], item, other) && std::memcmp(other, t, 4) == 0)) ++sought;
  }
  int slop = rng_range(rng, 0, 8);
  std::string seed = std::to_string(rng_range(rng, 1, 1000000));
  keys->push_back({"locate_slop", std::to_string(slop)});
  keys->push_back({"seed", seed});
  plan->args.insert(plan->args.end(), {"/SEEK", type, position});
  add_fault(v, "seek, locate slop", type + " " + position + " (frame " + std::to_string(sought) + "), slop " +
                                        std::to_string(slop) + ", seed " + seed);
  return static_cast<long long>(sought);
}

namespace {

// The set-up's wait ended in time (or none was drawn).
bool waited(const std::string& wait_line) {
  const std::string ready = "done\n";
  return wait_line.empty() ||
         (wait_line.size() >= ready.size() && wait_line.compare(wait_line.size() - ready.size(), ready.size(), ready) == 0);
}

}  // namespace

bool seek_possible(const ModelBus& bus, bool input, const std::string& wait_line) {
  bool healthy = input ? bus.input_tape && bus.input_audio : bus.output_audio;
  return healthy && waited(wait_line) && bus.interrupt_at == 0;
}

void draw_lost_read(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* v, const std::string& wait_line, bool seek,
                    bool load_read) {
  // A wait that gave up leaves answers of NOT READY to the READs, which
  // kestrel waits out and the drive counts; a seek reads on its own.
  if (seek || !waited(wait_line) || !rng_chance(rng, 0.12)) return;
  static const struct {
    LostRead lost;
    const char* key;
    const char* kind;
  } kKinds[] = {{LOST_SHORT, "short_read", "short read"},
                {LOST_HANG, "hang_at", "hang"},
                {LOST_RESET, "bus_reset_at", "bus reset"}};
  const auto& kind = kKinds[rng_range(rng, 0, 2)];
  // Any READ of the run, the first and those at the end of the recorded data too.
  int at = rng_range(rng, 1, static_cast<int>(bus->input.frames.size()) + 2);
  // The drive counts the READs it answered NOT READY after the load, which kestrel repeats.
  std::string value = std::to_string(at + (load_read ? bus->becoming_ready : 0));
  if (kind.lost == LOST_SHORT && rng_chance(rng, 0.5)) value += ":" + std::to_string(rng_range(rng, 1, 5821));
  keys->push_back({kind.key, value});
  bus->lost = kind.lost;
  bus->lost_at = static_cast<uint32_t>(at);
  add_fault(v, kind.kind, "at READ " + value);
}

std::string draw_slow_rewind(Rng* rng, const ModelBus& bus, BusKeys* keys, Verdict* v, bool rewind,
                             const std::string& wait_line, bool seek) {
  if (!rewind || seek || !rng_chance(rng, 0.2)) return "";
  // Within the REWIND's time-out of five minutes.
  std::string seconds = std::to_string(rng_range(rng, 2, 240));
  keys->push_back({"locate_seconds", seconds});
  add_fault(v, "slow rewind", seconds + " s");
  return bus.input_tape && waited(wait_line) ? " - rewinding 0:4 input tape to beginning...done\n" : "";
}

void check_seek(Verdict* v, const ProcessResult& result, const RunPlan& plan) {
  auto at = std::find(plan.args.begin(), plan.args.end(), "/SEEK");
  if (at == plan.args.end() || plan.args.end() - at < 3) return;
  std::string goal = at[1] == "PROGNUM" ? "program number " + at[2] : "time ";
  if (at[1] != "PROGNUM") {
    // As the seek prints a time: two digits a number.
    int n[4] = {};
    std::sscanf(at[2].c_str(), "%d:%d:%d:%d", &n[0], &n[1], &n[2], &n[3]);
    char text[32];
    std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d:%.2d", n[0], n[1], n[2], n[3]);
    goal += text;
  }
  check_said(v, result, " - seeking to tape " + goal + "\n");
  check_not_said(v, result, "Drive didn't complete seek");
}

bool draw_early_interruption(Rng* rng, int seek_frames, RunPlan* plan, BusKeys* keys, Verdict* v,
                             EarlyOutcome* model) {
  if (!rng_chance(rng, 0.06)) return false;
  bool seek = seek_frames >= 2 && rng_chance(rng, 0.5);
  int poll = 0;
  if (!seek) {
    // The set-up polls once, then up to 600 times in 60 seconds.
    int answers = rng_chance(rng, 0.3) ? 601 : rng_range(rng, 1, 700);
    keys->push_back({"not_ready", answers > 600 ? "always" : std::to_string(answers)});
    poll = rng_range(rng, 1, std::min(answers, 601));
    add_fault(v, "SIGINT in the wait for the tape", "at poll " + std::to_string(poll));
  } else {
    // A search of polls READ POSITIONs: the last in the watch shows the target.
    int polls = rng_range(rng, 2, 40);
    int target = rng_range(rng, 1, seek_frames - 1);
    uint8_t t[4];
    dat_time_code_of_frames(static_cast<uint64_t>(target), t);
    std::string at;
    for (uint8_t b : t) {
      if (!at.empty()) at.push_back(':');
      at.append(std::to_string((b >> 4) * 10 + (b & 15)));
    }
    plan->args.insert(plan->args.end(), {"/SEEK", "RUNTIME", at});
    keys->push_back({"search_polls", std::to_string(polls)});
    poll = rng_range(rng, 2, 2 * polls + 2);
    add_fault(v, "SIGINT in a seek", "to " + at + " at poll " + std::to_string(poll));
  }
  plan->bus_keys.push_back({"interrupt_at_poll", std::to_string(poll)});
  *model = model_early_interruption(seek, poll);
  return true;
}

void check_early_interruption(Verdict* v, const ProcessResult& result, const EarlyOutcome& model) {
  check_process(v, result, 6);
  for (const std::string& text : model.said) check_said(v, result, text);
  for (const std::string& text : model.not_said) check_not_said(v, result, text);
  size_t lines = count_said(result, "   - Present seek position: ");
  check(v, lines == model.progress_lines,
        std::to_string(lines) + " seek progress lines, expected " + std::to_string(model.progress_lines));
}

long long set_file_limit(Rng* rng, RunPlan* plan, Verdict* verdict, long long low, long long high) {
  long long limit = std::uniform_int_distribution<long long>(low, high)(rng->engine);
  plan->limit_from_shell = rng_chance(rng, 0.5);
  if (plan->limit_from_shell) limit -= limit % 1024;
  plan->file_size_limit = limit;
  add_fault(verdict, plan->limit_from_shell ? "file-size limit (ulimit)" : "file-size limit", std::to_string(limit));
  return limit;
}

BaseName random_base(Rng* rng) {
  static const char* const kTyped[] = {"TAPE", "tape", "Dat_7", "x"};
  BaseName base;
  base.typed = kTyped[rng_range(rng, 0, 3)];
  base.upper = base.typed;
  std::transform(base.upper.begin(), base.upper.end(), base.upper.begin(), [](unsigned char c) {
    return static_cast<char>(std::toupper(c));
  });
  return base;
}

void add_switches(Rng* rng, RunPlan* plan, const std::vector<std::string>& switches) {
  std::vector<std::string> given = switches;
  std::shuffle(given.begin(), given.end(), rng->engine);
  plan->args.insert(plan->args.end(), given.begin(), given.end());
}

std::vector<DatFrame> read_frames(const std::string& path, size_t* partial_bytes) {
  std::string bytes = read_file(path);
  *partial_bytes = bytes.size() % sizeof(DatFrame);
  std::vector<DatFrame> frames(bytes.size() / sizeof(DatFrame));
  if (!frames.empty()) std::memcpy(frames.data(), bytes.data(), frames.size() * sizeof(DatFrame));
  return frames;
}

void block_file(const std::string& dir, const std::string& name, std::vector<std::string>* files, Verdict* verdict) {
  mkdir((dir + "/" + name).c_str(), 0755);
  files->push_back(name);
  add_fault(verdict, "file cannot be created:", name);
}

void put_input_tape(const ModelBus& bus, const std::string& dir, const std::string& name,
                    std::vector<std::string>* files) {
  if (!bus.input_tape) return;
  tape_write(bus.input, dir + "/" + name);
  files->push_back(name);
}

std::vector<std::string> leave_old_files(Rng* rng, const std::string& dir, const std::vector<std::string>& names,
                                         Verdict* verdict) {
  std::vector<std::string> left;
  if (!rng_chance(rng, 0.1)) return left;
  for (const std::string& name : names) {
    if (file_exists(dir + "/" + name) || !rng_chance(rng, 0.5)) continue;
    write_file(dir + "/" + name, std::string(static_cast<size_t>(rng_range(rng, 0, 20000000)), 'o'));
    left.push_back(name);
    add_fault(verdict, "older file in the way:", name);
  }
  return left;
}

void keep_untouched(const std::vector<std::string>& old_files, const std::vector<std::string>& touched,
                    std::vector<std::string>* files) {
  for (const std::string& name : old_files)
    if (std::find(touched.begin(), touched.end(), name) == touched.end()) files->push_back(name);
}

void check_output_tape(Verdict* v, const std::string& path, const ModelBus& bus, bool ignore_date,
                       std::vector<std::string>* files) {
  if (!file_exists(path)) {
    check(v, bus.output.empty(), "the output tape was not written");
    return;
  }
  files->push_back(path.substr(path.rfind('/') + 1));
  size_t partial = 0;
  std::vector<DatFrame> tape = read_frames(path, &partial);
  std::vector<DatFrame> expected = bus.output;
  if (ignore_date) {
    for (std::vector<DatFrame>* frames : {&tape, &expected})
      for (DatFrame& f : *frames) std::memset(f.pack[4], 0, DAT_PACK_BYTES);
  }
  check(v, partial == 0, "the output tape ends in a part of a frame (" + std::to_string(partial) + " bytes)");
  check(v, tape.size() == expected.size(),
        "the output tape holds " + std::to_string(tape.size()) + " frames, expected " + std::to_string(expected.size()));
  std::string diff = difference(frames_bytes(tape), frames_bytes(expected));
  check(v, diff.empty(), "output tape: " + diff);
}
