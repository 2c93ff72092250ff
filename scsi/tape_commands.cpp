// SPDX-License-Identifier: MIT
#include "scsi/tape_commands.h"

#include <cstring>

#include "base/dat_format.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_status.h"

namespace {

// How long a command may take before the drive counts as not answering,
// suited to DDS drives: a REWIND or LOCATE winds across the whole tape (two
// minutes and more end to end on a 120-metre cassette), a LOAD threads it
// and may rewind it first; every other command, READ and WRITE among them,
// is over in seconds.
const uint32_t kShortTimeoutMs = 25000;
const uint32_t kLongTimeoutMs = 300000;
// UNIT ATTENTION: the command was not carried out and is sent again (the
// attention is cleared by the answer), a few times at most.
const int kAttentionRetries = 3;
// NOT READY, becoming ready: the command is sent again until the drive has
// threaded the tape, for as long as a tape may take to mount.
const uint32_t kBecomingReadyMs = 60000;
const uint32_t kBecomingReadyPollMs = 100;
const uint8_t kAscBecomingReady = 0x04;
const uint8_t kAscqBecomingReady = 0x01;
const int kMaxShortLength = 255;
const int kModePageBytes = 100;
const int kMrsByte = 15;
const uint8_t kMrsOffBit = 0x08;

struct DriveRow {
  const char* vendor;
  const char* product;
  int kind;
};

// Searched from the top; the last matching row wins; "NULL" ends it.
const DriveRow kDriveTable[] = {
    {"ARCHIVE", "Python 25601-XXX2.63", DRIVE_PYTHON},
    {"ARCHIVE", "Python 25601-XXX2.75", DRIVE_PYTHON},
    {"ARCHIVE", "Python 01931-XXX5.56", DRIVE_PYTHON},
    {"ARCHIVE", "Python 01931-XXX5.63", DRIVE_PYTHON},
    {"ARCHIVE", "Python 01931-XXX5AC", DRIVE_PYTHON},
    {"ARCHIVE", "Python 25501-XXX", DRIVE_PYTHON},
    {"ARCHIVE", "Python", DRIVE_PYTHON},
    {"SONY", "SDT-9000        1.11", DRIVE_SDT9000},
    {"SONY", "SDT-9000        11.1", DRIVE_SDT9000},
    {"SONY", "SDT-9000        2.12", DRIVE_SDT9000},
    {"SONY", "SDT-9000        12.2", DRIVE_SDT9000},
    {"SONY", "SDT-9000        1.13", DRIVE_SDT9000},
    {"SONY", "SDT-9000        13.1", DRIVE_SDT9000},
    {"SONY", "SDT-9000", DRIVE_SDT9000},
    {"NULL", "NULL", DRIVE_UNKNOWN},
};

// For the commands whose exported form's success is 0: a command that never
// completed (result word 0) must not read as success.
TapeResult failure_word(TapeResult r) {
  if (r.word == 0) r.word = ASPI_RESULT_NOT_COMPLETED;
  return r;
}

bool becoming_ready(TapeResult r) {
  return r.status == TAPE_NOT_READY && tape_asc(r.word) == kAscBecomingReady &&
         tape_ascq(r.word) == kAscqBecomingReady;
}

// One command, sent again where the drive did not carry it out and the SCSI
// standard says to: after a UNIT ATTENTION, and while it is becoming ready.
// Not so a READ or WRITE after a UNIT ATTENTION: the reset or the cassette
// change that it reports has lost the tape's place, and the frame the
// command would move is not the one asked for. TEST UNIT READY is the poll
// itself: its callers wait.
TapeResult call(const DriveAddress& d, const uint8_t* cdb, int cdb_length, void* data, uint32_t data_length,
                int data_out, uint32_t timeout_ms) {
  bool transfer = cdb[0] == SCSI_OP_READ_6 || cdb[0] == SCSI_OP_WRITE_6;
  uint32_t start = platform_time_ms();
  int attentions = 0;
  for (;;) {
    TapeResult r = tape_result(
        ASPI_Call(d.adapter, d.target, d.lun, cdb, cdb_length, data, data_length, data_out, timeout_ms));
    if (r.status == TAPE_UNIT_ATTENTION && !transfer && ++attentions <= kAttentionRetries) continue;
    if (!becoming_ready(r) || cdb[0] == SCSI_OP_TEST_UNIT_READY) return r;
    if (platform_time_ms() - start >= kBecomingReadyMs || console_sleep_ms(kBecomingReadyPollMs) != 0) return r;
  }
}

TapeResult no_data(const DriveAddress& d, const uint8_t* cdb, int cdb_length, uint32_t timeout_ms) {
  return call(d, cdb, cdb_length, nullptr, 0, 0, timeout_ms);
}

TapeResult refused() { return tape_result(ASPI_RESULT_INVALID_REQUEST); }

// The exported forms' conventions.
int zero_or_minus_one(TapeResult r) { return tape_completed(r) ? 0 : -1; }
uint32_t zero_or_word(TapeResult r) { return tape_completed(r) ? 0 : r.word; }

uint8_t byte_of(uint32_t value, int shift) { return static_cast<uint8_t>(value >> shift); }

uint8_t to_bcd(uint8_t value) { return dat_bcd_byte(value); }

int capped(int length) { return length > kMaxShortLength ? kMaxShortLength : length; }

}  // namespace

TapeResult scsi_read_block(const DriveAddress& d, void* buffer, int length) {
  if (length < 0 || length > 0xFFFFFF) return refused();
  uint32_t n = static_cast<uint32_t>(length);
  const uint8_t cdb[6] = {SCSI_OP_READ_6, 0x00, byte_of(n, 16), byte_of(n, 8), byte_of(n, 0), 0x00};
  return call(d, cdb, sizeof cdb, buffer, n, 0, kShortTimeoutMs);
}

TapeResult scsi_write_block(const DriveAddress& d, const void* buffer, int length) {
  if (length < 0 || length > 0xFFFFFF) return refused();
  uint32_t n = static_cast<uint32_t>(length);
  const uint8_t cdb[6] = {SCSI_OP_WRITE_6, 0x00, byte_of(n, 16), byte_of(n, 8), byte_of(n, 0), 0x00};
  // ASPI_Call only reads a buffer it is to send.
  return failure_word(call(d, cdb, sizeof cdb, const_cast<void*>(buffer), n, 1, kShortTimeoutMs));
}

TapeResult scsi_seek_block(const DriveAddress& d, int block) {
  uint32_t n = static_cast<uint32_t>(block);
  const uint8_t cdb[6] = {SCSI_OP_SEEK_BLOCK, 0x00, byte_of(n, 16), byte_of(n, 8), byte_of(n, 0), 0x00};
  return no_data(d, cdb, sizeof cdb, kShortTimeoutMs);
}

TapeResult scsi_rewind(const DriveAddress& d) {
  const uint8_t cdb[6] = {SCSI_OP_REWIND, 0x00, 0x00, 0x00, 0x00, 0x00};
  TapeResult r = no_data(d, cdb, sizeof cdb, kLongTimeoutMs);
  if (!tape_completed(r)) message_text("rewind failed: %.8x\n", r.word);
  return r;
}

TapeResult do_load(const DriveAddress& d, int load) {
  const uint8_t cdb[6] = {SCSI_OP_LOAD_UNLOAD, 0x00, 0x00, 0x00, static_cast<uint8_t>(load), 0x00};
  TapeResult r = no_data(d, cdb, sizeof cdb, kLongTimeoutMs);
  if (!tape_completed(r)) message_text("load failed; %.8x\n", r.word);
  return r;
}

TapeResult scsi_locate(const DriveAddress& d, uint32_t block, int partition) {
  uint8_t p = static_cast<uint8_t>(partition);
  const uint8_t cdb[10] = {SCSI_OP_LOCATE_10, static_cast<uint8_t>(p ? 0x02 : 0x00), 0x00, byte_of(block, 24),
                           byte_of(block, 16), byte_of(block, 8), byte_of(block, 0), 0x00, p, 0x00};
  return no_data(d, cdb, sizeof cdb, kLongTimeoutMs);
}

TapeResult scsi_locate2(const DriveAddress& d, uint32_t position, int type) {
  uint8_t cdb[10] = {SCSI_OP_LOCATE_10, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  if (type == AUDIO_SEARCH_PROGRAM) {
    cdb[4] = static_cast<uint8_t>(position / 100 % 10);
    cdb[5] = static_cast<uint8_t>(position / 10 % 10);
    cdb[6] = static_cast<uint8_t>(position % 10);
  } else {
    if (type >= AUDIO_SEARCH_ABSOLUTE && type <= AUDIO_SEARCH_PROGRAM_TIME) cdb[3] = static_cast<uint8_t>(type * 0x20);
    for (int i = 0; i < 4; ++i) cdb[4 + i] = to_bcd(byte_of(position, 24 - 8 * i));
  }
  return no_data(d, cdb, sizeof cdb, kLongTimeoutMs);
}

TapeResult scsi_read_position(const DriveAddress& d, uint8_t* buffer) {
  const uint8_t cdb[10] = {SCSI_OP_READ_POSITION, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  return failure_word(call(d, cdb, sizeof cdb, buffer, AUDIO_POSITION_BYTES, 0, kShortTimeoutMs));
}

TapeResult scsi_test_unit_ready(const DriveAddress& d) {
  const uint8_t cdb[6] = {SCSI_OP_TEST_UNIT_READY, 0x00, 0x00, 0x00, 0x00, 0x00};
  return no_data(d, cdb, sizeof cdb, kShortTimeoutMs);
}

TapeResult wait_unit_ready(const DriveAddress& d, uint32_t limit_ms) {
  uint32_t start = platform_time_ms();
  for (;;) {
    TapeResult r = scsi_test_unit_ready(d);
    if (r.status == TAPE_GOOD) return r;
    // Ctrl-C or SIGTERM ends the wait at once: the run is to end.
    if (console_sleep_ms(100) != 0) return r;
    if (platform_time_ms() - start >= limit_ms) return r;
  }
}

TapeResult scsi_read_buffer(const DriveAddress& d, int buffer_id, int offset, void* buffer, int length) {
  if (length < 0) return refused();
  int n = capped(length);
  uint32_t o = static_cast<uint32_t>(offset);
  const uint8_t cdb[10] = {SCSI_OP_READ_BUFFER, 0x01, static_cast<uint8_t>(buffer_id), byte_of(o, 16), byte_of(o, 8),
                           byte_of(o, 0),       0x00, 0x00, static_cast<uint8_t>(n),        0x00};
  return call(d, cdb, sizeof cdb, buffer, static_cast<uint32_t>(n), 0, kShortTimeoutMs);
}

TapeResult scsi_mode_select(const DriveAddress& d, const uint8_t* data, int length) {
  if (length <= 0) return refused();
  // As many bytes as the data's first byte says, but never beyond the buffer.
  int n = data[0] < length ? data[0] : length;
  const uint8_t cdb[6] = {SCSI_OP_MODE_SELECT_6, 0x00, 0x00, 0x00, static_cast<uint8_t>(n), 0x00};
  return call(d, cdb, sizeof cdb, const_cast<uint8_t*>(data), static_cast<uint32_t>(n), 1, kShortTimeoutMs);
}

TapeResult scsi_mode_select_12(const DriveAddress& d, const uint8_t* data, int length) {
  if (length <= 0) return refused();
  const uint8_t cdb[6] = {SCSI_OP_MODE_SELECT_6, 0x00, 0x00, 0x00, 0x0C, 0x00};
  return call(d, cdb, sizeof cdb, const_cast<uint8_t*>(data), static_cast<uint32_t>(capped(length)), 1,
              kShortTimeoutMs);
}

TapeResult scsi_mode_sense(const DriveAddress& d, int page, uint8_t* destination, int length, int* mode_bytes) {
  if (length <= 0) return refused();
  int n = capped(length);
  uint8_t data[kMaxShortLength] = {};
  const uint8_t cdb[6] = {SCSI_OP_MODE_SENSE_6, 0x00, static_cast<uint8_t>(page), 0x00, static_cast<uint8_t>(n), 0x00};
  TapeResult r = call(d, cdb, sizeof cdb, data, static_cast<uint32_t>(n), 0, kShortTimeoutMs);
  if (!tape_completed(r)) return r;
  int bytes = data[0] + 1;
  std::memcpy(destination, data, static_cast<size_t>(bytes < n ? bytes : n));
  if (mode_bytes) *mode_bytes = bytes;
  return r;
}

TapeResult scsi_inquiry(const DriveAddress& d, uint8_t* buffer, int length) {
  if (length < 0) return refused();
  int n = capped(length);
  const uint8_t cdb[6] = {SCSI_OP_INQUIRY, 0x00, 0x00, 0x00, static_cast<uint8_t>(n), 0x00};
  return call(d, cdb, sizeof cdb, buffer, static_cast<uint32_t>(n), 0, kShortTimeoutMs);
}

int get_density(const DriveAddress& d) {
  uint8_t data[kModePageBytes] = {};
  if (!tape_completed(scsi_mode_sense(d, 0, data, sizeof data))) {
    message_text("get mode page retval %d\n", -1);
    return -1;
  }
  return data[4];
}

bool set_density(const DriveAddress& d, int density) {
  const uint8_t list[12] = {0x00, 0x00, 0x10, 0x08, static_cast<uint8_t>(density), 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
  if (!tape_completed(scsi_mode_select_12(d, list, sizeof list))) return false;
  uint8_t data[kModePageBytes] = {};
  if (!tape_completed(scsi_mode_sense(d, 0, data, sizeof data))) return false;
  return data[4] == static_cast<uint8_t>(density);
}

namespace {

bool switch_density(const DriveAddress& d, int density) {
  get_density(d);
  if (!set_density(d, density)) {
    message_text("Failed to set new density\n");
    return false;
  }
  get_density(d);
  return true;
}

}  // namespace

bool set_audio_mode(const DriveAddress& d) { return switch_density(d, DENSITY_AUDIO); }

bool set_data_mode(const DriveAddress& d) { return switch_density(d, DENSITY_DATA); }

void mrs_off(const DriveAddress& d) {
  message_text("Turning off MRS mode...");
  uint8_t data[kModePageBytes] = {};
  scsi_mode_sense(d, kModePageMrs, data, sizeof data);
  if (data[kMrsByte] & kMrsOffBit) {
    message_text("already off.\n");
    return;
  }
  data[kMrsByte] |= kMrsOffBit;
  // Failures of the single commands show in the bit read back at the end.
  scsi_mode_select(d, data, sizeof data);
  std::memset(data, 0, sizeof data);
  scsi_mode_sense(d, kModePageMrs, data, sizeof data);
  message_text((data[kMrsByte] & kMrsOffBit) ? "done.\n" : "could not be turned off.\n");
}

// The exported forms.

uint32_t scsi_read_block(int adapter, int target, int lun, void* buffer, int length) {
  return scsi_read_block(DriveAddress{adapter, target, lun}, buffer, length).word;
}

uint32_t scsi_write_block(int adapter, int target, int lun, const void* buffer, int length) {
  return zero_or_word(scsi_write_block(DriveAddress{adapter, target, lun}, buffer, length));
}

int scsi_seek_block(int adapter, int target, int lun, int block) {
  return zero_or_minus_one(scsi_seek_block(DriveAddress{adapter, target, lun}, block));
}

int scsi_rewind(int adapter, int target, int lun) {
  return zero_or_minus_one(scsi_rewind(DriveAddress{adapter, target, lun}));
}

int do_load(int adapter, int target, int lun, int load) {
  return zero_or_minus_one(do_load(DriveAddress{adapter, target, lun}, load));
}

int scsi_locate(int adapter, int target, int lun, uint32_t block, int partition) {
  return zero_or_minus_one(scsi_locate(DriveAddress{adapter, target, lun}, block, partition));
}

int scsi_locate2(int adapter, int target, int lun, uint32_t position, int type) {
  return zero_or_minus_one(scsi_locate2(DriveAddress{adapter, target, lun}, position, type));
}

uint32_t scsi_read_position(int adapter, int target, int lun, uint8_t* buffer) {
  return zero_or_word(scsi_read_position(DriveAddress{adapter, target, lun}, buffer));
}

uint32_t scsi_test_unit_ready(int adapter, int target, int lun) {
  return scsi_test_unit_ready(DriveAddress{adapter, target, lun}).word;
}

int scsi_read_buffer(int adapter, int target, int lun, int buffer_id, int offset, void* buffer, int length) {
  return zero_or_minus_one(scsi_read_buffer(DriveAddress{adapter, target, lun}, buffer_id, offset, buffer, length));
}

int lookup_drive(const char* vendor, const char* product) {
  int kind = DRIVE_UNKNOWN;
  for (const DriveRow* row = kDriveTable; std::strcmp(row->vendor, "NULL") != 0; ++row) {
    if (std::strncmp(row->vendor, vendor, std::strlen(row->vendor)) == 0 &&
        std::strncmp(row->product, product, std::strlen(row->product)) == 0)
      kind = row->kind;
  }
  return kind;
}
