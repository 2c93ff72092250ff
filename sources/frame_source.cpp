#include "modes/frame_source.h"

#include <cstring>

#include "modes/reread.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"

int open_frame_source(FrameSource* source, RunSettings* settings) {
  source->s = settings;
  if (settings->fromimage_arg) return open_image_frames(&source->image, settings->image_path);
  if (settings->reread_arg) source->reread = open_reread(settings);
  return 0;
}

FrameRead read_next_frame(FrameSource* source, DatFrame* frame) {
  if (source->reread) return reread_next_frame(source->reread, frame);
  std::memset(frame, 0, sizeof *frame);
  const RunSettings* s = source->s;
  FrameRead read{};
  if (source->image.file) {
    read.result = read_image_frame(&source->image, frame);
    read.stand_in = read.result == ASPI_RESULT_UNREADABLE ? 1 : 0;
  } else {
    read.result = scsi_read_block(s->input_adapter, s->input_target, s->input_lun, frame, DAT_FRAME_BYTES);
  }
  read.reads = 1;
  read.kept = 1;
  return read;
}

void settle_frame_source(FrameSource* source) {
  if (source->image.file) return;  // a file is always ready
  const RunSettings* s = source->s;
  wait_unit_ready(s->input_adapter, s->input_target, s->input_lun, 10000);
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
