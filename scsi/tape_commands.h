// The SCSI commands kestrel sends to a DDS drive with audio firmware, and the
// table of supported drives. Every command takes the drive's address first.
#pragma once

#include <cstdint>

// Drive kinds of the drive table.
enum DriveKind { DRIVE_UNKNOWN = 0, DRIVE_PYTHON = 1, DRIVE_SDT9000 = 2 };

#define DENSITY_AUDIO 0x80
#define DENSITY_DATA 0x13
#define SCSI_INQUIRY_NO_DEVICE 130
#define SCSI_INQUIRY_IN_USE 229

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

// Repeats TEST UNIT READY until the drive is ready, limit_ms has passed or
// an interrupt (Ctrl-C, SIGTERM) has arrived; returns the last result word.
uint32_t wait_unit_ready(int adapter, int target, int lun, uint32_t limit_ms);
int scsi_mode_select(int adapter, int target, int lun, const uint8_t* data, int length);
int scsi_mode_select_12(int adapter, int target, int lun, const uint8_t* data, int length);
// Returns the number of bytes of mode data (mode data length + 1), or -1.
int scsi_mode_sense(int adapter, int target, int lun, int page, uint8_t* destination, int length);
// 0 when completed, SCSI_INQUIRY_NO_DEVICE when no device answers,
// SCSI_INQUIRY_IN_USE when another process holds the drive, else -1.
int scsi_inquiry(int adapter, int target, int lun, uint8_t* buffer, int length);
int get_density(int adapter, int target, int lun);
int set_density(int adapter, int target, int lun, int density);
int set_audio_mode(int adapter, int target, int lun);
int set_data_mode(int adapter, int target, int lun);
int mrs_off(int adapter, int target, int lun);
// The drive kind for INQUIRY vendor and product (+ revision) strings.
int lookup_drive(const char* vendor, const char* product);
