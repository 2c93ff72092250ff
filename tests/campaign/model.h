// SPDX-License-Identifier: MIT
// What the modes must make of a composed tape under injected faults. The
// model follows the documented behaviour of the modes frame by frame and is
// written apart from their code; only the long-play expansion (tape_pcm) and
// the concealment of flagged samples (conceal_errors), which have tests of
// their own, are taken from datframe/.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"
#include "tests/support/e2e/tape.h"

// Result words of failed transfers, as the modes print them.
constexpr uint32_t kWordReadError = 0x04031100;  // MEDIUM ERROR 11/00
constexpr uint32_t kWordEndOfData = 0x04080005;  // BLANK CHECK 00/05
constexpr uint32_t kWordNoTape = 0x04023A00;     // NOT READY 3A/00
constexpr uint32_t kWordNotAudio = 0x04033000;   // MEDIUM ERROR 30/00
constexpr uint32_t kWordPositioning = 0x04033B00;   // MEDIUM ERROR 3B/00
constexpr uint32_t kWordWriteMedium = 0x04030C00;   // MEDIUM ERROR 0C/00
constexpr uint32_t kWordWriteProtect = 0x04072700;  // DATA PROTECT 27/00
constexpr uint32_t kWordOverflow = 0x044D0002;      // VOLUME OVERFLOW, end of medium
constexpr uint32_t kWordTimedOut = 0x00000000;      // no answer in time: still pending
constexpr uint32_t kWordCutOff = 0x02000000;        // aborted: a bus reset or a short transfer

// What the drive does at a READ that loses its place.
enum LostRead { LOST_NONE, LOST_SHORT, LOST_HANG, LOST_RESET };

// The drives, the keyboard and the faults as one run meets them.
struct ModelBus {
  // The input drive.
  Tape input;
  std::set<size_t> read_errors;
  bool input_tape = true;   // false: no cassette in the drive
  bool input_audio = true;  // false: the drive stays in data mode
  size_t input_position = 0;
  int becoming_ready = 0;   // commands after the load answered NOT READY while the tape threads
  // The output drive: the cassette as it stands, and what makes a WRITE fail.
  std::vector<DatFrame> output;
  size_t output_position = 0;
  uint32_t output_writes = 0;
  uint32_t write_error_at = 0;  // this WRITE (from 1) fails once
  uint32_t write_error_word = kWordPositioning;
  bool write_protect = false;
  bool output_audio = true;
  long long capacity = -1;
  long long file_size_limit = -1;  // the cassette file is written by kestrel's process too
  // Events of the run.
  uint32_t transfers = 0;     // READ and WRITE commands so far
  uint32_t interrupt_at = 0;  // SIGINT just before this transfer; 0: none
  bool interrupt_pending = false;
  int polls = 0;     // keyboard polls so far
  int esc_poll = 0;  // the key read at this poll is ESC (keys before it are others); 0: none
  // The READ (counted from 1 over the run) at which the input drive loses its
  // place: a transfer cut short (only of a frame that would have been read),
  // a drive that stops answering, a bus reset. No frame comes, and the
  // reading ends there; 0: none.
  uint32_t reads = 0;
  uint32_t lost_at = 0;
  LostRead lost = LOST_NONE;
};

struct ReadResult {
  bool ok = false;
  size_t index = 0;   // the frame read
  uint32_t word = 0;  // the result word of a failed read
  bool lost = false;  // the drive lost its place: no frame, and none will come
};
// How the modes say that a read lost the drive's place.
std::string lost_place_text(uint32_t word);
ReadResult model_read(ModelBus* bus);
// 0 when the frame was written, else the WRITE's result word.
uint32_t model_write(ModelBus* bus, const DatFrame& frame);
// A keyboard poll: true when it reads ESC (or an interrupt that reads as ESC).
bool model_esc(ModelBus* bus);

// The reader's view of the subcode, frame by frame.
struct ReaderState {
  bool stopeot = false;
  bool stop = false;
  bool no_subcode = true;
  int blank_run = 0;
  int rate_code = 0;
  bool rate_changed = false;
  bool long_play = false;
  bool start_id_seen = false;
  bool start_id_found = false;
};
void model_analyze(ReaderState* state, const DatFrame& frame);

// /KESTREL.
struct ExtractSwitches {
  bool rewind = false;
  bool startid = false;
  bool onewav = false;
  bool stopeot = false;
  bool errorcorrect = false;
  bool byprogram = false;
};

// The audio of a track file from its start or restart on, and its rate.
struct Segment {
  int rate_code = 0;
  std::string audio;
  // The stretch of tape the segment spans: tape positions (frames read and
  // places of frames that were not) and the sample pairs they last.
  int64_t positions = 0;
  int64_t span_samples = 0;
};

struct ModelTrack {
  int number = 0;
  std::vector<Segment> segments;  // as written: a restart begins a new one, the last is the file's
  std::vector<uint8_t> flags;         // interpolation flags of the flagged frames written, in order
  ConcealTotals totals{};
  int unreadable = 0;  // frames of the track that could not be read
  bool log_created = true;
};

// What the transfer report of a reading (/REPORT) must list: the problem
// frames in order, each as its index from 0 at the first frame read
// (unreadable ones count) and its kind, and whether the run ended early.
struct ReportModel {
  std::vector<std::pair<int64_t, std::string>> events;
  int64_t frames = 0;
  bool ended_early = false;
  // Takes the outcome of one read of the run.
  void read(const ReadResult& r, const std::vector<DatFrame>& frames);
};

// The exit code of a run, one table for every mode: 6 when it could not
// start or ended early, 5 when it went to its end with frames damaged or
// unreadable, else 0.
int exit_code_of(bool ended_early, bool damaged);
// The same of a reading whose problem frames are the report's events.
int exit_code_of(const ReportModel& report);

struct ExtractOutcome {
  int exit_code = 0;
  std::vector<std::string> said;  // messages the console must show
  std::vector<ModelTrack> tracks;
  int loop_read_failures = 0;  // "loop2 ..." messages
  ReportModel report;
};

// wav_blocked, log_blocked: the track whose WAV file or log cannot be
// created (0: none).
ExtractOutcome model_extract(const ExtractSwitches& switches, ModelBus* bus, const std::string& base,
                             int wav_blocked, int log_blocked);

// /BITTERN: the frames saved to the image, as indices into the input (for
// a stand-in, that of the frame it stands for) and as the records.
struct DumpOutcome {
  int exit_code = 0;
  std::vector<std::string> said;
  size_t said_before_saving = 0;  // messages said before the first record was saved
  bool image_created = false;
  std::vector<size_t> saved;
  std::vector<DatFrame> records;
  ReportModel report;
};
DumpOutcome model_dump(bool stopeot, ModelBus* bus, const std::string& image_name, bool image_blocked);

// /BUNTING from the image's whole records; the tape is bus->output.
struct WriteOutcome {
  int exit_code = 0;
  std::vector<std::string> said;
  ReportModel report;  // /PINTAIL's
};
enum ImageState { IMAGE_PRESENT, IMAGE_MISSING, IMAGE_UNREADABLE };
// short_bytes: the image ends in a short record of so many bytes.
WriteOutcome model_restore(bool stopeot, ModelBus* bus, const std::vector<DatFrame>& records, ImageState image,
                           const std::string& image_name, size_t short_bytes);
// /PINTAIL; the tape is bus->output.
WriteOutcome model_copy(bool stopeot, ModelBus* bus);

// /GOSHAWK: the frames of each phase of a recording made without faults.
constexpr int kLeadInFrames = 120;
constexpr int kLeadOutFrames = 300;
struct RecordPlan {
  int lead_in_silence = 0;
  std::vector<int> tracks;  // audio frames of each track
  std::vector<int> gaps;    // inter-track silence after each track
  int lead_out_silence = 0;
  size_t total() const;     // every frame, lead-in and lead-out included
};

// What a recording writes under the output drive's faults, taking the frames
// from the same recording made without faults (clean, laid out as plan): up
// to the failing write, with the lead-in and the silences restarted or cut
// as documented and the absolute times after a cut lead-in silence moved up;
// a write that failed (and was not written again) ends the run with exit
// code 6. sequential: the output drive passes the check at every track start.
WriteOutcome model_record(ModelBus* bus, const std::vector<DatFrame>& clean, const RecordPlan& plan,
                          bool sequential);

// SIGINT raised by the drive just before a poll (TEST UNIT READY or READ
// POSITION, counted from 1 over the run) of the set-up's wait for a tape that
// is not ready (seek false), or of a seek after a set-up whose one poll found
// the tape ready (seek true), before the search arrives: the run ends there,
// no mode begins, the drive is torn down.
struct EarlyOutcome {
  std::vector<std::string> said;
  std::vector<std::string> not_said;  // what only a run that went on past the interrupt shows
  size_t progress_lines = 0;          // the seek's, one a READ POSITION in its watch
};
EarlyOutcome model_early_interruption(bool seek, int poll);

// "%x" and "%.8x" of a result word.
std::string hex_word(uint32_t word);
std::string hex_word8(uint32_t word);
