// SPDX-License-Identifier: MIT
// The image file of /BITTERN: the tape's frames, one record of
// DAT_FRAME_BYTES each, back to back. Only whole records stay in it, after
// a failed write and after an abrupt exit alike.
#pragma once

#include <cstdint>
#include <cstdio>

#include "datframe/dat_frame.h"

struct ImageWriter {
  FILE* file = nullptr;
  const char* name = nullptr;  // the caller keeps it
  bool failed = false;         // a write failed (said); nothing more goes in
};

// Creates the image at name. 0, or 1 after saying why it cannot be created.
int image_writer_create(ImageWriter* image, const char* name);
// Opens the image at name to go on after its first records records, the
// rest of it cut off. 0, or 1 after saying why it cannot.
int image_writer_resume(ImageWriter* image, const char* name, uint64_t records);
// Puts every record appended so far on the disk. 0, or -1 after saying that the write failed.
int image_writer_sync(ImageWriter* image);
// Appends a frame's record. 0, or -1 after saying that the write failed.
int image_writer_put(ImageWriter* image, const DatFrame* frame);
// Writes out what is buffered and closes the image; after a failed write
// only its whole records stay. 0, or 1 when a write failed (said).
int image_writer_finish(ImageWriter* image);
