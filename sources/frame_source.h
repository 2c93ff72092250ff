// Where a reading's frames come from: the input drive, frame after frame as
// the tape runs, or with /FROMIMAGE an image file read the same way. Every
// mode that reads takes its frames here, so a source serves all of them.
#pragma once

#include <cstdint>

#include "base/run_settings.h"
#include "datframe/dat_frame.h"
#include "modes/image_frames.h"

// What the source says about the frame it gave, besides the frame itself.
struct FrameRead {
  uint32_t result;  // the read's result word: tape_read_ok(result) when a frame came
  int32_t reads;    // how many times this frame was read
  int32_t kept;     // which of those reads gave the copy handed on (1: the first)
  int32_t stand_in;  // the frame could not be read, and *frame holds a stand-in in its place
};

struct RereadStage;

struct FrameSource {
  RunSettings* s = nullptr;
  ImageFrames image;  // open when the frames come from an image
  RereadStage* reread = nullptr;  // /REREAD: damaged stretches read again (modes/reread.h)
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
