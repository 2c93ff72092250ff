// The transfer report of a reading mode (/REPORT): begun with the mode,
// fed frame by frame through report/transfer_report.h, ended here with the
// summary on the console.
#pragma once

#include <cstdint>

#include "base/run_settings.h"
#include "report/transfer_report.h"

// The report of this run, named name (NAME.json, ...), when /REPORT is
// given; else nullptr (and every call of the report does nothing).
TransferReport* open_run_report(const RunSettings* settings, const char* mode, const char* name);
// A read that gave no frame and so ends the run: the end of the recorded
// data ends it as it should; any other failure ends it early, and is an
// unreadable frame unless no tape is in the drive.
void report_read_that_ends_run(TransferReport* report, uint32_t result);
// Ends the report: writes its files and says on the console what it found,
// or what failed. Returns the mode's result, or 1 when the report could not
// be written (the transfer's files are left as they are). Frees the report.
int close_run_report(TransferReport* report, int result);
