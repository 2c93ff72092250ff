// SPDX-License-Identifier: MIT
// /BITTERN, /BUNTING and /PINTAIL runs: raw frames between tapes and image
// files under read and write faults, interruptions and a file-size limit.
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <map>
#include <set>

#include "base/dat_format.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "datframe/rescue_map.h"
#include "tests/campaign/scenarios.h"
#include "tests/support/cassette.h"
#include "tests/support/e2e/json.h"
#include "tests/support/temp_dir.h"

namespace {

const long long kFrameBytes = sizeof(DatFrame);

const std::vector<std::string> kImageFailures = {"read audio block failed", "Cannot open", "write to ", "read from ",
                                                 "write block fail", "block read fail", "block write fail"};

// The output drive at 0:5, sometimes with a recording already on its tape
// (written over in place; what lies beyond the new frames stays).
BusKeys output_drive(Rng* rng, ModelBus* bus, const std::string& dir) {
  if (rng_chance(rng, 0.4)) {
    Tape old = random_tape(rng);
    bus->output = old.frames;
    tape_write(old, dir + "/target.tape");
  }
  return {{"cassette", "target.tape"}};
}

// Sometimes a file-size limit that cuts the image or the tape short.
long long draw_file_limit(Rng* rng, Verdict* v, RunPlan* plan, double probability, int frames) {
  if (!rng_chance(rng, probability)) return -1;
  return set_file_limit(rng, plan, v, 0, (frames + 2) * kFrameBytes);
}

// The map beside the image: whole (never a part of one, whatever stopped the
// run), no record in it that is not in the image, each in the state of its
// record; finished when the dump came to its end (finished 1), not when it
// was cut off (0); -1: either. required: it must be there.
void check_map(Verdict* v, const std::string& dir, const std::string& image, int finished, bool required,
               std::vector<std::string>* files) {
  std::string name = image.substr(0, image.size() - 4) + ".map";
  if (file_exists(dir + "/" + image + ".json")) files->push_back(image + ".json");  // the image's own account
  if (file_exists(dir + "/" + name + ".tmp")) files->push_back(name + ".tmp");  // a write an abrupt end cut off
  if (!file_exists(dir + "/" + name)) {
    check(v, !required, name + " was not written");
    return;
  }
  files->push_back(name);
  RescueMap map;
  std::string why;
  int read = rescue_map_read(dir + "/" + name, &map, &why);
  check(v, read == 0, name + " cannot be read: " + why);
  if (read != 0) return;
  std::string bytes = read_file(dir + "/" + image);
  check(v, map.records.size() * sizeof(DatFrame) <= bytes.size(), name + " lists records the image does not hold");
  size_t wrong = 0;
  for (size_t i = 0; i < map.records.size() && (i + 1) * sizeof(DatFrame) <= bytes.size(); ++i)
    if (map.records[i].state != map_state_of(reinterpret_cast<const DatFrame*>(bytes.data() + i * sizeof(DatFrame))))
      ++wrong;
  check(v, wrong == 0, name + ": " + std::to_string(wrong) + " records in another state than the image's");
  if (finished >= 0) check(v, map.finished == (finished == 1), name + (finished ? " is not finished" : " is finished"));
}

}  // namespace

void scenario_dump(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  bus.input = random_tape(rng);
  // /STOPEOT reads on past unreadable frames and keeps a stand-in for each.
  bool stopeot = rng_chance(rng, 0.35);
  BaseName base = random_base(rng);
  std::string image = base.upper + ".img";
  RunPlan plan;
  plan.args = {"/BITTERN", base.typed, "/INPUTID", "0:4"};
  std::vector<std::string> switches;
  bool report = rng_chance(rng, 0.5);
  if (report) switches.push_back("/REPORT");
  if (stopeot) switches.push_back("/STOPEOT");
  bool rewind = rng_chance(rng, 0.3);
  if (rewind) switches.push_back("/REWIND");
  add_switches(rng, &plan, switches);
  BusKeys keys = {{"cassette", "tape.dat"}};
  std::string wait_line = draw_read_faults(rng, &bus, &keys, v);
  int frames = static_cast<int>(bus.input.frames.size());
  draw_interruption(rng, &bus, &plan, v, frames + 5, false);
  long long sought = seek_possible(bus, true, wait_line) ? draw_seek(rng, bus.input.frames, &plan, &keys, v) : -1;
  if (sought >= 0) bus.input_position = static_cast<size_t>(sought);  // the image begins with the frame sought
  draw_lost_read(rng, &bus, &keys, v, wait_line, sought >= 0, false);
  std::string rewound = draw_slow_rewind(rng, bus, &keys, v, rewind, wait_line, sought >= 0);
  long long limit = draw_file_limit(rng, v, &plan, 0.2, frames);
  std::vector<std::string> files = {"bus.ini"};
  bool blocked = rng_chance(rng, 0.05);
  if (blocked) block_file(dir, image, &files, v);
  plan.drives = {{"0:4", keys}};
  put_input_tape(bus, dir, "tape.dat", &files);
  std::vector<std::string> old_files = leave_old_files(rng, dir, {image}, v);
  // An image in the way is a finished dump for all kestrel knows: it is dumped over when asked.
  if (!old_files.empty()) plan.args.push_back("/OVERWRITE");
  *describe = plan.describe();

  ModelBus again = bus;  // the same tape and faults, for the dump run again
  DumpOutcome model = model_dump(stopeot, &bus, image, blocked);
  ProcessResult result = run_plan(plan, dir);

  // Every frame up to where the dump ends is in the image, in order: the
  // tape's frame, or a stand-in at the place of one that could not be read.
  std::vector<DatFrame> saved = model.records;
  bool cut = limit >= 0 && static_cast<long long>(saved.size()) * kFrameBytes > limit;
  if (cut) {
    saved.resize(static_cast<size_t>(limit / kFrameBytes));  // only whole records stay
    model.said.resize(model.said_before_saving);  // what the run says later is not modelled
  }
  keep_untouched(old_files, model.image_created ? std::vector<std::string>{image} : std::vector<std::string>{},
                 &files);
  bool whole = (model.exit_code == 0 || model.exit_code == 5) && !cut;
  bool interrupted = bus.interrupt_at != 0 || bus.esc_poll != 0;
  if (model.image_created) {
    files.push_back(image);
    std::string diff = difference(read_file(dir + "/" + image), frames_bytes(saved));
    check(v, diff.empty(), image + ": " + diff);
    check_map(v, dir, image, whole ? 1 : interrupted ? 0 : -1, whole, &files);
  }
  bool report_written = true;
  if (report) {
    bool incomplete = model.exit_code == 6 || cut;
    report_written =
        check_report(v, dir, base.upper, model.report, incomplete, cut, result, limit >= 0, &files);
    if (!report_written) model.said.push_back(report_failure_line(result));
  }
  check_files(v, dir, files);
  check_process(v, result, cut || !report_written ? 6 : model.exit_code);
  check_said(v, result, wait_line);
  if (!rewound.empty()) check_said(v, result, rewound);
  check_said(v, result, " - closing input drive...\n");
  check_seek(v, result, plan);
  if (cut) model.said.push_back("write to " + image + " failed: File too large\n");
  check_messages(v, result, model.said, kImageFailures);

  // The same command again, uninterrupted: the dump goes on from its map and
  // ends with the image of the dump that was never cut off (or, on a tape
  // whose times do not tell the place again, refuses and changes nothing).
  if (!interrupted || !model.image_created || model.exit_code != 6 || limit >= 0 || blocked || sought >= 0 ||
      again.lost != LOST_NONE || !rng_chance(rng, 0.7))
    return;
  RescueMap map;
  std::string why;
  if (rescue_map_read(dir + "/" + base.upper + ".map", &map, &why) != 0 || map.finished || map.records.empty()) return;
  again.interrupt_at = 0;
  again.esc_poll = 0;
  RunPlan second = plan;
  second.bus_keys.erase(std::remove_if(second.bus_keys.begin(), second.bus_keys.end(),
                                       [](const auto& k) { return k.first == "interrupt_at"; }),
                        second.bus_keys.end());
  second.options.stdin_data.clear();
  second.args.erase(std::remove(second.args.begin(), second.args.end(), "/OVERWRITE"), second.args.end());
  *describe += " | run again";
  std::string before = read_file(dir + "/" + image);
  DumpOutcome whole_model = model_dump(stopeot, &again, image, false);
  ProcessResult resumed = run_plan(second, dir);
  if (resumed.out.find(" was dumped from another tape (") != std::string::npos ||
      resumed.out.find("the dump cannot go on") != std::string::npos) {
    check(v, read_file(dir + "/" + image) == before, image + " changed by a dump that did not go on");
    check_process(v, resumed, 6);
    return;
  }
  check_said(v, resumed, "Going on with the dump in " + image + " after ");
  std::string diff = difference(read_file(dir + "/" + image), frames_bytes(whole_model.records));
  check(v, diff.empty(), image + " after going on: " + diff);
  bool done = whole_model.exit_code == 0 || whole_model.exit_code == 5;
  std::vector<std::string> more;
  check_map(v, dir, image, done ? 1 : -1, true, &more);
  if (!report) check_process(v, resumed, whole_model.exit_code);
}

void scenario_restore(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  Tape source = random_tape(rng);
  BaseName base = random_base(rng);
  std::string image = base.upper + ".img";
  std::vector<std::string> files = {"bus.ini"};
  int roll = rng_range(rng, 0, 99);
  ImageState state = roll < 95 ? IMAGE_PRESENT : roll < 98 ? IMAGE_MISSING : IMAGE_UNREADABLE;
  size_t short_bytes = 0;
  if (state == IMAGE_PRESENT) {
    std::string bytes = frames_bytes(source.frames);
    // A short last record is not restored, and fails a run that reaches it.
    if (rng_chance(rng, 0.2)) short_bytes = static_cast<size_t>(rng_range(rng, 1, kFrameBytes - 1));
    bytes += std::string(short_bytes, 'r');
    write_file(dir + "/" + image, bytes);
    files.push_back(image);
  } else if (state == IMAGE_MISSING) {
    add_fault(v, "no image");
  } else {
    mkdir((dir + "/" + image).c_str(), 0755);
    files.push_back(image);
    add_fault(v, "the image is a folder");
  }
  bool stopeot = rng_chance(rng, 0.15);
  RunPlan plan;
  plan.args = {"/BUNTING", base.typed, "/OUTPUTID", "0:5"};
  std::vector<std::string> switches;
  if (stopeot) switches.push_back("/STOPEOT");
  if (rng_chance(rng, 0.3)) switches.push_back("/REWIND");
  add_switches(rng, &plan, switches);
  int records = static_cast<int>(source.frames.size());
  BusKeys keys = output_drive(rng, &bus, dir);
  EarlyOutcome early;
  if (draw_early_interruption(rng, 0, &plan, &keys, v, &early)) {
    // Nothing is written: the tape stays as it was.
    plan.drives = {{"0:5", keys}};
    *describe = plan.describe();
    ProcessResult result = run_plan(plan, dir);
    check_output_tape(v, dir + "/target.tape", bus, false, &files);
    check_files(v, dir, files);
    check_early_interruption(v, result, early);
    check_said(v, result, " - closing output drive...\n");
    return;
  }
  std::string wait_line = rng_chance(rng, 0.6) ? draw_write_faults(rng, &bus, &keys, v, records + 5) : "";
  draw_interruption(rng, &bus, &plan, v, records + 5, false);
  // The image restored from a place of the recording on the tape: the drive
  // written is the one sought.
  long long sought = seek_possible(bus, false, wait_line) ? draw_seek(rng, bus.output, &plan, &keys, v) : -1;
  if (sought >= 0) {
    plan.args.insert(plan.args.end(), {"/INPUTID", "0:5"});
    bus.output_position = static_cast<size_t>(sought);
  }
  bus.file_size_limit = draw_file_limit(rng, v, &plan, 0.15, records);
  plan.drives = {{"0:5", keys}};
  *describe = plan.describe();

  WriteOutcome model = model_restore(stopeot, &bus, source.frames, state, image, short_bytes);
  ProcessResult result = run_plan(plan, dir);

  check_output_tape(v, dir + "/target.tape", bus, false, &files);
  check_files(v, dir, files);
  check_process(v, result, model.exit_code);
  if (!wait_line.empty()) check_said(v, result, wait_line);
  check_said(v, result, " - closing output drive...\n");
  check_seek(v, result, plan);
  check_messages(v, result, model.said, kImageFailures);
}

void scenario_copy(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  bus.input = random_tape(rng);
  // /STOPEOT reads on past unreadable frames and writes a stand-in for each.
  bool stopeot = rng_chance(rng, 0.35);
  RunPlan plan;
  plan.args = {"/PINTAIL", "/INPUTID", "0:4", "/OUTPUTID", "0:5"};
  std::vector<std::string> switches;
  bool report = rng_chance(rng, 0.5);
  if (report) switches.push_back("/REPORT");
  if (stopeot) switches.push_back("/STOPEOT");
  if (rng_chance(rng, 0.3)) switches.push_back("/REWIND");
  add_switches(rng, &plan, switches);
  std::vector<std::string> files = {"bus.ini"};
  BusKeys in_keys = {{"cassette", "source.tape"}};
  std::string read_wait = draw_read_faults(rng, &bus, &in_keys, v);
  int frames = static_cast<int>(bus.input.frames.size());
  BusKeys out_keys = output_drive(rng, &bus, dir);
  std::string write_wait = rng_chance(rng, 0.5) ? draw_write_faults(rng, &bus, &out_keys, v, frames + 5) : "";
  draw_interruption(rng, &bus, &plan, v, 2 * frames + 5, false);
  long long sought = seek_possible(bus, true, read_wait) ? draw_seek(rng, bus.input.frames, &plan, &in_keys, v) : -1;
  if (sought >= 0) bus.input_position = static_cast<size_t>(sought);  // the copy begins with the frame sought
  draw_lost_read(rng, &bus, &in_keys, v, read_wait, sought >= 0, false);
  bus.file_size_limit = draw_file_limit(rng, v, &plan, 0.1, frames);
  plan.drives = {{"0:4", in_keys}, {"0:5", out_keys}};
  put_input_tape(bus, dir, "source.tape", &files);
  *describe = plan.describe();

  WriteOutcome model = model_copy(stopeot, &bus);
  ProcessResult result = run_plan(plan, dir);

  check_output_tape(v, dir + "/target.tape", bus, false, &files);
  bool report_written = true;
  if (report) {
    bool incomplete = model.exit_code == 6;
    report_written = check_report(v, dir, "PINTAIL", model.report, incomplete, false, result,
                                  bus.file_size_limit >= 0, &files);
    if (!report_written) model.said.push_back(report_failure_line(result));
  }
  check_files(v, dir, files);
  check_process(v, result, report_written ? model.exit_code : 6);
  check_said(v, result, read_wait);
  if (!write_wait.empty()) check_said(v, result, write_wait);
  check_said(v, result, " - closing input drive...\n");
  check_said(v, result, " - closing output drive...\n");
  check_seek(v, result, plan);
  check_messages(v, result, model.said, kImageFailures);
}

// A dump of a tape with damage on drive 0:4, now and then killed (SIGKILL)
// in mid-dump and then run again, then a rescue pass on drive 0:5, whose
// flaky frames are others (a few the same). The image after the dump is the
// one an uninterrupted dump gives; after the rescue every frame either drive
// reads clean is the tape's, and the map and the report class each damaged
// frame as the cassette was composed: flagged on the tape or misread by both
// drives, the tape's; misread by the first drive only, the drive's.
void scenario_rescue(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  std::vector<ProgramLength> programs;
  for (int p = 1, n = rng_range(rng, 1, 3); p <= n; ++p) programs.push_back({p, rng_range(rng, 300, 1500)});
  Tape tape = tape_of_programs(programs);
  int frames = static_cast<int>(tape.frames.size());
  std::set<size_t> on_tape, drive_a, drive_b;
  for (int i = rng_range(rng, 0, 3); i > 0; --i) on_tape.insert(static_cast<size_t>(rng_range(rng, 0, frames - 1)));
  for (size_t i : on_tape) tape_flag(&tape, i, rng_chance(rng, 0.5) ? 0x60 : 0x40);
  auto draw_flaky = [&](std::set<size_t>* into, int most) {
    for (int i = rng_range(rng, 1, most); i > 0; --i) {
      size_t at = static_cast<size_t>(rng_range(rng, 0, frames - 1));
      // Now and then a run of them, and now and then one the other drive misreads too.
      int run = rng_chance(rng, 0.3) ? rng_range(rng, 2, 6) : 1;
      if (into == &drive_b && !drive_a.empty() && rng_chance(rng, 0.3)) at = *drive_a.begin();
      for (int k = 0; k < run && at + static_cast<size_t>(k) < static_cast<size_t>(frames); ++k)
        if (!on_tape.count(at + static_cast<size_t>(k))) into->insert(at + static_cast<size_t>(k));
    }
  };
  draw_flaky(&drive_a, 8);
  draw_flaky(&drive_b, 6);
  auto flaky = [](const std::set<size_t>& set) {
    std::string list;
    for (size_t f : set) list += std::to_string(f) + ":1 ";
    return list;
  };
  add_fault(v, "misread by the dump's drive", flaky(drive_a));
  add_fault(v, "misread by the rescue's drive", flaky(drive_b));
  if (!on_tape.empty()) add_fault(v, "flagged on the tape", flaky(on_tape));
  BusKeys keys_a = {{"cassette", "tape.dat"}, {"flaky", flaky(drive_a)}};
  BusKeys keys_b = {{"cassette", "tape.dat"}, {"flaky", flaky(drive_b)}};
  if (rng_chance(rng, 0.5)) {
    keys_b.push_back({"locate_slop", std::to_string(rng_range(rng, 1, 8))});
    keys_b.push_back({"seed", std::to_string(rng_range(rng, 1, 1000))});
    add_fault(v, "searches stop short on the rescue's drive");
  }
  std::vector<std::string> files = {"bus.ini", "tape.dat", "whole"};
  tape_write(tape, dir + "/tape.dat");

  // The uninterrupted dump, the reference, in a folder of its own.
  std::string ref_dir = dir + "/whole";
  mkdir(ref_dir.c_str(), 0755);
  tape_write(tape, ref_dir + "/tape.dat");
  RunPlan dump;
  dump.args = {"/BITTERN", "TAPE", "/INPUTID", "0:4"};
  dump.drives = {{"0:4", keys_a}, {"0:5", keys_b}};
  ProcessResult result = run_plan(dump, ref_dir);
  check_process(v, result, 5);
  std::string whole = read_file(ref_dir + "/TAPE.img");
  check(v, whole.size() == tape.frames.size() * sizeof(DatFrame), "the whole dump holds every frame of the tape");

  RunPlan killed = dump;
  bool kill = rng_chance(rng, 0.5);
  if (kill) {
    // Killed once the console shows a frame's time somewhere along the tape.
    size_t at = static_cast<size_t>(rng_range(rng, 1, frames - 2));
    FrameInfo info = decode_frame(&tape.frames[at]);
    char text[16];
    dat_time_code_text(info.absolute.code, text, sizeof text);
    killed.options.trigger_text = text;
    killed.options.trigger_signal = SIGKILL;
    add_fault(v, "SIGKILL at", killed.options.trigger_text);
  }
  *describe = dump.describe() + (kill ? " (killed at " + killed.options.trigger_text + ", run again)" : "");
  result = run_plan(killed, dir);
  if (kill) check(v, result.term_signal == SIGKILL, "the dump did not show " + killed.options.trigger_text);
  if (kill && result.term_signal == SIGKILL) {
    std::vector<std::string> seen;
    check_map(v, dir, "TAPE.img", 0, false, &seen);
    std::string image = read_file(dir + "/TAPE.img");
    size_t whole_records = image.size() / sizeof(DatFrame) * sizeof(DatFrame);
    check(v, whole.compare(0, whole_records, image, 0, whole_records) == 0,
          "the killed dump's image is not the beginning of the whole one");
    // A map that lists records read is gone on from; one that lists none (killed
    // before the first checkpoint) gives a dump from the start.
    RescueMap cut;
    std::string why;
    bool listed = rescue_map_read(dir + "/TAPE.map", &cut, &why) == 0 && !cut.records.empty();
    result = run_plan(dump, dir);
    if (listed) check_said(v, result, "Going on with the dump in TAPE.img after ");
  }
  check_process(v, result, 5);
  std::string image = read_file(dir + "/TAPE.img");
  check(v, image == whole, "the dump's image differs from the uninterrupted one");
  std::vector<std::string> seen;
  check_map(v, dir, "TAPE.img", 1, true, &seen);

  // The rescue pass on the other drive.
  RunPlan rescue = dump;
  bool report = rng_chance(rng, 0.6);
  rescue.args = {"rescue", "TAPE", "--drive", "0:5"};
  if (report) rescue.args.push_back("--report");
  *describe += " | " + rescue.describe();
  RescueMap before;
  std::string why;
  rescue_map_read(dir + "/TAPE.map", &before, &why);
  result = run_plan(rescue, dir);
  image = read_file(dir + "/TAPE.img");
  check(v, image.size() == whole.size(), "the rescue changed the image's size");
  check_map(v, dir, "TAPE.img", 1, true, &files);
  RescueMap map;
  check(v, rescue_map_read(dir + "/TAPE.map", &map, &why) == 0, "the map after the rescue cannot be read: " + why);
  check(v, map.passes.size() == before.passes.size() + 1 && map.passes.back().kind == "rescue",
        "the map does not record the rescue pass");
  size_t left = 0, wrong_bytes = 0, wrong_class = 0, tapes = 0, drives = 0;
  std::map<size_t, MapDamageClass> expected;
  for (size_t i = 0; i < tape.frames.size() && (i + 1) * sizeof(DatFrame) <= image.size(); ++i) {
    bool a = drive_a.count(i), b = drive_b.count(i), flagged = on_tape.count(i);
    MapDamageClass want = flagged || (a && b) ? MAP_TAPES : a ? MAP_DRIVES : MAP_UNDAMAGED;
    expected[i] = want;
    tapes += want == MAP_TAPES;
    drives += want == MAP_DRIVES;
    const DatFrame* record = reinterpret_cast<const DatFrame*>(image.data() + i * sizeof(DatFrame));
    if (a && b)
      wrong_bytes += record_rank(record) != COPY_BOTH_FLAGGED;
    else
      wrong_bytes += std::memcmp(record, &tape.frames[i], sizeof *record) != 0;
    if (i < map.records.size()) wrong_class += rescue_map_class(&map.records[i]) != want;
    left += want == MAP_TAPES;
  }
  check(v, wrong_bytes == 0, std::to_string(wrong_bytes) + " records not as the drives read the tape");
  check(v, wrong_class == 0, std::to_string(wrong_class) + " frames classed otherwise than the cassette");
  check_said(v, result, " - whose damage: " + std::to_string(tapes) + " frames the tape's (damaged on every pass), " +
                            std::to_string(drives) + " the drives' ");
  if (report) {
    std::string name = "TAPE-pass" + std::to_string(map.passes.size());
    for (const char* ext : {".json", ".html", ".sha256"}) files.push_back(name + ext);
    JsonFlat json;
    check(v, json_flatten(read_file(dir + "/" + name + ".json"), &json), name + ".json is not JSON");
    check(v, json["damage.tape"] == std::to_string(tapes) && json["damage.drive"] == std::to_string(drives),
          name + ".json counts whose the damage is otherwise");
    size_t misclassed = 0;
    for (const char* list : {"events", "recovered"}) {
      int count = json.count(std::string(list) + "#") ? std::stoi(json[std::string(list) + "#"]) : 0;
      for (int k = 0; k < count; ++k) {
        std::string at = std::string(list) + "." + std::to_string(k) + ".";
        MapDamageClass want = expected[std::stoul(json[at + "frame"])];
        const char* text = want == MAP_TAPES ? "tape" : want == MAP_DRIVES ? "drive" : "";
        misclassed += json[at + "damage"] != text;
      }
    }
    check(v, misclassed == 0, name + ".json: " + std::to_string(misclassed) + " events classed otherwise");
  }
  check_process(v, result, left > 0 ? 5 : 0);
  files.push_back("TAPE.img");
  if (file_exists(dir + "/TAPE.img.json")) files.push_back("TAPE.img.json");  // the image's own account, checked elsewhere
  check_files(v, dir, files);
}
