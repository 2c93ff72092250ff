// SPDX-License-Identifier: MIT
#include "modes/run_report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modes/mode_io.h"
#include "platform/console.h"
#include "platform/clock.h"
#include "report/bag.h"
#include "report/text.h"
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

std::string run_transfer_time(const RunSettings* s) {
  return s->transfer_time_arg ? report_time_text(s->transfer_time, true) : report_time_text(platform_time_s(), false);
}

void open_run_record(RunRecord* run, const RunSettings* s, const char* mode, const char* name) {
  *run = RunRecord{};
  const char* organization = std::getenv("KESTREL_ORGANIZATION");
  run->organization = organization && *organization ? organization : s->originator[0] ? s->originator : "kestrel";
  if (s->fromimage_arg) {
    std::string missing = read_provenance(s->image_path, &run->image_made);
    run->image_made_known = missing.empty();
    if (!missing.empty()) std::printf("%s: the files name the image file as the source\n", missing.c_str());
  }
  if (!s->report_arg) return;
  ReportSource source = source_of(s);
  source.image_made_known = run->image_made_known;
  source.image_made = run->image_made;
  run->report = transfer_report_begin(mode, name, source, &run->tally);
  run->bag = s->bag_arg != 0;
  if (!run->report) std::printf("\nThe transfer report cannot be kept: out of memory\n");
  if (s->transfer_time_arg) transfer_report_fix_time(run->report, s->transfer_time);
}

int write_image_record(RunRecord* run, const RunSettings* s, const char* image_path) {
  ReportSource drive = source_of(s);
  ImageProvenance record;
  record.image = file_part(image_path);
  record.vendor = drive.vendor;
  record.product = drive.product;
  record.revision = drive.revision;
  record.transfer_time = run->report ? run->report->started : run_transfer_time(s);
  record.kestrel = KESTREL_VERSION;
  record.options = report_arguments();
  if (s->report_arg) record.report = file_part(transfer_report_names(s->base_name).json);
  errno = 0;
  if (write_provenance(image_path, record) != 0) {
    std::printf("\nThe record of the image's making could not be written:");
    say_write_failure(provenance_path(image_path).c_str());
    return -1;
  }
  transfer_report_file(run->report, provenance_path(image_path).c_str(), false);
  return 0;
}

ContinuityResult record_frame(RunRecord* run, const FrameInfo* info, const FrameEvents* events, const FrameRead* read) {
  ContinuityResult continuity = tally_frame(&run->tally, info, events);
  transfer_report_frame(run->report, info, events, &continuity, read->reads, read->kept);
  return continuity;
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

// Bags the files and the report just written, and says where or what
// failed. 0, or 1 when the bag could not be made (said).
int bag_run(TransferReport* report, const ReportSummary& sum, const std::string& organization) {
  BagSummary bag{};
  ReportFailure failure{};
  if (transfer_report_bag(report, sum, organization.c_str(), &bag, &failure) != 0) {
    errno = failure.error;
    std::printf("\nThe bag could not be made:");
    say_write_failure(failure.file.c_str());
    std::printf(" - the files of the transfer and the report are kept as they are\n");
    return 1;
  }
  std::printf(" - bag: %s/ (%lld files, %lld bytes under data/)\n", bag.folder.c_str(),
              static_cast<long long>(bag.payload_files), static_cast<long long>(bag.payload_bytes));
  return 0;
}

// Writes the report and says on the console what it found. 0, or 1 when it
// could not be written (said), or bag was asked and could not be made.
// Frees the report.
int close_run_report(TransferReport* report, bool bag, const std::string& organization) {
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
  int result = bag ? bag_run(report, sum, organization) : 0;
  transfer_report_free(report);
  return result;
}

}  // namespace

RunVerdict close_run_record(RunRecord* run, int result) {
  if (result != 0) record_incomplete(run);
  if (run->report && close_run_report(run->report, run->bag, run->organization) != 0) record_incomplete(run);
  run->report = nullptr;
  return run_verdict(&run->tally);
}
