// SPDX-License-Identifier: MIT
#include "sources/frame_source.h"

#include <cstring>

#include "scsi/aspi_call.h"
#include "sources/reread.h"

int open_frame_source(FrameSource* source, RunSettings* settings) {
  source->s = settings;
  if (settings->fromimage_arg) return open_image_frames(&source->image, settings->image_path);
  source->drive = input_drive_frames(settings);
  if (settings->reread_arg) source->reread = open_reread(settings, source->drive);
  return 0;
}

FrameRead read_next_frame(FrameSource* source, DatFrame* frame) {
  if (source->reread) return reread_next_frame(source->reread, frame);
  if (!source->image.file) return read_drive_frame(&source->drive, frame);
  std::memset(frame, 0, sizeof *frame);
  FrameRead read{};
  read.result = read_image_frame(&source->image, frame);
  read.stand_in = read.result == ASPI_RESULT_UNREADABLE ? 1 : 0;
  read.reads = 1;
  read.kept = 1;
  return read;
}

void settle_frame_source(FrameSource* source) {
  if (source->image.file) return;  // a file is always ready
  settle_drive_frames(&source->drive);
}

void close_frame_source(FrameSource* source) {
  close_image_frames(&source->image);
  close_reread(source->reread);
  source->reread = nullptr;
  source->s = nullptr;
}

bool frame_source_incomplete(const FrameSource* source) {
  return image_frames_incomplete(&source->image) || (source->reread && reread_lost_place(source->reread));
}
