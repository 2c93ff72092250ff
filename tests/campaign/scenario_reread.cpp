// /BITTERN /REREAD runs: frames that misread now and then (damaged or
// unreadable), LOCATEs that stop early, sometimes a Ctrl-C. Whatever the
// re-reads find, the image holds the tape's frames in order, each once: a
// record is the frame, a damaged copy of a flaky one, or the stand-in of an
// unreadable one that no pass could read.
#include <algorithm>
#include <cstring>
#include <set>

#include "tests/campaign/scenarios.h"

namespace {

// A damaged copy as the virtual drive gives it.
DatFrame damaged_copy(DatFrame frame) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&frame);
  for (size_t i = 1; i < DAT_AUDIO_BYTES; i += 7) bytes[i] ^= 0x40;
  frame.interpolate_flags |= 0x60;
  return frame;
}

bool is_stand_in(const DatFrame& record) {
  if (record.interpolate_flags != 0x60) return false;
  return std::all_of(std::begin(record.audio), std::end(record.audio), [](uint8_t b) { return b == 0; });
}

}  // namespace

void scenario_reread(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  bus.input = random_tape(rng);
  int frames = static_cast<int>(bus.input.frames.size());
  bool stopeot = rng_chance(rng, 0.15);
  int passes = rng_range(rng, 1, 8);
  RunPlan plan;
  plan.args = {"/BITTERN", "RR", "/INPUTID", "0:4", "/REREAD", std::to_string(passes)};
  if (stopeot) plan.args.push_back("/STOPEOT");
  BusKeys keys = {{"cassette", "tape.dat"}, {"seed", std::to_string(rng_range(rng, 0, 1 << 30))}};
  // Flaky frames alone and in clusters, some never readable.
  std::set<size_t> flaky, unreadable;
  std::string flaky_list, unreadable_list;
  int clusters = rng_range(rng, 1, 6);
  for (int c = 0; c < clusters; ++c) {
    int at = rng_chance(rng, 0.2) ? rng_range(rng, 0, 3) : rng_range(rng, 0, frames - 1);
    int length = rng_chance(rng, 0.5) ? 1 : rng_range(rng, 2, 12);
    std::string p = rng_chance(rng, 0.3) ? ":1" : rng_chance(rng, 0.5) ? "" : ":0.8";
    bool never = rng_chance(rng, 0.3);
    for (int i = at; i < std::min(at + length, frames); ++i) {
      if (flaky.count(static_cast<size_t>(i)) || unreadable.count(static_cast<size_t>(i))) continue;
      // A frame that can never be read would end the image at the frame
      // before it only when it is the first; keep the first readable.
      bool gone = never && i > 0;
      (gone ? unreadable : flaky).insert(static_cast<size_t>(i));
      (gone ? unreadable_list : flaky_list) += std::to_string(i) + p + " ";
    }
  }
  if (!flaky_list.empty()) keys.push_back({"flaky", flaky_list});
  if (!unreadable_list.empty()) keys.push_back({"flaky_unreadable", unreadable_list});
  int slop = rng_range(rng, 0, 8);
  keys.push_back({"locate_slop", std::to_string(slop)});
  add_fault(v, "flaky frames", flaky_list + "/ unreadable " + unreadable_list);
  add_fault(v, "locate slop", std::to_string(slop));
  bool interrupted = rng_chance(rng, 0.2);
  if (interrupted) {
    int at = rng_range(rng, 1, frames * 2 + 5);
    plan.bus_keys.push_back({"interrupt_at", std::to_string(at)});
    add_fault(v, "SIGINT", "at transfer " + std::to_string(at));
  }
  plan.drives = {{"0:4", keys}};
  std::vector<std::string> files = {"bus.ini", "RR.img"};
  put_input_tape(bus, dir, "tape.dat", &files);
  *describe = plan.describe();

  // The frames a run without any misread saves.
  DumpOutcome model = model_dump(stopeot, &bus, "RR.img", false);
  ProcessResult result = run_plan(plan, dir);

  size_t partial = 0;
  std::vector<DatFrame> records = read_frames(dir + "/RR.img", &partial);
  check(v, partial == 0, "the image ends in a part of a record");
  if (interrupted)
    check(v, records.size() <= model.saved.size(), "more records than the tape has frames to give");
  else
    check(v, records.size() == model.saved.size(),
          "the image holds " + std::to_string(records.size()) + " records, expected " +
              std::to_string(model.saved.size()));
  size_t bad = records.size();
  for (size_t i = 0; i < records.size() && i < model.saved.size() && bad == records.size(); ++i) {
    size_t index = model.saved[i];
    const DatFrame& want = bus.input.frames[index];
    bool same = std::memcmp(&records[i], &want, sizeof want) == 0;
    if (!same && flaky.count(index)) {
      DatFrame copy = damaged_copy(want);
      same = std::memcmp(&records[i], &copy, sizeof copy) == 0;
    }
    if (!same && unreadable.count(index)) same = is_stand_in(records[i]);
    if (!same) bad = i;
  }
  check(v, bad == records.size(),
        "record " + std::to_string(bad) + " is not the tape's frame there: a frame lost, doubled or out of order");
  check_files(v, dir, files);
  check_process(v, result, 0);
}
