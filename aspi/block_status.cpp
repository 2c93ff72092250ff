// SPDX-License-Identifier: MIT
#include "aspi/block_status.h"

#include <cstring>

namespace {

const size_t kFixedSenseBytes = 18;

}  // namespace

void block_finish_good(AspiExecRequest* block) {
  std::memset(block->sense, 0, sizeof block->sense);
  block->target_status = SCSI_STATUS_GOOD;
  block->status = ASPI_STATUS_COMPLETED;
}

void block_finish_sense(AspiExecRequest* block, const uint8_t* sense, size_t sense_bytes) {
  uint8_t fixed[kFixedSenseBytes] = {};
  if (sense_bytes > 0 && (sense[0] & 0x7E) == 0x72) {
    // Descriptor format: key, ASC and ASCQ in bytes 1-3; the flags live in
    // descriptors this layer does not need.
    fixed[0] = static_cast<uint8_t>(0x70 | (sense[0] & 0x01));
    if (sense_bytes > 1) fixed[2] = sense[1] & 0x0F;
    if (sense_bytes > 2) fixed[12] = sense[2];
    if (sense_bytes > 3) fixed[13] = sense[3];
    fixed[7] = kFixedSenseBytes - 8;
  } else {
    std::memcpy(fixed, sense, sense_bytes < sizeof fixed ? sense_bytes : sizeof fixed);
  }
  size_t keep = block->sense_length < sizeof block->sense ? block->sense_length : sizeof block->sense;
  std::memset(block->sense, 0, sizeof block->sense);
  std::memcpy(block->sense, fixed, keep);
  block->target_status = SCSI_STATUS_CHECK_CONDITION;
  uint8_t key = fixed[2] & 0x0F;
  block->status = (key == SENSE_NO_SENSE || key == SENSE_RECOVERED_ERROR) ? ASPI_STATUS_COMPLETED
                                                                          : ASPI_STATUS_ERROR;
}

void block_finish_check(AspiExecRequest* block, uint8_t key_and_flags, uint8_t asc, uint8_t ascq) {
  uint8_t sense[kFixedSenseBytes] = {};
  sense[0] = 0x70;
  sense[2] = key_and_flags;
  sense[7] = kFixedSenseBytes - 8;
  sense[12] = asc;
  sense[13] = ascq;
  block_finish_sense(block, sense, sizeof sense);
}
