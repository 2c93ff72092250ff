// SPDX-License-Identifier: MIT
// The runs of the campaign, one kind per mode: each draws a tape, switches
// and faults, runs kestrel in dir, and checks what it left behind against
// the model.
#pragma once

#include <string>

#include "tests/campaign/campaign.h"
#include "tests/campaign/model.h"

// One run of a mode; describe receives the command line and the faults.
void scenario_extract(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_dump(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_rescue(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_reread(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_merge(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_restore(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_copy(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_record(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_from_image(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_toc(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);
void scenario_busy(Rng* rng, const std::string& dir, Verdict* verdict, std::string* describe);

// ---- shared by the scenarios

// The switches of an extraction, drawn and added to the plan's arguments.
ExtractSwitches draw_extract_switches(Rng* rng, RunPlan* plan);
// The kind of a track's audio file: plain WAV, Broadcast WAV (/BWF), FLAC (/FLAC).
enum FileKind { PLAIN_WAV, BROADCAST_WAV, FLAC };

// The track files of an extraction (audio files and logs, in dir, named after
// upper) against the model; a file-size limit (-1: none) cuts the first
// track whose audio since its last restart outgrows it, and ends the run
// there. Adds the files left to expected_files and those the run creates to
// touched; returns the name of the file whose write failed, or "".
std::string check_tracks(Verdict* verdict, const std::string& dir, const ExtractOutcome& model,
                         const std::string& upper, long long limit, FileKind kind, const ProcessResult& result,
                         std::vector<std::string>* expected_files, std::vector<std::string>* touched);

// A tape of one to four recordings at varied rates, some in long play, with
// start-ID runs, blank stretches of every length and a few flagged frames.
Tape random_tape(Rng* rng);

// Faults of a reading drive: read errors (frames that never read, listed as
// such or as flaky frames that always misread), not ready, no tape, a drive
// that stays in data mode, an empty cassette. Sets the drive's keys and the model.
// Returns the console line the drive set-up must end its wait with.
std::string draw_read_faults(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* verdict);
// Faults of a writing drive: a failing WRITE of each kind, write protect, a
// capacity, a drive that stays in data mode.
std::string draw_write_faults(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* verdict, int span);
// The same, the failing write (or the end of the tape) in one of the spans of
// write numbers (from 1), each span as likely as another; with always, a
// fault that makes a write fail is always drawn.
struct WriteSpan {
  int first;
  int last;
};
std::string draw_write_faults(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* verdict,
                              const std::vector<WriteSpan>& spans, bool always);
// ESC from the keyboard or SIGINT at a point in [1, span] of the run (a
// keyboard poll or a transfer); with must_end always one of them.
void draw_interruption(Rng* rng, ModelBus* bus, RunPlan* plan, Verdict* verdict, int span, bool must_end);

// Now and then (-1 otherwise) a /SEEK added to the plan, of each seek type,
// to a position a frame of the tape shows, with searches that stop up to 0
// to 8 frames short (locate_slop, with a seed) on the drive of keys. Returns
// the frame the seek must bring the tape to: the first that shows the
// position. The run must then say it seeks, and that it arrived (check_seek).
long long draw_seek(Rng* rng, const std::vector<DatFrame>& frames, RunPlan* plan, BusKeys* keys, Verdict* verdict);
void check_seek(Verdict* verdict, const ProcessResult& result, const RunPlan& plan);
// Whether a seek may be drawn on the input (or output) drive: it has a tape
// in audio mode, its set-up's wait ended in time (wait_line, "" when none was
// drawn), and no SIGINT is raised at a transfer, whose count the frames the
// seek reads on would shift.
bool seek_possible(const ModelBus& bus, bool input, const std::string& wait_line);

// Now and then, on the input drive whose wait ended in time (wait_line) and
// without a seek, a READ that loses the drive's place, as real drives do: a
// transfer cut short, a drive that stops answering, a bus reset. load_read:
// the first command after the load is a READ (no rewind comes before it).
void draw_lost_read(Rng* rng, ModelBus* bus, BusKeys* keys, Verdict* verdict, const std::string& wait_line,
                    bool seek, bool load_read);
// Now and then in a run with /REWIND (rewind) and without a seek, a rewind
// that takes minutes, but within its time-out: the run is as without it.
// Returns the line the set-up then shows when the drive has a tape, else "".
std::string draw_slow_rewind(Rng* rng, const ModelBus& bus, BusKeys* keys, Verdict* verdict, bool rewind,
                             const std::string& wait_line, bool seek);

// Now and then (false otherwise) SIGINT at a poll of the drive, the one
// with keys: while the set-up waits for a tape that is not ready or, for a
// tape of seek_frames (at least 2; 0: no seek), while a seek by running time
// watches the search.
bool draw_early_interruption(Rng* rng, int seek_frames, RunPlan* plan, BusKeys* keys, Verdict* verdict,
                             EarlyOutcome* model);
// Such a run ended at the interrupt: exit code 6 and the console as modelled.
void check_early_interruption(Verdict* verdict, const ProcessResult& result, const EarlyOutcome& model);

// The transfer report of a run with /REPORT named name: the events, the
// frames read and the verdict (incomplete: the run ended early) as the model
// has them (cut_short: a failed write ended the run, and the report holds a
// first part of them), the exit code the verdict gives, no continuity break,
// and the size and checksums of every file it lists as the file holds them. may_fail: a file-size limit may keep the
// report from being written; then no part of it may stand, and false is
// returned. Adds the report's files to files.
bool check_report(Verdict* verdict, const std::string& dir, const std::string& name, const ReportModel& model,
                  bool incomplete, bool cut_short, const ProcessResult& result, bool may_fail,
                  std::vector<std::string>* files);
// The line that says which file of a report could not be written, or "".
std::string report_failure_line(const ProcessResult& result);

// Sets a file-size limit drawn from [low, high] on the run (half of the time
// from a shell) and returns it.
long long set_file_limit(Rng* rng, RunPlan* plan, Verdict* verdict, long long low, long long high);

// A base name as a user types it and as kestrel names files after it.
struct BaseName {
  std::string typed;
  std::string upper;
};
BaseName random_base(Rng* rng);
// Adds switches (each with probability p) to the plan's arguments in a random order.
void add_switches(Rng* rng, RunPlan* plan, const std::vector<std::string>& switches);

// Makes a folder of the file's name in dir: the file cannot be created.
void block_file(const std::string& dir, const std::string& name, std::vector<std::string>* files, Verdict* verdict);
// Writes the input tape as the cassette file name in dir, when the drive has one.
void put_input_tape(const ModelBus& bus, const std::string& dir, const std::string& name,
                    std::vector<std::string>* files);

// Sometimes leaves files of some of the names a run may write, with other
// content, from an earlier run: a run that writes them replaces them whole.
// Returns their names.
std::vector<std::string> leave_old_files(Rng* rng, const std::string& dir, const std::vector<std::string>& names,
                                         Verdict* verdict);
// The files the run leaves: the old ones it did not write are still there.
void keep_untouched(const std::vector<std::string>& old_files, const std::vector<std::string>& touched,
                    std::vector<std::string>* files);

// The output tape (when the file exists, its name goes to files) holds the
// frames written and, beyond them, what it held before, and no part of a
// frame; the date packs (the wall clock's) are passed over with ignore_date.
void check_output_tape(Verdict* verdict, const std::string& path, const ModelBus& bus, bool ignore_date,
                       std::vector<std::string>* files);

// Frames a cassette file holds, and the bytes of a partial record at its end.
std::vector<DatFrame> read_frames(const std::string& path, size_t* partial_bytes);
