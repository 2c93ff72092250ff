#include "scsi/tape_commands.h"

#include <cstring>

#include "base/dat_format.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_status.h"

namespace {

const uint32_t kShortTimeoutMs = 25000;
const uint32_t kLongTimeoutMs = 60000;
const int kMaxShortLength = 255;
const int kModePageBytes = 100;
const uint8_t kModePageMrs = 0x30;
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

bool completed(uint32_t word) { return tape_completed(tape_status(word)); }

// For the commands whose success is 0: a command that never completed
// (result word 0) must not read as success.
uint32_t failure_word(uint32_t word) { return word == 0 ? ASPI_RESULT_NOT_COMPLETED : word; }

uint32_t no_data(int adapter, int target, int lun, const uint8_t* cdb, int cdb_length, uint32_t timeout_ms) {
  return ASPI_Call(adapter, target, lun, cdb, cdb_length, nullptr, 0, 0, timeout_ms);
}

int zero_or_minus_one(uint32_t word) { return completed(word) ? 0 : -1; }

uint8_t byte_of(uint32_t value, int shift) { return static_cast<uint8_t>(value >> shift); }

uint8_t to_bcd(uint8_t value) { return dat_bcd_byte(value); }

int capped(int length) { return length > kMaxShortLength ? kMaxShortLength : length; }

}  // namespace

uint32_t scsi_read_block(int adapter, int target, int lun, void* buffer, int length) {
  if (length < 0 || length > 0xFFFFFF) return ASPI_RESULT_INVALID_REQUEST;
  uint32_t n = static_cast<uint32_t>(length);
  const uint8_t cdb[6] = {0x08, 0x00, byte_of(n, 16), byte_of(n, 8), byte_of(n, 0), 0x00};
  return ASPI_Call(adapter, target, lun, cdb, sizeof cdb, buffer, n, 0, kShortTimeoutMs);
}

uint32_t scsi_write_block(int adapter, int target, int lun, const void* buffer, int length) {
  if (length < 0 || length > 0xFFFFFF) return ASPI_RESULT_INVALID_REQUEST;
  uint32_t n = static_cast<uint32_t>(length);
  const uint8_t cdb[6] = {0x0A, 0x00, byte_of(n, 16), byte_of(n, 8), byte_of(n, 0), 0x00};
  // ASPI_Call only reads a buffer it is to send.
  uint32_t word = ASPI_Call(adapter, target, lun, cdb, sizeof cdb, const_cast<void*>(buffer), n, 1,
                            kShortTimeoutMs);
  return completed(word) ? 0 : failure_word(word);
}

int scsi_seek_block(int adapter, int target, int lun, int block) {
  uint32_t n = static_cast<uint32_t>(block);
  const uint8_t cdb[6] = {0x0C, 0x00, byte_of(n, 16), byte_of(n, 8), byte_of(n, 0), 0x00};
  return zero_or_minus_one(no_data(adapter, target, lun, cdb, sizeof cdb, kShortTimeoutMs));
}

int scsi_rewind(int adapter, int target, int lun) {
  const uint8_t cdb[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
  uint32_t word = no_data(adapter, target, lun, cdb, sizeof cdb, kLongTimeoutMs);
  if (completed(word)) return 0;
  message_text("rewind failed: %.8x\n", word);
  return -1;
}

int do_load(int adapter, int target, int lun, int load) {
  const uint8_t cdb[6] = {0x1B, 0x00, 0x00, 0x00, static_cast<uint8_t>(load), 0x00};
  uint32_t word = no_data(adapter, target, lun, cdb, sizeof cdb, kLongTimeoutMs);
  if (completed(word)) return 0;
  message_text("load failed; %.8x\n", word);
  return -1;
}

int scsi_locate(int adapter, int target, int lun, uint32_t block, int partition) {
  uint8_t p = static_cast<uint8_t>(partition);
  const uint8_t cdb[10] = {0x2B,           static_cast<uint8_t>(p ? 0x02 : 0x00), 0x00, byte_of(block, 24),
                           byte_of(block, 16), byte_of(block, 8), byte_of(block, 0), 0x00, p, 0x00};
  return zero_or_minus_one(no_data(adapter, target, lun, cdb, sizeof cdb, kLongTimeoutMs));
}

int scsi_locate2(int adapter, int target, int lun, uint32_t position, int type) {
  uint8_t cdb[10] = {0x2B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  if (type == 0) {
    cdb[4] = static_cast<uint8_t>(position / 100 % 10);
    cdb[5] = static_cast<uint8_t>(position / 10 % 10);
    cdb[6] = static_cast<uint8_t>(position % 10);
  } else {
    if (type >= 1 && type <= 3) cdb[3] = static_cast<uint8_t>(type * 0x20);
    for (int i = 0; i < 4; ++i) cdb[4 + i] = to_bcd(byte_of(position, 24 - 8 * i));
  }
  return zero_or_minus_one(no_data(adapter, target, lun, cdb, sizeof cdb, kLongTimeoutMs));
}

uint32_t scsi_read_position(int adapter, int target, int lun, uint8_t* buffer) {
  const uint8_t cdb[10] = {0x34, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  uint32_t word = ASPI_Call(adapter, target, lun, cdb, sizeof cdb, buffer, 20, 0, kShortTimeoutMs);
  return completed(word) ? 0 : failure_word(word);
}

uint32_t scsi_test_unit_ready(int adapter, int target, int lun) {
  const uint8_t cdb[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  return no_data(adapter, target, lun, cdb, sizeof cdb, kShortTimeoutMs);
}

uint32_t wait_unit_ready(int adapter, int target, int lun, uint32_t limit_ms) {
  uint32_t start = platform_time_ms();
  for (;;) {
    uint32_t word = scsi_test_unit_ready(adapter, target, lun);
    if (tape_status(word) == TAPE_GOOD) return word;
    // Ctrl-C or SIGTERM ends the wait at once: the run is to end.
    if (console_sleep_ms(100) != 0) return word;
    if (platform_time_ms() - start >= limit_ms) return word;
  }
}

int scsi_read_buffer(int adapter, int target, int lun, int buffer_id, int offset, void* buffer,
                     int length) {
  if (length < 0) return -1;
  int n = capped(length);
  uint32_t o = static_cast<uint32_t>(offset);
  const uint8_t cdb[10] = {0x3C,         0x01, static_cast<uint8_t>(buffer_id), byte_of(o, 16), byte_of(o, 8),
                           byte_of(o, 0), 0x00, 0x00, static_cast<uint8_t>(n), 0x00};
  uint32_t word = ASPI_Call(adapter, target, lun, cdb, sizeof cdb, buffer, static_cast<uint32_t>(n), 0,
                            kShortTimeoutMs);
  return zero_or_minus_one(word);
}

int scsi_mode_select(int adapter, int target, int lun, const uint8_t* data, int length) {
  if (length <= 0) return -1;
  // As many bytes as the data's first byte says, but never beyond the buffer.
  int n = data[0] < length ? data[0] : length;
  const uint8_t cdb[6] = {0x15, 0x00, 0x00, 0x00, static_cast<uint8_t>(n), 0x00};
  uint32_t word = ASPI_Call(adapter, target, lun, cdb, sizeof cdb, const_cast<uint8_t*>(data),
                            static_cast<uint32_t>(n), 1, kShortTimeoutMs);
  return zero_or_minus_one(word);
}

int scsi_mode_select_12(int adapter, int target, int lun, const uint8_t* data, int length) {
  if (length <= 0) return -1;
  const uint8_t cdb[6] = {0x15, 0x00, 0x00, 0x00, 0x0C, 0x00};
  uint32_t word = ASPI_Call(adapter, target, lun, cdb, sizeof cdb, const_cast<uint8_t*>(data),
                            static_cast<uint32_t>(capped(length)), 1, kShortTimeoutMs);
  return zero_or_minus_one(word);
}

int scsi_mode_sense(int adapter, int target, int lun, int page, uint8_t* destination, int length) {
  if (length <= 0) return -1;
  int n = capped(length);
  uint8_t data[kMaxShortLength] = {};
  const uint8_t cdb[6] = {0x1A, 0x00, static_cast<uint8_t>(page), 0x00, static_cast<uint8_t>(n), 0x00};
  uint32_t word = ASPI_Call(adapter, target, lun, cdb, sizeof cdb, data, static_cast<uint32_t>(n), 0,
                            kShortTimeoutMs);
  if (!completed(word)) return -1;
  int mode_bytes = data[0] + 1;
  std::memcpy(destination, data, static_cast<size_t>(mode_bytes < n ? mode_bytes : n));
  return mode_bytes;
}

int scsi_inquiry(int adapter, int target, int lun, uint8_t* buffer, int length) {
  if (length < 0) return -1;
  int n = capped(length);
  const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, static_cast<uint8_t>(n), 0x00};
  uint32_t word = ASPI_Call(adapter, target, lun, cdb, sizeof cdb, buffer, static_cast<uint32_t>(n), 0,
                            kShortTimeoutMs);
  if (completed(word)) return 0;
  if (tape_status(word) == TAPE_NO_DEVICE) return SCSI_INQUIRY_NO_DEVICE;
  if (tape_status(word) == TAPE_IN_USE) return SCSI_INQUIRY_IN_USE;
  return -1;
}

int get_density(int adapter, int target, int lun) {
  uint8_t data[kModePageBytes] = {};
  int result = scsi_mode_sense(adapter, target, lun, 0, data, sizeof data);
  if (result < 0) {
    message_text("get mode page retval %d\n", result);
    return -1;
  }
  return data[4];
}

int set_density(int adapter, int target, int lun, int density) {
  const uint8_t list[12] = {0x00, 0x00, 0x10, 0x08, static_cast<uint8_t>(density), 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x02};
  if (scsi_mode_select_12(adapter, target, lun, list, sizeof list) != 0) return -1;
  uint8_t data[kModePageBytes] = {};
  if (scsi_mode_sense(adapter, target, lun, 0, data, sizeof data) < 0) return -1;
  return data[4] == static_cast<uint8_t>(density) ? 0 : -1;
}

namespace {

int switch_density(int adapter, int target, int lun, int density) {
  get_density(adapter, target, lun);
  if (set_density(adapter, target, lun, density) != 0) {
    message_text("Failed to set new density\n");
    return -1;
  }
  get_density(adapter, target, lun);
  return 0;
}

}  // namespace

int set_audio_mode(int adapter, int target, int lun) { return switch_density(adapter, target, lun, DENSITY_AUDIO); }

int set_data_mode(int adapter, int target, int lun) { return switch_density(adapter, target, lun, DENSITY_DATA); }

int mrs_off(int adapter, int target, int lun) {
  message_text("Turning off MRS mode...");
  uint8_t data[kModePageBytes] = {};
  scsi_mode_sense(adapter, target, lun, kModePageMrs, data, sizeof data);
  if (data[kMrsByte] & kMrsOffBit) {
    message_text("already off.\n");
    return 0;
  }
  data[kMrsByte] |= kMrsOffBit;
  // Failures of the single commands show in the bit read back at the end.
  scsi_mode_select(adapter, target, lun, data, sizeof data);
  std::memset(data, 0, sizeof data);
  scsi_mode_sense(adapter, target, lun, kModePageMrs, data, sizeof data);
  message_text((data[kMrsByte] & kMrsOffBit) ? "done.\n" : "could not be turned off.\n");
  return 0;
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
