#include "modes/run_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "modes/mode_io.h"
#include "platform/console.h"
#include "sinks/valid_files.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

std::string trimmed(const uint8_t* bytes, size_t count) {
  std::string text(reinterpret_cast<const char*>(bytes), count);
  size_t end = text.find_last_not_of(' ');
  text.erase(end == std::string::npos ? 0 : end + 1);
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.erase(nul);
  return text;
}

ReportSource source_of(const RunSettings* s) {
  ReportSource source{};
  if (s->fromimage_arg) {
    source.image = s->image_path;
    return source;
  }
  source.adapter = s->input_adapter;
  source.target = s->input_target;
  uint8_t inquiry[256] = {};
  if (tape_completed(scsi_inquiry(input_drive(s), inquiry, 255))) {
    source.vendor = trimmed(inquiry + 8, 8);
    source.product = trimmed(inquiry + 16, 16);
    source.revision = trimmed(inquiry + 32, 4);
  }
  return source;
}

}  // namespace

void open_run_record(RunRecord* run, const RunSettings* s, const char* mode, const char* name) {
  *run = RunRecord{};
  if (!s->report_arg) return;
  run->report = transfer_report_begin(mode, name, source_of(s), &run->tally);
  if (!run->report) std::printf("\nThe transfer report cannot be kept: out of memory\n");
}

void record_frame(RunRecord* run, const FrameInfo* info, const FrameEvents* events, const FrameRead* read) {
  ContinuityResult continuity = tally_frame(&run->tally, info, events);
  transfer_report_frame(run->report, info, events, &continuity, read->reads, read->kept);
}

void record_unreadable(RunRecord* run, uint32_t result) {
  tally_unreadable(&run->tally);
  transfer_report_unreadable(run->report, result);
}

void record_incomplete(RunRecord* run) { tally_ended_early(&run->tally); }

void record_read_that_ends_run(RunRecord* run, uint32_t result) {
  TapeStatus status = tape_status(result);
  // No frame at all stands there: the data has ended, or no tape is in.
  if (status == TAPE_END_OF_DATA) return;
  if (status != TAPE_NOT_READY) record_unreadable(run, result);
  record_incomplete(run);
}

namespace {

// Writes the report and says on the console what it found. 0, or 1 when it
// could not be written (said). Frees the report.
int close_run_report(TransferReport* report) {
  // The checksums are computed beside the run; what is left of them is
  // waited for here, ESC gives them up.
  int64_t done = 0, total = 0;
  bool shown = false;
  while (!transfer_report_checksums_wait(report, 250, &done, &total)) {
    std::printf("\r - checksums of the files: %lld of %lld MB ", static_cast<long long>(done >> 20),
                static_cast<long long>(total >> 20));
    shown = true;
    if (esc_pressed()) {
      transfer_report_checksums_cancel(report);
      std::printf("\n - checksums given up: the report lists the files not yet checked without them\n");
      shown = false;
    }
  }
  if (shown) std::printf("\r - checksums of the files: done                          \n");
  ReportSummary sum{};
  ReportFailure failure{};
  if (transfer_report_finish(report, &sum, &failure) != 0) {
    errno = failure.error;
    std::printf("\nThe transfer report could not be written:");
    say_write_failure(failure.file.c_str());
    std::printf(" - the files of the transfer are kept as they are\n");
    transfer_report_free(report);
    return 1;
  }
  std::printf("\nTransfer report:\n");
  std::printf(" - programs: %lld\n", static_cast<long long>(sum.programs));
  std::printf(" - damaged frames: %lld left, %lld right, %lld both", static_cast<long long>(sum.left_damaged),
              static_cast<long long>(sum.right_damaged), static_cast<long long>(sum.both_damaged));
  if (sum.other_damaged) std::printf(", %lld without a channel", static_cast<long long>(sum.other_damaged));
  std::printf("\n - unreadable frames: %lld\n", static_cast<long long>(sum.unreadable));
  std::printf(" - continuity breaks: %lld\n", static_cast<long long>(sum.continuity_breaks));
  if (sum.unchecked_files)
    std::printf(" - files listed without checksums: %lld\n", static_cast<long long>(sum.unchecked_files));
  std::printf(" - verdict: %s\n", sum.verdict);
  std::printf(" - report: %s, %s, %s\n", sum.json_name.c_str(), sum.sha256_name.c_str(), sum.html_name.c_str());
  transfer_report_free(report);
  return 0;
}

}  // namespace

RunVerdict close_run_record(RunRecord* run, int result) {
  if (result != 0) record_incomplete(run);
  if (run->report && close_run_report(run->report) != 0) record_incomplete(run);
  run->report = nullptr;
  return run_verdict(&run->tally);
}
