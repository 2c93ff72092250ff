// SPDX-License-Identifier: MIT
// Finishing a request block: the status byte, the SCSI status and the sense
// area, the same way for real and virtual drives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aspi/wnaspi32.h"

// Sense keys and the flag bits above them in sense byte 2.
#define SENSE_NO_SENSE 0x00
#define SENSE_RECOVERED_ERROR 0x01
#define SENSE_NOT_READY 0x02
#define SENSE_MEDIUM_ERROR 0x03
#define SENSE_ILLEGAL_REQUEST 0x05
#define SENSE_UNIT_ATTENTION 0x06
#define SENSE_DATA_PROTECT 0x07
#define SENSE_BLANK_CHECK 0x08
#define SENSE_VOLUME_OVERFLOW 0x0D
#define SENSE_FLAG_EOM 0x40
#define SENSE_FLAG_ILI 0x20

// The kernel's host statuses (DID_*) that the request block's host_status
// carries for a command the bus cut off.
#define HOST_STATUS_TIME_OUT 0x03
#define HOST_STATUS_RESET 0x08

#define SCSI_STATUS_GOOD 0x00
#define SCSI_STATUS_CHECK_CONDITION 0x02

// GOOD: status completed, sense area clear.
void block_finish_good(AspiExecRequest* block);
// CHECK CONDITION with fixed-format sense data (response code 0x70 or 0x71;
// descriptor format 0x72/0x73 is converted): the sense is copied into the
// block (as many bytes as its sense length asks, at most 16) and the status
// is completed for NO SENSE and RECOVERED ERROR, error for any other key.
void block_finish_sense(AspiExecRequest* block, const uint8_t* sense, size_t sense_bytes);
// CHECK CONDITION built from sense byte 2 (key and flags), ASC and ASCQ.
void block_finish_check(AspiExecRequest* block, uint8_t key_and_flags, uint8_t asc, uint8_t ascq);

// What the transport said about a command beyond the request block: the
// bytes it did not move and, on the SCSI generic path, the kernel's own
// statuses. The command trace records it.
struct TransportOutcome {
  int32_t resid = 0;           // bytes of the data length not moved
  bool sg_sent = false;        // an SG_IO was made for the command
  int sg_errno = 0;            // SG_IO failed with this errno; 0: it returned
  uint16_t sg_host_status = 0;
  uint16_t sg_driver_status = 0;
  uint32_t sg_info = 0;
};
