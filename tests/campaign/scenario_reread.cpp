// /BITTERN and /KESTREL /REREAD runs: frames that misread now and then
// (damaged or unreadable), LOCATEs that stop early, sometimes a Ctrl-C.
// Whatever the re-reads find, the image (or the WAV file of a plain
// recording) holds the tape's frames in order, each once: a record is the
// frame, a damaged copy of a flaky one, or the stand-in of an unreadable one
// that no pass could read. The exit code is 5 when a record is damaged or a
// stand-in, 6 when the run was cut short.
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
  // /KESTREL reads a plain recording (48 kHz, no blank tape) into one WAV
  // file whose every frame is 5760 bytes of its audio.
  bool wav = rng_chance(rng, 0.4);
  if (wav) {
    tape_record(&bus.input, Recording{.program = 1}, rng_range(rng, 40, 900));
    if (rng_chance(rng, 0.5)) tape_record(&bus.input, Recording{.program = 2}, rng_range(rng, 1, 400));
  } else {
    bus.input = random_tape(rng);
  }
  int frames = static_cast<int>(bus.input.frames.size());
  bool stopeot = !wav && rng_chance(rng, 0.4);
  int passes = rng_range(rng, 1, 8);
  RunPlan plan;
  plan.args = {wav ? "/KESTREL" : "/BITTERN", "RR", "/INPUTID", "0:4", "/REREAD", std::to_string(passes)};
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
      // The image keeps a stand-in for a frame no pass reads; a WAV file
      // ends before it, which is not what is checked here.
      bool gone = never && i > 0 && !wav;
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
  std::vector<std::string> files = {"bus.ini"};
  files.insert(files.end(), wav ? std::initializer_list<std::string>{"RR001.wav", "RR001.log"}
                                : std::initializer_list<std::string>{"RR.img"});
  put_input_tape(bus, dir, "tape.dat", &files);
  *describe = plan.describe();

  // The frames a run without any misread saves.
  std::vector<size_t> saved;
  if (wav) {
    for (size_t i = 0; i < bus.input.frames.size(); ++i) saved.push_back(i);
  } else {
    saved = model_dump(stopeot, &bus, "RR.img", false).saved;
  }
  ProcessResult result = run_plan(plan, dir);

  size_t partial = 0;
  std::vector<DatFrame> records;
  if (wav) {
    // The WAV file's frames as records with the tape's subcode, to be
    // checked as the image's are.
    WavFile file = read_wav(dir + "/RR001.wav");
    check(v, file.valid, "RR001.wav: the header does not agree with the file");
    partial = file.data.size() % DAT_AUDIO_BYTES;
    for (size_t i = 0; (i + 1) * DAT_AUDIO_BYTES <= file.data.size(); ++i) {
      DatFrame record = i < saved.size() ? bus.input.frames[i] : DatFrame{};
      std::memcpy(record.audio, file.data.data() + i * DAT_AUDIO_BYTES, DAT_AUDIO_BYTES);
      // Altered samples of a flaky frame: a damaged copy, both channels flagged.
      if (flaky.count(i) && std::memcmp(record.audio, bus.input.frames[i].audio, DAT_AUDIO_BYTES) != 0)
        record.interpolate_flags |= 0x60;
      records.push_back(record);
    }
  } else {
    records = read_frames(dir + "/RR.img", &partial);
  }
  check(v, partial == 0, "the output ends in a part of a frame");
  if (interrupted)
    check(v, records.size() <= saved.size(), "more frames than the tape has to give");
  else
    check(v, records.size() == saved.size(),
          "the output holds " + std::to_string(records.size()) + " frames, expected " + std::to_string(saved.size()));
  size_t bad = records.size();
  for (size_t i = 0; i < records.size() && i < saved.size() && bad == records.size(); ++i) {
    size_t index = saved[i];
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
  bool damaged = std::any_of(records.begin(), records.end(), [](const DatFrame& r) { return r.interpolate_flags; });
  int expected = exit_code_of(false, damaged);
  // A Ctrl-C may come after the last record, and still end the run early.
  if (interrupted && (result.exit_code == 6 || records.size() < saved.size())) expected = 6;
  check_process(v, result, expected);
}
