// /BITTERN, /BUNTING and /PINTAIL runs: raw frames between tapes and image
// files under read and write faults, interruptions and a file-size limit.
#include <sys/stat.h>

#include "tests/campaign/scenarios.h"
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
  *describe = plan.describe();

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
  if (model.image_created) {
    files.push_back(image);
    std::string diff = difference(read_file(dir + "/" + image), frames_bytes(saved));
    check(v, diff.empty(), image + ": " + diff);
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
