// SPDX-License-Identifier: MIT
// Where a reading's frames come from: the input drive, frame after frame as
// the tape runs, or with /FROMIMAGE an image file read the same way. Every
// mode that reads takes its frames here, so a source serves all of them.
#pragma once

#include <cstdint>

#include "base/run_settings.h"
#include "datframe/dat_frame.h"
#include "sources/drive_frames.h"
#include "sources/frame_read.h"
#include "sources/image_frames.h"

struct RereadStage;

// One of three readers gives the frames: the image reader, the re-read stage
// (which wraps the drive reader), or the drive reader alone.
struct FrameSource {
  RunSettings* s = nullptr;
  DriveFrames drive;  // the input drive, when the frames come from one
  ImageFrames image;  // open when the frames come from an image
  RereadStage* reread = nullptr;  // /REREAD: damaged stretches read again (sources/reread.h)
};

// Sets the source up for the run. 0, or 1 after saying on the console why it
// cannot give frames.
int open_frame_source(FrameSource* source, RunSettings* settings);
// The next frame into *frame (zeroed first, so a failed read leaves no stale
// bytes behind).
FrameRead read_next_frame(FrameSource* source, DatFrame* frame);
// Waits, up to ten seconds, until the source is ready to go on reading.
void settle_frame_source(FrameSource* source);
void close_frame_source(FrameSource* source);
// Whether the source could not give every frame it was to give (an image
// with a short last record, or one that could not be read to its end; a
// re-read that lost its place on the tape): the run that read it ends as
// failed, with what it made kept.
bool frame_source_incomplete(const FrameSource* source);
