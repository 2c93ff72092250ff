#include "scsi/seek.h"

#include <cstring>

#include "base/dat_format.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/report.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

const int64_t kGiveUpAfterS = 30;  // watching ends after this long without a change
const int64_t kSettledS = 10;      // a change more recent than this counts as arrived
const uint32_t kPollIntervalMs = 1000;


uint32_t packed_time(const uint8_t* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<uint32_t>(dat_bcd_value(bytes[i]) & 0xFF);
  return value;
}

void print_progress(const uint8_t* p) {
  report_text("   - Present seek position: ");
  report_text("PROGNUM: %.3x, ", p[kPositionProgramDigits] * 256 + p[kPositionProgramDigits + 1] * 16 + p[kPositionProgramDigits + 2]);
  const uint8_t* t = p + kPositionAbsoluteTime;
  report_text(t[3] == 0xAA ? "ABSTIME: %.2x:%.2x:%.2x:%.2x\r" : "ABSTIME: %.2d:%.2d:%.2d:%.2d\r",
               dat_bcd_value(t[0]), dat_bcd_value(t[1]), dat_bcd_value(t[2]), dat_bcd_value(t[3]));
}

// Whether READ POSITION's result says the search ended at the end of the
// data. A drive that still searches (not ready) may stand there on its way
// back from it: that is no end, and the position is not yet known (its
// bytes 0xFF, which match no position).
bool ended_at_end_of_data(int adapter, int target, int lun, uint32_t* result, uint8_t* position) {
  if (tape_status(*result) != TAPE_END_OF_DATA) return false;
  if (tape_status(scsi_test_unit_ready(adapter, target, lun)) != TAPE_NOT_READY) return true;
  *result = 0;
  std::memset(position, 0xFF, SEARCH_POSITION_BYTES);
  return false;
}

}  // namespace

int position_shows(int type, uint32_t goal, const uint8_t* position) {
  switch (type) {
    case SEEK_PROGNUM: {
      // Digits above 9 mark the lead-in (0BB), the lead-out (0EE) or no
      // program (0AA): never a program number, though 0BB would add up to 121.
      for (int i = 0; i < 3; ++i)
        if (position[kPositionProgramDigits + i] > 9) return 0;
      uint32_t number = static_cast<uint32_t>(position[kPositionProgramDigits] * 100 +
                                              position[kPositionProgramDigits + 1] * 10 + position[kPositionProgramDigits + 2]);
      return number == goal ? 1 : 0;
    }
    case SEEK_ABSTIME:
      return packed_time(position + kPositionAbsoluteTime) == goal ? 1 : 0;
    case SEEK_RUNTIME:
      return packed_time(position + kPositionRunningTime) == goal ? 1 : 0;
    case SEEK_PROGTIME:
      return packed_time(position + kPositionProgramTime) == goal ? 1 : 0;
    default:
      return 0;
  }
}

int position_matches(const RunSettings* settings, const uint8_t* position) {
  return position_shows(settings->seek_type, settings->seek_target, position);
}

int search_tape(int adapter, int target, int lun, int type, uint32_t goal, uint8_t* position, bool progress,
                bool (*stop)(void)) {
  int located = scsi_locate2(adapter, target, lun, goal, type);
  if (located != 0) {
    if (progress) report_text("Seek failed %x\n", static_cast<unsigned>(located));
    return SEARCH_FAILED;
  }

  int64_t last_change = platform_time_s();
  int64_t now = last_change;
  std::memset(position, 0, SEARCH_POSITION_BYTES);
  uint32_t result = scsi_read_position(adapter, target, lun, position);
  // A search that ended at the end of data before this first look failed as
  // much as one seen to end there on the way.
  if (ended_at_end_of_data(adapter, target, lun, &result, position)) {
    if (progress) report_text("Reached end of tape...");
    return SEARCH_END_OF_DATA;
  }
  int matches = position_shows(type, goal, position);
  uint8_t last_time[4];
  std::memcpy(last_time, position + kPositionAbsoluteTime, sizeof last_time);

  while (now - last_change < kGiveUpAfterS) {
    if (result != 0 || matches) break;
    if (tape_status(wait_unit_ready(adapter, target, lun, 0)) == TAPE_GOOD) break;  // the search is over
    if (console_sleep_ms(kPollIntervalMs) != 0) break;
    if (stop && stop()) {
      if (progress) report_text("\n");
      return SEARCH_FAILED;
    }
    result = scsi_read_position(adapter, target, lun, position);
    if (ended_at_end_of_data(adapter, target, lun, &result, position)) {
      if (progress) report_text("Reached end of tape...");
      return SEARCH_END_OF_DATA;
    }
    matches = position_shows(type, goal, position);
    if (progress) print_progress(position);
    now = platform_time_s();
    if (std::memcmp(last_time, position + kPositionAbsoluteTime, sizeof last_time) != 0) last_change = now;
    std::memcpy(last_time, position + kPositionAbsoluteTime, sizeof last_time);
  }
  if (progress) report_text("\n");
  // Ctrl-C or SIGTERM ends the watch: the run is to end where the tape stands.
  if (console_interrupted()) return SEARCH_FAILED;
  if (now - last_change < kSettledS) return SEARCH_ARRIVED;
  if (progress) report_text("\nSeek failed %x\n", result);
  return SEARCH_FAILED;
}

int seek_tape(int adapter, int target, int lun, RunSettings* settings) {
  uint32_t goal = settings->seek_target;
  report_text(" - seeking to tape ");
  if (settings->seek_type == SEEK_PROGNUM)
    report_text("program number %d\n", static_cast<int>(goal));
  else
    report_text("time %.2d:%.2d:%.2d:%.2d\n", goal >> 24, (goal >> 16) & 0xFF, (goal >> 8) & 0xFF, goal & 0xFF);
  uint8_t position[SEARCH_POSITION_BYTES] = {};
  int end = search_tape(adapter, target, lun, settings->seek_type, goal, position, true);
  return end == SEARCH_ARRIVED ? 0 : -1;
}
