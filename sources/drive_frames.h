// SPDX-License-Identifier: MIT
// Frames from the input drive, one READ a frame as the tape runs.
#pragma once

#include <cstddef>

#include "base/run_settings.h"
#include "datframe/dat_frame.h"
#include "scsi/drive_address.h"
#include "sources/frame_read.h"

// The drive the frames are read from.
struct DriveFrames {
  DriveAddress address;
};

// The input drive of the run.
DriveFrames input_drive_frames(const RunSettings* settings);
// The frame under the head into *frame (zeroed first, so a failed read leaves
// no stale bytes behind); read once, that copy kept.
FrameRead read_drive_frame(const DriveFrames* drive, DatFrame* frame);
// Waits, up to ten seconds, until the drive is ready to go on reading.
void settle_drive_frames(const DriveFrames* drive);

// What the files of a reading name as the drive the tape is read on: the
// input drive's vendor, product and revision ("unknown drive" when it does
// not say), or "image file" with /FROMIMAGE.
void describe_input_drive(const RunSettings* settings, char* text, size_t size);
