// SPDX-License-Identifier: MIT
// A second run on a busy drive. One run holds a drive: a dump whose image is
// a FIFO that nothing reads yet, so that it cannot end. A second run is
// started against the same cassette, through the same drive or another entry
// of the bus that names it, as input or as output, in any mode, or as
// kestrel-drives --probe: it must be refused at its set-up, saying which
// drive, without touching the tape, and the dump must end as it would have
// alone. A second run on another drive of the bus goes ahead.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/campaign/scenarios.h"
#include "tests/support/e2e/audio_files.h"
#include "tests/support/temp_dir.h"

namespace {

// A recording of one to three programs, no flagged frame, ended by a blank
// stretch that ends the dump: more than a pipe holds, so the dump waits for
// its reader.
Tape busy_tape(Rng* rng) {
  Tape tape;
  int programs = rng_range(rng, 1, 3);
  for (int p = 1; p <= programs; ++p)
    tape_record(&tape, Recording{.program = p, .start_id_frames = rng_range(rng, 0, 20)}, rng_range(rng, 20, 300));
  tape_blank(&tape, 70);
  return tape;
}

std::string read_all(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

// The second run: its command line, and whether it is to be refused.
struct SecondRun {
  std::string program = "kestrel";
  std::vector<std::string> args;
  std::string busy;     // the drive it must find in use ("0:4"); "" when it may go ahead
  std::string output;   // a dump's image it leaves when it goes ahead
};

SecondRun draw_second_run(Rng* rng, const std::string& dir, Verdict* v) {
  SecondRun second;
  if (rng_chance(rng, 0.15)) {
    // Another drive of the same bus: the claim is the drive's, not the bus's.
    second.args = {"/BITTERN", "OTHER", "/INPUTID", "0:6"};
    second.output = "OTHER.img";
    add_fault(v, "second run", "on another drive");
    return second;
  }
  // The drive the first run holds, or another entry of the same cassette.
  second.busy = rng_chance(rng, 0.5) ? "0:4" : "0:5";
  const std::string& a = second.busy;
  switch (rng_range(rng, 0, 7)) {
    case 0: second.args = {"/KESTREL", "T", "/INPUTID", a, "/REWIND"}; break;
    case 1: second.args = {"/BITTERN", "D", "/INPUTID", a}; break;
    case 2: second.args = {"/TOC", "/INPUTID", a}; break;
    case 3:
      write_wav_file(dir + "/a.wav", 1, 2, 48000, 16, pcm16_bytes(test_pattern(14400, 2, 3)));
      write_file(dir + "/SET.CUE", "[FILES]\nFILE_001=a.wav\n");
      second.args = {"/GOSHAWK", "SET", "/OUTPUTID", a};
      break;
    case 4:
      write_file(dir + "/OLD.img", std::string(20 * sizeof(DatFrame), '\x5A'));
      second.args = {"/BUNTING", "OLD", "/OUTPUTID", a};
      break;
    case 5: second.args = {"/PINTAIL", "/INPUTID", a, "/OUTPUTID", "0:6"}; break;
    case 6: second.args = {"/PINTAIL", "/INPUTID", "0:6", "/OUTPUTID", a}; break;
    default:
      second.program = "kestrel-drives";
      second.args = {"--probe", a};
      break;
  }
  std::string line = second.program;
  for (const std::string& arg : second.args) line += " " + arg;
  add_fault(v, "second run", "on the busy " + std::string(a == "0:4" ? "drive" : "cassette") + ": " + line);
  return second;
}

}  // namespace

void scenario_busy(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  bus.input = busy_tape(rng);
  Tape other = busy_tape(rng);
  tape_write(bus.input, dir + "/tape.dat");
  tape_write(other, dir + "/other.dat");
  const std::string before = read_file(dir + "/tape.dat");
  const std::string other_before = read_file(dir + "/other.dat");
  BaseName base = random_base(rng);
  std::string image = base.upper + ".img";
  check(v, mkfifo((dir + "/" + image).c_str(), 0644) == 0, "the FIFO cannot be made");

  RunPlan plan;
  plan.args = {"/BITTERN", base.typed, "/INPUTID", "0:4"};
  if (rng_chance(rng, 0.3)) plan.args.push_back("/REWIND");
  plan.drives = {{"0:4", {{"cassette", "tape.dat"}}}, {"0:5", {{"cassette", "tape.dat"}}}, {"0:6", {{"cassette", "other.dat"}}}};
  SecondRun second = draw_second_run(rng, dir, v);
  *describe = plan.describe() + ", then " + second.program;
  for (const std::string& arg : second.args) *describe += " " + arg;

  // The dump holds its drive from its set-up on; once it is set up, the
  // second run goes, then the image is read.
  ProcessResult second_result;
  bool second_ran = false;
  int image_fd = -1;
  std::thread reader;
  std::string image_bytes;
  std::atomic<bool> dump_ended{false};
  plan.options.trigger_text = " - issuing a tape load...done\n";
  plan.options.trigger_call = [&] {
    image_fd = open((dir + "/" + image).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ProcessOptions options = bus_options(dir + "/bus.ini");
    options.cwd = dir;
    options.timeout_s = 60;
    second_result = second.program == "kestrel" ? run_kestrel(second.args, options)
                                                : run_process(build_path(second.program), second.args, options);
    second_ran = true;
    if (image_fd >= 0) {
      fcntl(image_fd, F_SETFL, 0);  // the reads wait for the dump's writes
      // Until the dump opens the image, a read finds no writer and ends at
      // once, as it does after the dump closed it: read on until the dump
      // has ended, which a fast second run may come well before.
      reader = std::thread([&] {
        for (;;) {
          const bool ended = dump_ended.load();
          std::string more = read_all(image_fd);
          image_bytes += more;
          if (ended) break;
          if (more.empty()) usleep(10000);
        }
      });
    }
  };
  DumpOutcome model = model_dump(false, &bus, image, false);
  ProcessResult result = run_plan(plan, dir);
  dump_ended = true;
  if (reader.joinable()) reader.join();
  if (image_fd >= 0) close(image_fd);

  // The first run, as it would have gone alone.
  check_process(v, result, model.exit_code);
  check_said(v, result, " - closing input drive...\n");
  std::vector<DatFrame> saved;
  for (size_t index : model.saved) saved.push_back(bus.input.frames[index]);
  std::string diff = difference(image_bytes, frames_bytes(saved));
  check(v, diff.empty(), image + " as read from the FIFO: " + diff);
  check(v, read_file(dir + "/tape.dat") == before, "the held cassette changed");

  // The second run.
  check(v, second_ran, "the second run was never started");
  if (!second_ran) return;
  if (second.busy.empty()) {
    ModelBus other_bus;
    other_bus.input = other;
    DumpOutcome other_model = model_dump(false, &other_bus, second.output, false);
    check_process(v, second_result, other_model.exit_code);
    std::vector<DatFrame> other_saved;
    for (size_t index : other_model.saved) other_saved.push_back(other.frames[index]);
    std::string other_diff = difference(read_file(dir + "/" + second.output), frames_bytes(other_saved));
    check(v, other_diff.empty(), second.output + ": " + other_diff);
    return;
  }
  check(v, read_file(dir + "/other.dat") == other_before, "the free drive's cassette changed");
  if (second.program == "kestrel-drives") {
    check_process(v, second_result, 1);
    check(v, second_result.out.ends_with("Verdict: in use (another program holds the drive; check it again when that "
                                         "program has ended)\n"),
          "the probe's verdict: " + second_result.out.substr(second_result.out.rfind('\n', second_result.out.size() - 2) + 1));
    return;
  }
  check_process(v, second_result, 4);
  check_said(v, second_result, "drive at " + second.busy + ":0 is in use by another program\nDrive didn't initialize\n");
  // Nothing was asked of the busy drive (a free input drive is set up first).
  if (second.args[0] != "/PINTAIL" || second.args[2] == second.busy)
    check_not_said(v, second_result, " - setting drive in audio mode");
}
