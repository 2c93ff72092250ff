// SPDX-License-Identifier: MIT
// The records of an image file: the tape's frames from its beginning, one
// record of DAT_FRAME_BYTES each, back to back, as /BITTERN and kestrel-merge
// write them and /FROMIMAGE, /BUNTING and kestrel-merge read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "datframe/dat_frame.h"

// How reading a record ended.
enum ImageRecordOutcome : int32_t {
  IMAGE_RECORD_WHOLE = 0,      // a whole record was read
  IMAGE_RECORD_NONE_LEFT = 1,  // the image has ended
  IMAGE_RECORD_CUT_SHORT = 2,  // the image ends in a part of a record (bytes long)
  IMAGE_RECORD_FAILED = 3,     // reading failed (errno says why)
};

struct ImageRecordRead {
  ImageRecordOutcome outcome;
  size_t bytes;  // of the record that was read, whole or not
};

// Reads the next record into *record; one that is not read whole leaves
// *record zeroed. errno is as the read left it (0 before it).
ImageRecordRead image_record_read(FILE* file, DatFrame* record);
// Reads record number index (from 0) into *record. false when it cannot be
// read whole.
bool image_record_read_at(FILE* file, uint64_t index, DatFrame* record);
// Appends a record. false when it was not written whole (errno says why; 0
// before the write).
bool image_record_write(FILE* file, const DatFrame* record);
