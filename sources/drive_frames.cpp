// SPDX-License-Identifier: MIT
#include "sources/drive_frames.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"

namespace {

void trim_copy(char* out, size_t size, const uint8_t* bytes, size_t count) {
  size_t end = count;
  while (end > 0 && (bytes[end - 1] == ' ' || bytes[end - 1] == 0)) --end;
  size_t n = end < size - 1 ? end : size - 1;
  for (size_t i = 0; i < n; ++i) out[i] = bytes[i] >= 32 && bytes[i] < 127 ? static_cast<char>(bytes[i]) : '?';
  out[n] = '\0';
}

}  // namespace

DriveFrames input_drive_frames(const RunSettings* s) { return DriveFrames{input_drive(s)}; }

FrameRead read_drive_frame(const DriveFrames* drive, DatFrame* frame) {
  std::memset(frame, 0, sizeof *frame);
  FrameRead read{};
  read.result = scsi_read_block(drive->address, frame, DAT_FRAME_BYTES).word;
  read.reads = 1;
  read.kept = 1;
  return read;
}

void settle_drive_frames(const DriveFrames* drive) { wait_unit_ready(drive->address, 10000); }

void describe_input_drive(const RunSettings* s, char* text, size_t size) {
  if (s->fromimage_arg) {
    std::snprintf(text, size, "image file");
    return;
  }
  uint8_t data[36] = {};
  if (!tape_completed(scsi_inquiry(input_drive(s), data, sizeof data))) {
    std::snprintf(text, size, "unknown drive");
    return;
  }
  char vendor[9], product[17], revision[5];
  trim_copy(vendor, sizeof vendor, data + 8, 8);
  trim_copy(product, sizeof product, data + 16, 16);
  trim_copy(revision, sizeof revision, data + 32, 4);
  std::snprintf(text, size, "%s %s %s", vendor, product, revision);
}
