// SPDX-License-Identifier: MIT
// The SCSI commands kestrel sends to a DDS drive with audio firmware, and the
// table of supported drives. Every command takes the drive's address first.
#pragma once

#include <cstdint>

#include "aspi/scsi_codes.h"
#include "scsi/drive_address.h"
#include "scsi/tape_status.h"

// Drive kinds of the drive table.
enum DriveKind { DRIVE_UNKNOWN = 0, DRIVE_PYTHON = 1, DRIVE_SDT9000 = 2 };

// The exported commands, for other programs: each turns the result word into
// its own return convention. kestrel itself uses the forms below them.
extern "C" {

// READ(6), variable block. Returns the result word unchanged.
uint32_t scsi_read_block(int adapter, int target, int lun, void* buffer, int length);
// WRITE(6), variable block. Returns 0 when completed, else the result word.
uint32_t scsi_write_block(int adapter, int target, int lun, const void* buffer, int length);
// SPACE-free block seek (0C). 0 when completed, else -1.
int scsi_seek_block(int adapter, int target, int lun, int block);
// REWIND. 0, or -1 after "rewind failed: %.8x".
int scsi_rewind(int adapter, int target, int lun);
// LOAD UNLOAD (1 load, 0 unload). 0, or -1 after "load failed; %.8x".
int do_load(int adapter, int target, int lun, int load);
// LOCATE(10) by block and partition. 0 when completed, else -1.
int scsi_locate(int adapter, int target, int lun, uint32_t block, int partition);
// Audio LOCATE by program number (type 0) or time code (types 1-3), immediate.
int scsi_locate2(int adapter, int target, int lun, uint32_t position, int type);
// READ POSITION into 20 bytes. 0 when completed, else the result word.
uint32_t scsi_read_position(int adapter, int target, int lun, uint8_t* buffer);
// TEST UNIT READY. Returns the result word unchanged.
uint32_t scsi_test_unit_ready(int adapter, int target, int lun);
// READ BUFFER, mode 1. 0 when completed, else -1.
int scsi_read_buffer(int adapter, int target, int lun, int buffer_id, int offset, void* buffer,
                     int length);

}

// The same commands, and those kestrel alone sends, for kestrel's own
// callers: the outcome is the status named from the result word, with the
// word. A request the command refuses before sending (a length out of range)
// gives ASPI_RESULT_INVALID_REQUEST. WRITE and READ POSITION give
// ASPI_RESULT_NOT_COMPLETED for the word 0 of a command that never completed,
// as their exported forms do.
TapeResult scsi_read_block(const DriveAddress& d, void* buffer, int length);
TapeResult scsi_write_block(const DriveAddress& d, const void* buffer, int length);
TapeResult scsi_seek_block(const DriveAddress& d, int block);
// Says "rewind failed: %.8x" when it fails.
TapeResult scsi_rewind(const DriveAddress& d);
// Says "load failed; %.8x" when it fails.
TapeResult do_load(const DriveAddress& d, int load);
TapeResult scsi_locate(const DriveAddress& d, uint32_t block, int partition);
TapeResult scsi_locate2(const DriveAddress& d, uint32_t position, int type);
TapeResult scsi_read_position(const DriveAddress& d, uint8_t* buffer);
TapeResult scsi_test_unit_ready(const DriveAddress& d);
TapeResult scsi_read_buffer(const DriveAddress& d, int buffer_id, int offset, void* buffer, int length);
// Repeats TEST UNIT READY until the drive is ready, limit_ms has passed or
// an interrupt (Ctrl-C, SIGTERM) has arrived; the outcome of the last one.
TapeResult wait_unit_ready(const DriveAddress& d, uint32_t limit_ms);
// MODE SELECT(6) of as many bytes as data's first byte says (at most length).
TapeResult scsi_mode_select(const DriveAddress& d, const uint8_t* data, int length);
// MODE SELECT(6) of a 12-byte parameter list.
TapeResult scsi_mode_select_12(const DriveAddress& d, const uint8_t* data, int length);
// MODE SENSE(6) of a page; mode_bytes, when given and the command completed,
// receives the number of bytes of mode data (mode data length + 1).
TapeResult scsi_mode_sense(const DriveAddress& d, int page, uint8_t* destination, int length,
                           int* mode_bytes = nullptr);
// INQUIRY: TAPE_NO_DEVICE when no device answers, TAPE_IN_USE when another
// process holds the drive.
TapeResult scsi_inquiry(const DriveAddress& d, uint8_t* buffer, int length);

// The density code in use, or -1 after "get mode page retval -1".
int get_density(const DriveAddress& d);
// Whether the drive took the density (read back after the MODE SELECT).
bool set_density(const DriveAddress& d, int density);
// Audio or data mode, the density shown before and after; false after
// "Failed to set new density".
bool set_audio_mode(const DriveAddress& d);
bool set_data_mode(const DriveAddress& d);
// Turns the MRS setting off where the drive has it, saying what it did.
void mrs_off(const DriveAddress& d);
// The drive kind for INQUIRY vendor and product (+ revision) strings.
int lookup_drive(const char* vendor, const char* product);
