// SPDX-License-Identifier: MIT
// What a mode records of its run: the tally that decides the verdict and the
// exit code, and, with /REPORT, the transfer report beside it (begun with
// the mode, fed frame by frame, ended here with the summary on the console).
// The mode makes the same calls whether or not a report is written.
#pragma once

#include <cstdint>
#include <string>

#include "base/run_settings.h"
#include "sources/frame_source.h"
#include "report/run_tally.h"
#include "report/transfer_report.h"

struct RunRecord {
  RunTally tally{};
  TransferReport* report = nullptr;  // /REPORT
  bool bag = false;                  // /BAG: the files and the report bagged at the end
  std::string organization;          // the bag's Source-Organization
  bool image_made_known = false;     // /FROMIMAGE: the image's record was read into image_made
  ImageProvenance image_made;
};

// The time of the transfer as the records give it: the one fixed
// (/TRANSFERTIME, SOURCE_DATE_EPOCH) at UTC, else now in local time.
std::string run_transfer_time(const RunSettings* settings);
// /BITTERN: the record of the image's making beside the image at image_path
// (the drive, the time, the options, the report); listed in the report.
// Says so when it cannot be written. 0, or -1.
int write_image_record(RunRecord* run, const RunSettings* settings, const char* image_path);

// Begins the record; the report, named name (NAME.json, ...), only when
// /REPORT is given. With /FROMIMAGE it reads the record beside the image
// (image_made), or says in one line why there is none.
void open_run_record(RunRecord* run, const RunSettings* settings, const char* mode, const char* name);
// A frame read and taken, as read gave it; returns what the time check found at it.
ContinuityResult record_frame(RunRecord* run, const FrameInfo* info, const FrameEvents* events, const FrameRead* read);
// A frame that no read could give (its stand-in kept, or nothing).
void record_unreadable(RunRecord* run, uint32_t result);
// The run ends early, or could not start.
void record_incomplete(RunRecord* run);
// A read that gave no frame and so ends the run: the end of the recorded
// data ends it as it should; any other failure ends it early, and is an
// unreadable frame unless no tape is in the drive.
void record_read_that_ends_run(RunRecord* run, uint32_t result);
// Ends the record with the mode's result (non-zero: it could not go on):
// writes the report's files and says on the console what it found, or what
// failed (then the run counts as incomplete; the transfer's files are left
// as they are). With /BAG the files and the report then go into the bag
// (see report/bag.h; its Source-Organization from KESTREL_ORGANIZATION,
// else the originator given, else "kestrel"). Returns the run's verdict.
RunVerdict close_run_record(RunRecord* run, int result);
