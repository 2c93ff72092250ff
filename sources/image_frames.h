// SPDX-License-Identifier: MIT
// Frames from an image file as /BITTERN writes it: the tape's frames from its
// beginning, one record of DAT_FRAME_BYTES each, back to back. Read as a
// drive reads its tape: frame after frame, and at the end of the image the
// word a drive gives at the end of the recorded data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"

struct ImageFrames {
  FILE* file = nullptr;
  const char* path = nullptr;  // as typed; the caller keeps it
  uint64_t records = 0;        // whole records the image holds
  uint64_t next = 0;           // the record read next
  uint64_t short_bytes = 0;    // bytes of a short last record, which is never read
  bool failed = false;         // reading the image failed before its end (said on the console)
};

// Opens the image at path. 0, or 1 after saying on the console why it gives
// no frames: missing, unreadable, a folder, not a file, or without a whole
// record. A short last record is said here and passed over.
int open_image_frames(ImageFrames* image, const char* path);
// The next record into *frame; the result word a drive gives for the read:
// good, a MEDIUM ERROR for a stand-in (the frame the dump could not read;
// *frame holds the stand-in), or the end of the recorded data after the
// last whole record (and from then on, also after a failed read, which is
// said once).
uint32_t read_image_frame(ImageFrames* image, DatFrame* frame);
// Whether the run that read the image is to end as failed: a short last
// record, or a read that failed.
bool image_frames_incomplete(const ImageFrames* image);
void close_image_frames(ImageFrames* image);

// The files a run that reads an image writes: base followed by a track
// number (three digits at least) and one of numbered, the names in named,
// and the files of its transfer report named report (empty: none).
struct ImageRunOutputs {
  std::string base;
  std::vector<std::string> numbered;
  std::vector<std::string> named;
  std::string report;
};
// Whether a run that reads the image at path may write its files. 0, or 1
// after saying why not: one of them is the image itself (also through a
// symbolic or a hard link), which writing would destroy, or its report would
// replace the report of a reading of the tape in a drive (a dump's), the
// account of a reading that the image cannot give again.
int check_image_run_outputs(const char* path, const ImageRunOutputs& outputs);
