// SPDX-License-Identifier: MIT
// The codes of the SCSI commands kestrel sends to a DDS drive with audio
// firmware: the commands in scsi/ build them, the virtual drive answers them.
#pragma once

#include <cstdint>

// Operation codes (the CDB's first byte).
enum ScsiOpcode : uint8_t {
  SCSI_OP_TEST_UNIT_READY = 0x00,
  SCSI_OP_REWIND = 0x01,
  SCSI_OP_READ_6 = 0x08,
  SCSI_OP_WRITE_6 = 0x0A,
  SCSI_OP_SEEK_BLOCK = 0x0C,
  SCSI_OP_INQUIRY = 0x12,
  SCSI_OP_MODE_SELECT_6 = 0x15,
  SCSI_OP_MODE_SENSE_6 = 0x1A,
  SCSI_OP_LOAD_UNLOAD = 0x1B,
  SCSI_OP_LOCATE_10 = 0x2B,
  SCSI_OP_READ_POSITION = 0x34,
  SCSI_OP_READ_BUFFER = 0x3C,
};

// Mode pages: the MRS page of one drive family, and all pages.
const uint8_t kModePageMrs = 0x30;
const uint8_t kModePageAll = 0x3F;

// Density codes of the mode parameter block descriptor.
#define DENSITY_AUDIO 0x80
#define DENSITY_DATA 0x13

// What an audio LOCATE searches for (bits 5-6 of its byte 3).
enum AudioSearchType {
  AUDIO_SEARCH_PROGRAM = 0,
  AUDIO_SEARCH_ABSOLUTE = 1,
  AUDIO_SEARCH_RUNNING = 2,
  AUDIO_SEARCH_PROGRAM_TIME = 3,
};

// READ POSITION's audio position data: its length and where its fields begin
// (program number digits, running time, absolute time, program time, each
// time four BCD bytes hours, minutes, seconds, frame).
#define AUDIO_POSITION_BYTES 20
const int kPositionProgramDigits = 4;
const int kPositionRunningTime = 8;
const int kPositionAbsoluteTime = 12;
const int kPositionProgramTime = 16;
