// SPDX-License-Identifier: MIT
#include "scsi/tape_status.h"

#include "aspi/block_status.h"
#include "aspi/wnaspi32.h"
#include "scsi/aspi_call.h"

namespace {

const uint8_t kAscPositioning = 0x3B;

// A command that failed with CHECK CONDITION: its sense bytes say why. The
// end of the recorded data comes first, then the end of the tape, whatever
// the key of either.
TapeStatus failed_status(uint32_t word) {
  uint8_t key = tape_sense_key(word);
  uint8_t flags = static_cast<uint8_t>(word >> 16);
  if (key == SENSE_BLANK_CHECK) return TAPE_END_OF_DATA;
  if (key == SENSE_VOLUME_OVERFLOW || (flags & SENSE_FLAG_EOM)) return TAPE_END_OF_MEDIUM;
  if (tape_asc(word) == kAscPositioning) return TAPE_POSITIONING;
  switch (key) {
    case SENSE_NOT_READY: return TAPE_NOT_READY;
    case SENSE_MEDIUM_ERROR: return TAPE_MEDIUM_ERROR;
    case SENSE_DATA_PROTECT: return TAPE_WRITE_PROTECTED;
    case SENSE_ILLEGAL_REQUEST: return TAPE_ILLEGAL_REQUEST;
    case SENSE_UNIT_ATTENTION: return TAPE_UNIT_ATTENTION;
    default: return TAPE_OTHER;
  }
}

}  // namespace

TapeStatus tape_status(uint32_t word) {
  switch (ASPI_RESULT_STATUS(word)) {
    case ASPI_STATUS_PENDING: return TAPE_PENDING;
    case ASPI_STATUS_COMPLETED: return word == ASPI_RESULT_GOOD ? TAPE_GOOD : TAPE_RECOVERED;
    case ASPI_STATUS_NO_DEVICE: return TAPE_NO_DEVICE;
    case ASPI_STATUS_IN_USE: return TAPE_IN_USE;
    case ASPI_STATUS_NO_RESOURCES: return TAPE_NO_MEMORY;
    case ASPI_STATUS_ABORTED: return TAPE_ABORTED;
    case ASPI_STATUS_ERROR: return failed_status(word);
    default: return TAPE_OTHER;
  }
}

const char* tape_status_name(TapeStatus status) {
  switch (status) {
    case TAPE_GOOD: return "good";
    case TAPE_RECOVERED: return "recovered";
    case TAPE_END_OF_DATA: return "end of data";
    case TAPE_NOT_READY: return "not ready";
    case TAPE_MEDIUM_ERROR: return "medium error";
    case TAPE_WRITE_PROTECTED: return "write protected";
    case TAPE_END_OF_MEDIUM: return "end of medium";
    case TAPE_POSITIONING: return "positioning error";
    case TAPE_ILLEGAL_REQUEST: return "illegal request";
    case TAPE_NO_DEVICE: return "no device";
    case TAPE_PENDING: return "not completed";
    case TAPE_IN_USE: return "in use by another program";
    case TAPE_NO_MEMORY: return "out of memory";
    case TAPE_UNIT_ATTENTION: return "drive reset or cassette changed";
    case TAPE_ABORTED: return "cut off on the way";
    case TAPE_OTHER: break;
  }
  return "failed";
}

const char* tape_lost_place(TapeStatus status) {
  switch (status) {
    case TAPE_PENDING: return "the drive did not answer in time: the read ends here";
    case TAPE_UNIT_ATTENTION:
      return "the drive was reset or its cassette changed: its place on the tape is lost and the read ends here";
    case TAPE_ABORTED:
      return "a read was cut off on the way (bus reset or short transfer): the place on the tape is not "
             "known and the read ends here";
    case TAPE_NO_DEVICE: return "the drive is no longer on the bus: the read ends here";
    default: return nullptr;
  }
}
