// SPDX-License-Identifier: MIT
#include "scsi/seek.h"

#include <cstring>

#include "base/dat_format.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

const int64_t kGiveUpAfterS = 30;  // watching ends after this long without a change
const int64_t kSettledS = 10;      // a change more recent than this counts as arrived
const uint32_t kPollIntervalMs = 1000;
const int kRestLimitS = 60;         // a drive that still moves after this long is given up
const int64_t kFirstStepBack = 64;  // frames a correction first takes the tape back
const int kMostStepsBack = 12;      // each twice the one before: the last over an hour of tape


uint32_t packed_time(const uint8_t* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<uint32_t>(dat_bcd_value(bytes[i]) & 0xFF);
  return value;
}

void print_progress(const uint8_t* p) {
  message_text("   - Present seek position: ");
  message_text("PROGNUM: %.3x, ", p[kPositionProgramDigits] * 256 + p[kPositionProgramDigits + 1] * 16 + p[kPositionProgramDigits + 2]);
  const uint8_t* t = p + kPositionAbsoluteTime;
  message_text(t[3] == 0xAA ? "ABSTIME: %.2x:%.2x:%.2x:%.2x\r" : "ABSTIME: %.2d:%.2d:%.2d:%.2d\r",
               dat_bcd_value(t[0]), dat_bcd_value(t[1]), dat_bcd_value(t[2]), dat_bcd_value(t[3]));
}

// Whether READ POSITION's result says the search ended at the end of the
// data. A drive that still searches (not ready) may stand there on its way
// back from it: that is no end, and the position is not yet known (its
// bytes 0xFF, which match no position).
bool ended_at_end_of_data(const DriveAddress& d, TapeResult* result, uint8_t* position) {
  if (result->status != TAPE_END_OF_DATA) return false;
  if (scsi_test_unit_ready(d).status != TAPE_NOT_READY) return true;
  *result = TapeResult{TAPE_GOOD, 0};  // no failure: the watch goes on
  std::memset(position, 0xFF, AUDIO_POSITION_BYTES);
  return false;
}

// The number the program digits of position data make; -1 when a digit is
// above 9: the lead-in (0BB), the lead-out (0EE) or no program (0AA) are
// never a number, though 0BB would add up to 121.
int shown_digits(const uint8_t* position) {
  for (int i = 0; i < 3; ++i)
    if (position[kPositionProgramDigits + i] > 9) return -1;
  return position[kPositionProgramDigits] * 100 + position[kPositionProgramDigits + 1] * 10 +
         position[kPositionProgramDigits + 2];
}

// Where a drive stands when asked.
enum Rest { REST_AT_FRAME, REST_AT_END, REST_UNKNOWN, REST_NONE };

Rest position_here(const DriveAddress& d, uint8_t* position) {
  TapeResult result = scsi_read_position(d, position);
  if (tape_completed(result)) return REST_AT_FRAME;
  return result.status == TAPE_END_OF_DATA ? REST_AT_END : REST_UNKNOWN;
}

bool stopped(bool (*stop)(void)) { return console_interrupted() || (stop && stop()); }

// Waits until the drive stands still after a search (a search watched to a
// match may still be under way), then reads where: at a frame (position its
// data), at the end of the data, or somewhere it does not say. REST_NONE when
// it does not stand still within a minute, or an interrupt or stop ends the
// wait. Each pass reads the position too: the search goes on meanwhile.
Rest come_to_rest(const DriveAddress& d, uint8_t* position, bool (*stop)(void)) {
  for (int waited = 0; waited < kRestLimitS; ++waited) {
    if (scsi_test_unit_ready(d).status != TAPE_NOT_READY) return position_here(d, position);
    if (console_sleep_ms(kPollIntervalMs) != 0 || stopped(stop)) return REST_NONE;
    scsi_read_position(d, position);
  }
  return REST_NONE;
}

// The time of the seek type's field in position data, packed one value a
// byte as goals are; false when the frame carries none (or no other type).
bool shown_time(int type, const uint8_t* position, uint32_t* time) {
  int at = type == SEEK_ABSTIME ? kPositionAbsoluteTime
           : type == SEEK_RUNTIME ? kPositionRunningTime
           : type == SEEK_PROGTIME ? kPositionProgramTime
                                   : -1;
  if (at < 0 || dat_frames_of_time_code(position + at) < 0) return false;
  *time = packed_time(position + at);
  return true;
}

bool past_goal(int type, uint32_t goal, const uint8_t* position) {
  uint32_t time = 0;
  return shown_time(type, position, &time) && time > goal;
}

// Whether a frame that shows the goal is known to be the first that does
// without a look at the frame before it: a time code names its frame; the
// first frame of a program is the tape's first, or has program time 0.
bool known_first(int type, const uint8_t* position) {
  static const uint8_t kZero[4] = {};
  if (type != SEEK_PROGNUM) return true;
  return position_running_index(position) == 0 ||
         std::memcmp(position + kPositionProgramTime, kZero, sizeof kZero) == 0;
}

// Reads on from the frame the drive stands on (position its data) until the
// next frame shows the goal, at most limit frames: the frame that shows it
// is not read. SEARCH_ARRIVED there (before then holds the data of the frame
// read last, when one was), SEARCH_NOT_NEAR when it was not met,
// SEARCH_FAILED when a command fails or an interrupt or stop ends the
// reading. A frame that cannot be read is passed: the drive moves past it.
SearchEnd read_on(const DriveAddress& d, int type, uint32_t goal, uint8_t* position, int64_t limit,
                  bool (*stop)(void), SearchCorrection* c) {
  uint8_t frame[DAT_FRAME_BYTES];
  uint8_t previous[AUDIO_POSITION_BYTES];
  for (int64_t read = 0;; ++read) {
    if (position_shows(type, goal, position)) {
      c->before_known = read > 0;
      if (read > 0) std::memcpy(c->before, previous, sizeof previous);
      return SEARCH_ARRIVED;
    }
    if (read >= limit) return SEARCH_NOT_NEAR;
    if (stopped(stop)) return SEARCH_FAILED;
    std::memcpy(previous, position, sizeof previous);
    TapeStatus status = scsi_read_block(d, frame, DAT_FRAME_BYTES).status;
    if (status == TAPE_END_OF_DATA) return SEARCH_NOT_NEAR;
    if (!tape_completed(status) && status != TAPE_MEDIUM_ERROR) return SEARCH_FAILED;
    Rest rest = position_here(d, position);
    if (rest == REST_AT_END) return SEARCH_NOT_NEAR;
    if (rest != REST_AT_FRAME) return SEARCH_FAILED;
  }
}

// Frames from where a search stopped to the frame of position data.
int64_t offset_from(int64_t stopped_at, const uint8_t* position) {
  int64_t here = position_running_index(position);
  return stopped_at >= 0 && here >= 0 ? here - stopped_at : 0;
}

// After a search that arrived: brings the tape to the first frame that shows
// the goal, as search_exactly says.
SearchEnd correct_search(const DriveAddress& d, int type, uint32_t goal, uint8_t* position, bool (*stop)(void),
                         SearchCorrection* c) {
  Rest rest = come_to_rest(d, position, stop);
  if (rest == REST_NONE) return SEARCH_FAILED;
  if (rest == REST_AT_END) return SEARCH_NOT_NEAR;
  if (rest == REST_UNKNOWN) return SEARCH_ARRIVED;  // the drive does not say: taken as arrived
  c->checked = 1;
  const int64_t stopped_at = position_running_index(position);
  bool back = position_shows(type, goal, position) ? !known_first(type, position) : past_goal(type, goal, position);
  if (!back) {
    SearchEnd found = read_on(d, type, goal, position, kSearchReadOnFrames, stop, c);
    if (found == SEARCH_ARRIVED) c->offset = offset_from(stopped_at, position);
    if (found != SEARCH_NOT_NEAR) return found;
  }
  // Back to a running time before where it stopped, further while the frame
  // there still shows the program (not as its first frame) or a later time,
  // then read on. Program times begin again in every program: a later one
  // there says nothing.
  int64_t step = kFirstStepBack;
  for (int tries = 0; stopped_at > 0 && tries < kMostStepsBack; ++tries, step *= 2) {
    int64_t to = stopped_at > step ? stopped_at - step : 0;
    if (search_tape(d, SEEK_RUNTIME, time_goal(to), position, false, stop) != SEARCH_ARRIVED) return SEARCH_FAILED;
    if (come_to_rest(d, position, stop) != REST_AT_FRAME) return SEARCH_FAILED;
    int64_t here = position_running_index(position);
    if (here < 0) return SEARCH_FAILED;
    bool further = type == SEEK_PROGNUM ? position_shows(type, goal, position) && !known_first(type, position)
                                        : type != SEEK_PROGTIME && past_goal(type, goal, position);
    if (further && here > 0) continue;
    SearchEnd found = read_on(d, type, goal, position, stopped_at - here + kSearchReadOnFrames, stop, c);
    if (found == SEARCH_ARRIVED) c->offset = offset_from(stopped_at, position);
    return found;
  }
  return stopped(stop) ? SEARCH_FAILED : SEARCH_NOT_NEAR;
}

}  // namespace

int position_program(const uint8_t* position) {
  int number = shown_digits(position);
  return number >= 1 && number <= 799 ? number : 0;
}

int64_t position_running_index(const uint8_t* position) {
  return dat_frames_of_time_code(position + kPositionRunningTime);
}

uint32_t position_time_code(const uint8_t* position, int field) {
  const uint8_t* bytes = position + field;
  if (bytes[3] == 0xAA) return TIME_CODE_NONE;
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint32_t time_goal(int64_t frames) {
  uint8_t bytes[4];
  dat_time_code_of_frames(frames < 0 ? 0 : static_cast<uint64_t>(frames), bytes);
  uint32_t goal = 0;
  for (uint8_t b : bytes) goal = goal << 8 | static_cast<uint32_t>(dat_bcd_value(b));
  return goal;
}

bool position_shows(int type, uint32_t goal, const uint8_t* position) {
  switch (type) {
    case SEEK_PROGNUM: return shown_digits(position) == static_cast<int64_t>(goal);
    case SEEK_ABSTIME: return packed_time(position + kPositionAbsoluteTime) == goal;
    case SEEK_RUNTIME: return packed_time(position + kPositionRunningTime) == goal;
    case SEEK_PROGTIME: return packed_time(position + kPositionProgramTime) == goal;
    default: return false;
  }
}

bool position_matches(const RunSettings* settings, const uint8_t* position) {
  return position_shows(settings->seek_type, settings->seek_target, position);
}

SearchEnd search_tape(const DriveAddress& d, int type, uint32_t goal, uint8_t* position, bool progress,
                      bool (*stop)(void)) {
  if (!tape_completed(scsi_locate2(d, goal, type))) {
    // The exported command's -1, as it has always been shown.
    if (progress) message_text("Seek failed %x\n", static_cast<unsigned>(-1));
    return SEARCH_FAILED;
  }

  int64_t last_change = platform_time_s();
  int64_t now = last_change;
  std::memset(position, 0, AUDIO_POSITION_BYTES);
  TapeResult result = scsi_read_position(d, position);
  // A search that ended at the end of data before this first look failed as
  // much as one seen to end there on the way.
  if (ended_at_end_of_data(d, &result, position)) {
    if (progress) message_text("Reached end of tape...");
    return SEARCH_END_OF_DATA;
  }
  bool matches = position_shows(type, goal, position);
  uint8_t last_time[4];
  std::memcpy(last_time, position + kPositionAbsoluteTime, sizeof last_time);

  while (now - last_change < kGiveUpAfterS) {
    if (!tape_completed(result) || matches) break;
    if (wait_unit_ready(d, 0).status == TAPE_GOOD) break;  // the search is over
    if (console_sleep_ms(kPollIntervalMs) != 0) break;
    if (stop && stop()) {
      if (progress) message_text("\n");
      return SEARCH_FAILED;
    }
    result = scsi_read_position(d, position);
    if (ended_at_end_of_data(d, &result, position)) {
      if (progress) message_text("Reached end of tape...");
      return SEARCH_END_OF_DATA;
    }
    matches = position_shows(type, goal, position);
    if (progress) print_progress(position);
    now = platform_time_s();
    if (std::memcmp(last_time, position + kPositionAbsoluteTime, sizeof last_time) != 0) last_change = now;
    std::memcpy(last_time, position + kPositionAbsoluteTime, sizeof last_time);
  }
  if (progress) message_text("\n");
  // Ctrl-C or SIGTERM ends the watch: the run is to end where the tape stands.
  if (console_interrupted()) return SEARCH_FAILED;
  if (now - last_change < kSettledS) return SEARCH_ARRIVED;
  // The word as READ POSITION's exported form gives it: 0 when completed.
  if (progress) message_text("\nSeek failed %x\n", tape_completed(result) ? 0u : result.word);
  return SEARCH_FAILED;
}

SearchEnd search_exactly(const DriveAddress& d, int type, uint32_t goal, uint8_t* position, bool progress,
                         bool (*stop)(void), SearchCorrection* correction) {
  SearchCorrection unused;
  SearchCorrection* c = correction ? correction : &unused;
  *c = SearchCorrection{};
  SearchEnd end = search_tape(d, type, goal, position, progress, stop);
  if (end != SEARCH_ARRIVED) return end;
  return correct_search(d, type, goal, position, stop, c);
}

bool seek_tape(const DriveAddress& d, RunSettings* settings) {
  uint32_t goal = settings->seek_target;
  message_text(" - seeking to tape ");
  if (settings->seek_type == SEEK_PROGNUM)
    message_text("program number %d\n", static_cast<int>(goal));
  else
    message_text("time %.2d:%.2d:%.2d:%.2d\n", goal >> 24, (goal >> 16) & 0xFF, (goal >> 8) & 0xFF, goal & 0xFF);
  uint8_t position[AUDIO_POSITION_BYTES] = {};
  SearchCorrection c;
  SearchEnd end = search_exactly(d, settings->seek_type, goal, position, true, nullptr, &c);
  if (end == SEARCH_NOT_NEAR)
    message_text(" - no frame within %d frames of where the search stopped shows that position\n",
                kSearchReadOnFrames);
  if (end != SEARCH_ARRIVED) return false;
  // Said only where the tape then stands elsewhere than where the search stopped.
  long long frames = c.offset < 0 ? -c.offset : c.offset;
  const char* unit = frames == 1 ? "frame" : "frames";
  if (c.offset > 0)
    message_text(" - the search stopped %lld %s short of it: read on to it\n", frames, unit);
  else if (c.offset < 0)
    message_text(" - the search stopped %lld %s past it: taken back and read on to it\n", frames, unit);
  return true;
}

SearchEnd search_frame(const DriveAddress& d, int64_t index, uint8_t* position, bool (*stop)(void)) {
  return search_exactly(d, SEEK_RUNTIME, time_goal(index), position, false, stop, nullptr);
}

TapeResult locate_time(const DriveAddress& d, int type, int64_t frames) {
  return scsi_locate2(d, time_goal(frames), type);
}

SearchEnd wait_for_search(const DriveAddress& d, uint32_t limit_ms, bool (*stop)(void), TapeResult* lost) {
  const uint32_t kStepMs = 100;
  uint8_t position[AUDIO_POSITION_BYTES];
  for (uint32_t waited = 0;; waited += kStepMs) {
    scsi_read_position(d, position);
    TapeResult ready = scsi_test_unit_ready(d);
    if (ready.status == TAPE_GOOD) return SEARCH_ARRIVED;
    if (tape_lost_place(ready.status)) {
      if (lost) *lost = ready;
      return SEARCH_FAILED;
    }
    if ((stop && stop()) || console_interrupted()) return SEARCH_STOPPED;
    if (waited >= limit_ms) return SEARCH_FAILED;
    if (console_sleep_ms(kStepMs) != 0) return SEARCH_STOPPED;
  }
}
