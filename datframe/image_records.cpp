// SPDX-License-Identifier: MIT
#include "datframe/image_records.h"

#include <sys/types.h>

#include <cerrno>
#include <cstring>

ImageRecordRead image_record_read(FILE* file, DatFrame* record) {
  errno = 0;
  size_t got = std::fread(record, 1, DAT_FRAME_BYTES, file);
  if (got == DAT_FRAME_BYTES) return ImageRecordRead{IMAGE_RECORD_WHOLE, got};
  std::memset(record, 0, sizeof *record);
  if (std::ferror(file)) return ImageRecordRead{IMAGE_RECORD_FAILED, got};
  return ImageRecordRead{got > 0 ? IMAGE_RECORD_CUT_SHORT : IMAGE_RECORD_NONE_LEFT, got};
}

bool image_record_read_at(FILE* file, uint64_t index, DatFrame* record) {
  return fseeko(file, static_cast<off_t>(index * DAT_FRAME_BYTES), SEEK_SET) == 0 &&
         image_record_read(file, record).outcome == IMAGE_RECORD_WHOLE;
}

bool image_record_write(FILE* file, const DatFrame* record) {
  errno = 0;
  return std::fwrite(record, 1, DAT_FRAME_BYTES, file) == DAT_FRAME_BYTES;
}
