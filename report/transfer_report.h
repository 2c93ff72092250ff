// SPDX-License-Identifier: MIT
// The transfer report: what a reading found on the tape, every problem frame
// with where its audio went, and the checksums of the files it wrote. The
// mode hands over each frame's values as it goes; at the end the report
// writes NAME.json, NAME.sha256 and NAME.html. Nothing here prints: the mode
// says what the summary and the outcome give.
//
// Every function takes a null report and then does nothing, so a mode calls
// them whether or not a report was asked for.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "datframe/continuity.h"
#include "datframe/rescue_map.h"
#include "datframe/frame_info.h"
#include "report/checksums.h"
#include "report/programs.h"
#include "report/provenance.h"
#include "report/run_tally.h"

struct ChecksumWorker;

// Where the frames came from: a drive, or an image file.
struct ReportSource {
  int32_t adapter;
  int32_t target;
  std::string vendor;
  std::string product;
  std::string revision;
  std::string image;  // not empty: the frames came from this image file
  bool image_made_known = false;  // the image's record was read: image_made
  ImageProvenance image_made;
};

// REPORT_RECOVERED: a frame damaged on a read and clean on a later one; such
// frames are listed apart (recovered), never among the problems.
enum ReportEventKind { REPORT_INTERPOLATED = 0, REPORT_UNREADABLE = 1, REPORT_CONTINUITY = 2, REPORT_RECOVERED = 3 };

// One problem frame.
struct ReportEvent {
  int64_t frame;  // index from 0 at the first frame the run read
  int32_t kind;   // ReportEventKind
  FrameTime abs_time;
  int32_t program_kind;
  int32_t program;
  int32_t flags;         // the drive's interpolation flags
  int32_t file;          // index into the report's file names, -1: in no file
  int64_t sample_offset;  // sample frame in that file where the frame's audio begins
  int32_t concealed;      // samples repaired
  uint32_t expected;      // continuity: the time the frame should have carried
  int32_t reads;          // times the frame was read
  int32_t kept;           // which of those reads gave the copy kept (1: the first)
  uint32_t read_result;   // unreadable: the read's result word
};

struct BlankStretch {
  int64_t first_frame;
  int64_t frames;
};

struct TransferReport {
  std::string mode;       // "KESTREL", "BITTERN", "PINTAIL"
  std::string base_name;  // NAME of NAME.json, NAME.sha256, NAME.html
  std::vector<std::string> arguments;
  ReportSource source;
  std::string started;
  std::string finished;
  bool time_fixed = false;  // started and finished are the transfer's time given
  int64_t frames = 0;  // positions read, unreadable ones included
  int64_t frames_read = 0;
  // The run's tally, kept by the mode: the counts and the verdict come from it.
  const RunTally* tally = nullptr;
  std::vector<ProgramStretch> programs;
  std::vector<BlankStretch> blanks;
  std::vector<ReportEvent> events;
  std::vector<ReportEvent> recovered;  // damaged on a read, clean on a later one (re-reads)
  std::vector<std::string> file_names;  // names the events refer to
  std::vector<ReportFile> files;        // files the run finished, in order
  // What the writers measured of the programs in each file, by file name.
  std::vector<std::pair<std::string, std::vector<ProgramLevels>>> program_levels;
  // The frame taken last, until the next one comes: what the mode did with it.
  bool pending = false;
  FrameInfo info{};
  FrameEvents frame_events{};
  ContinuityResult pending_continuity{};
  int32_t pending_reads = 0;
  int32_t pending_kept = 0;
  int32_t pending_file = -1;
  int64_t pending_offset = -1;
  int32_t pending_concealed = 0;
  ChecksumWorker* checksums = nullptr;  // the checksums, computed beside the run
  // The map of the image read or rescued (frame i of the run is its record i):
  // the passes, and whose each damaged frame is.
  bool mapped = false;
  RescueMap map;
};

// What the report gives the mode to say at the end.
struct ReportSummary {
  int64_t programs;  // numbered programs
  int64_t left_damaged;   // frames flagged on the left channel only
  int64_t right_damaged;  // on the right only
  int64_t both_damaged;   // on both
  int64_t other_damaged;  // flagged without naming a channel
  int64_t unreadable;
  int64_t continuity_breaks;
  int64_t unchecked_files;  // files listed without checksums (unreadable, or given up)
  const char* verdict;
  std::string json_name;
  std::string sha256_name;
  std::string html_name;
  std::vector<ReportFile> report_files;  // NAME.json, NAME.html, NAME.sha256 as written, with their checksums
};

// Why the report could not be written: the file and the system's reason.
struct ReportFailure {
  std::string file;
  int error;  // errno, 0 when none
};

// The arguments kestrel was started with, as typed; the report lists them.
// Kept for the process (the program calls it once, before the mode).
void remember_report_arguments(int argc, char** argv);

// Times as the report gives them: local time with its offset, ISO 8601;
// fixed, at UTC (+00:00).
std::string report_time_text(int64_t seconds, bool utc);
// The arguments remember_report_arguments kept.
const std::vector<std::string>& report_arguments();
// Fixes the report's times (started, finished) at seconds since 1970: two
// readings of one image then give the same report.
void transfer_report_fix_time(TransferReport* report, int64_t seconds);

// Begins a report of the run whose tally is tally (which outlives the
// report); the started time is now. nullptr when out of memory.
TransferReport* transfer_report_begin(const char* mode, const char* base_name, const ReportSource& source,
                                      const RunTally* tally);
// The frame just read, decoded and tracked, with what the tally's time check
// found at it; reads is how many times it was read, kept which of those
// reads gave the copy handed on.
void transfer_report_frame(TransferReport* report, const FrameInfo* info, const FrameEvents* events,
                           const ContinuityResult* continuity, int32_t reads, int32_t kept);
// A frame no read could give (not the end of the recorded data): its place passes.
void transfer_report_unreadable(TransferReport* report, uint32_t result);
// The frame taken last went to file (nullptr: to no file, e.g. a player)
// with its audio from sample frame sample_offset on: the bytes at audio
// (for the audio's MD5; nullptr when the file's writer hashes its audio and
// hands the MD5 to transfer_report_file); concealed samples were repaired in it.
void transfer_report_written(TransferReport* report, const char* file, int64_t sample_offset, int32_t concealed,
                             const void* audio, size_t bytes);
// The place of the unreadable frame recorded last went to file as silence,
// from sample frame sample_offset on: the bytes at audio (for the audio's MD5).
void transfer_report_unreadable_written(TransferReport* report, const char* file, int64_t sample_offset,
                                        const void* audio, size_t bytes);
// The file started over empty: what it held before is in no file.
void transfer_report_file_restarted(TransferReport* report, const char* file);
// A file the run finished (closed), wav when it is a WAV file. audio_md5
// (hex) is the MD5 of the audio in the file when its writer took it already
// (its audio was then handed on without bytes): the report takes it instead
// of hashing the audio again; nullptr or "": the report computes it.
// loudness and levels: what the file's writer measured of the file and of
// the programs in it (nullptr: nothing).
void transfer_report_file(TransferReport* report, const char* file, bool wav, const char* audio_md5 = nullptr,
                          const LoudnessFigures* loudness = nullptr,
                          const std::vector<ProgramLevels>* levels = nullptr);
// Waits up to ms for the checksums of the files finished so far, which are
// computed beside the run. true when they are done; done and total in bytes.
bool transfer_report_checksums_wait(TransferReport* report, uint32_t ms, int64_t* done, int64_t* total);
// Gives up the checksums not yet computed: those files are listed without.
void transfer_report_checksums_cancel(TransferReport* report);
// Ends the report: the checksums of the files, then NAME.json, NAME.html
// and NAME.sha256. 0 with the summary filled, or -1 with failure filled
// (the files of the run are left as they are).
int transfer_report_finish(TransferReport* report, ReportSummary* summary, ReportFailure* failure);
void transfer_report_free(TransferReport* report);
// The map of the image the run's frames are (from its first record): the
// report then lists the passes, the damaged frames per pass and drive, and
// whose each damaged frame is.
void transfer_report_map(TransferReport* report, const RescueMap* map);
// Whose the damage of frame index is by the report's map: "tape", "drive",
// "undecided", or nullptr (no map, or the map saw it undamaged).
const char* report_damage_class(const TransferReport& report, int64_t index);

// The names of the report's files for NAME: NAME.json, NAME.html, NAME.sha256.
struct ReportNames {
  std::string json;
  std::string html;
  std::string sha256;
};
ReportNames transfer_report_names(const std::string& base_name);
// 1 when the file at path is a report this program wrote of a reading of a
// tape in a drive (not of an image): the account of that reading, which a
// later run cannot give again. 0 otherwise, also when there is no such file.
int transfer_report_of_a_drive(const char* path);

// The report's files as text (for the page, the JSON object, the sha256
// list); transfer_report_finish writes them.
std::string report_json(const TransferReport& report);
std::string report_html(const TransferReport& report);
std::string report_sha256_list(const std::vector<ReportFile>& files);
const char* report_verdict(const TransferReport& report);
