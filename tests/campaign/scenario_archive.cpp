// SPDX-License-Identifier: MIT
// The archival modes: /KESTREL /FROMIMAGE on images that end early or hold
// damaged frames, and /TOC on a drive (with read faults) or on an image,
// each checked against the model.
#include <algorithm>
#include <fstream>

#include "datframe/frame_copy.h"
#include "tests/campaign/scenarios.h"
#include "tests/support/temp_dir.h"

namespace {

// Gives the tape's programs other numbers, rising with gaps (up to 12
// missing numbers): 1, 2, 3 may become 2, 5, 16.
std::vector<int> renumber(Rng* rng, Tape* tape) {
  std::vector<int> numbers;
  int next = 0;
  int map[800] = {};
  for (DatFrame& f : tape->frames) {
    int hundreds = f.sid_pno1 >> 4, tens = f.sid_pno23 >> 4, units = f.sid_pno23 & 0x0F;
    if (hundreds > 9 || tens > 9 || units > 9) continue;
    int n = hundreds * 100 + tens * 10 + units;
    if (n < 1 || n > 799) continue;
    if (map[n] == 0) {
      next += rng_range(rng, 1, 13);
      map[n] = next;
      numbers.push_back(next);
    }
    int m = map[n];
    f.sid_pno1 = static_cast<uint8_t>((f.sid_pno1 & 0x0F) | (m / 100) << 4);
    f.sid_pno23 = static_cast<uint8_t>((m / 10 % 10) << 4 | m % 10);
  }
  return numbers;
}

}  // namespace

void scenario_from_image(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  bus.input = random_tape(rng);
  std::vector<DatFrame>& frames = bus.input.frames;
  // Damaged frames: flagged by the drive that read the tape, their audio garbled.
  if (rng_chance(rng, 0.4)) {
    int count = rng_range(rng, 1, 5);
    for (int i = 0; i < count; ++i) {
      DatFrame& f = frames[static_cast<size_t>(rng_range(rng, 0, static_cast<int>(frames.size()) - 1))];
      f.interpolate_flags = static_cast<uint8_t>(rng_chance(rng, 0.5) ? 0x40 : 0x60);
      for (int k = 0; k < 16; ++k) f.audio[rng_range(rng, 0, DAT_AUDIO_BYTES - 1)] ^= 0x5A;
    }
    add_fault(v, "damaged frames in the image", std::to_string(count));
  }
  // Stand-ins a dump kept for frames it could not read: read from the image
  // as a drive reads a frame it cannot (the model takes them for read errors).
  if (rng_chance(rng, 0.25)) {
    int count = rng_range(rng, 1, 3);
    std::string list;
    for (int i = 0; i < count; ++i) {
      size_t at = static_cast<size_t>(rng_range(rng, 0, static_cast<int>(frames.size()) - 1));
      FrameKey key{rng_chance(rng, 0.7) ? static_cast<int64_t>(at) : -1, rng_chance(rng, 0.7) ? 0x001 : -1};
      DatFrame like = frames[at];
      frame_make_stand_in(&frames[at], &key, &like);
      bus.read_errors.insert(at);
      list += std::to_string(at) + " ";
    }
    add_fault(v, "stand-ins in the image", list);
  }
  // An image that ends early, sometimes in a short record.
  size_t partial = 0;
  if (rng_chance(rng, 0.4)) {
    frames.resize(static_cast<size_t>(rng_range(rng, 0, static_cast<int>(frames.size()))));
    add_fault(v, "image ends early", std::to_string(frames.size()) + " frames");
  }
  if (rng_chance(rng, 0.2)) {
    partial = static_cast<size_t>(rng_range(rng, 1, DAT_FRAME_BYTES - 1));
    add_fault(v, "short last record", std::to_string(partial) + " bytes");
  }
  BaseName base = random_base(rng);
  RunPlan plan;
  plan.args = {"/KESTREL", base.typed, "/FROMIMAGE", "Saved.img"};
  ExtractSwitches sw = draw_extract_switches(rng, &plan);
  if (rng_chance(rng, 0.2)) {
    // ESC from the keyboard: each poll reads a key.
    int at = rng_range(rng, 1, static_cast<int>(frames.size()) + 5);
    plan.options.stdin_data = std::string(static_cast<size_t>(at - 1), 'k') + "\x1b";
    bus.esc_poll = at;
    add_fault(v, "ESC", "at poll " + std::to_string(at));
  }
  {
    std::ofstream image(dir + "/Saved.img", std::ios::binary);
    image << frames_bytes(frames) << std::string(partial, '\x33');
  }
  std::vector<std::string> expected_files = {"bus.ini", "Saved.img"};
  *describe = plan.describe();
  ProcessResult result = run_plan(plan, dir);
  check_not_said(v, result, "Configuring input drive");

  if (frames.empty()) {
    // No whole frame: nothing is read, no file is made.
    check_process(v, result, 6);
    check_said(v, result, partial ? "Saved.img holds " + std::to_string(partial) + " bytes, not one whole frame"
                                  : "Saved.img is empty");
    check_files(v, dir, expected_files);
    return;
  }
  // The image read as a drive reads a tape of its whole records, its
  // stand-ins as frames that cannot be read. Cut short, it does not say
  // that the recorded data has ended.
  std::erase_if(bus.read_errors, [&](size_t at) { return at >= frames.size(); });
  ExtractOutcome model = model_extract(sw, &bus, base.upper, 0, 0);
  if (partial) model.said.erase(std::remove(model.said.begin(), model.said.end(), " - end of the recorded data\n"),
                                model.said.end());
  std::vector<std::string> touched;
  check_tracks(v, dir, model, base.upper, -1, PLAIN_WAV, result, &expected_files, &touched);
  check_files(v, dir, expected_files);
  check_process(v, result, partial ? 6 : model.exit_code);
  if (partial) check_said(v, result, " - Saved.img ends in a short record of " + std::to_string(partial) + " bytes");
  check_messages(v, result, model.said,
                 {"first read audio block failed", "leadin read audio block failed", "loop2 read audio block failed",
                  "Cannot open", "write to "});
}

void scenario_toc(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  Tape tape = random_tape(rng);
  std::vector<int> numbers = renumber(rng, &tape);
  bool image = rng_chance(rng, 0.4);
  RunPlan plan;
  std::vector<size_t> unreadable;
  int slop = 0;
  std::vector<std::string> expected_files = {"bus.ini", "tape.dat"};
  tape_write(tape, dir + "/tape.dat");
  if (image) {
    plan.args = {"/TOC", "/FROMIMAGE", "tape.dat"};
  } else {
    plan.args = {"/TOC", "list", "/INPUTID", "0:4"};
    BusKeys keys = {{"cassette", "tape.dat"}};
    if (rng_chance(rng, 0.4)) {
      // Unreadable frames at the programs' starts, where the listing reads.
      std::string list;
      for (int n : numbers) {
        if (!rng_chance(rng, 0.5)) continue;
        size_t at = tape_first_of(tape.frames, n) + static_cast<size_t>(rng_range(rng, 0, 3));
        if (at >= tape.frames.size()) continue;
        unreadable.push_back(at);
        if (!list.empty()) list += ',';
        list += std::to_string(at);
      }
      if (!list.empty()) {
        keys.push_back({"read_errors", list});
        add_fault(v, "read errors", list);
      }
    }
    if (rng_chance(rng, 0.3)) keys.push_back({"search_polls", std::to_string(rng_range(rng, 1, 4))});
    // Searches that stop short of their frame.
    slop = rng_range(rng, 0, 8);
    if (slop > 0) {
      std::string seed = std::to_string(rng_range(rng, 1, 1000000));
      keys.insert(keys.end(), {{"locate_slop", std::to_string(slop)}, {"seed", seed}});
      add_fault(v, "locate slop", std::to_string(slop) + ", seed " + seed);
    }
    plan.drives = {{"0:4", keys}};
    plan.bus_keys = {{"stats", "stats.json"}};
    expected_files.push_back("stats.json");
  }
  add_switches(rng, &plan, {"/REWIND"});
  *describe = plan.describe();
  ProcessResult result = run_plan(plan, dir);
  check_process(v, result, 0);
  // The drive searches the numbers in turn, from the number of the tape's
  // first program on, and gives up after 10 missing in a row.
  std::vector<int> found;
  for (int n : numbers) {
    if (!image && !found.empty() && n - found.back() > 10) break;
    found.push_back(n);
  }
  std::string lines = toc_lines(tape.frames, found, unreadable);
  if (found.empty()) {
    check_said(v, result, "The tape holds no program numbers: ");
  } else {
    check_said(v, result, lines);
    check_said(v, result, "total: " + std::to_string(found.size()) + " programs, ");
  }
  if (!image) {
    // At most 10 frames a program; the tape's first 1000 frames for the
    // number of its first program when none is among the first ten numbers;
    // and to correct a search, the frames it stopped short (slop), or for a
    // program without program time whose first frame the drive cannot tell,
    // those of a step back (64) and on.
    std::string stats = read_file(dir + "/stats.json");
    double reads = stats_figure(stats, "reads"), locates = stats_figure(stats, "locates");
    double allowed = 10.0 * static_cast<double>(found.size()) + slop * locates;
    if (found.empty() || found.front() > 10) allowed += 1000;
    for (int n : found) {
      const DatFrame& first = tape.frames[tape_first_of(tape.frames, n)];
      bool timed = false;
      for (const uint8_t* pack : first.pack) timed = timed || (pack[0] >> 4) == PACK_ITEM_PROGRAM_TIME;
      if (!timed) allowed += 64 + 2 * slop;
    }
    check(v, reads >= 0 && reads <= allowed,
          std::to_string(reads) + " frames read for " + std::to_string(found.size()) + " programs, at most " +
              std::to_string(allowed));
    check_said(v, result, " - rewinding the tape\n");
  }
  check_files(v, dir, expected_files);
}
