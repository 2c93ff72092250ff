// SPDX-License-Identifier: MIT
// /REREAD N: damaged stretches read again. Frames pass through as they come
// until one is damaged (flagged, unreadable, or out of step with the
// absolute time before it); from there the frames are held until 30 good
// ones follow the last damaged one. Then the tape is positioned back by an
// audio LOCATE to a little before the stretch and read forward, up to N
// times, each frame matched to the stretch by its absolute time and program
// number and its best copy kept; then the tape is put back where the first
// pass stopped and the held frames are handed on, in tape order, each once.
#pragma once

#include "base/run_settings.h"
#include "datframe/dat_frame.h"
#include "sources/drive_frames.h"
#include "sources/frame_read.h"

struct RereadStage;

// The stage for a run with /REREAD, reading through drive (the input drive,
// which the LOCATEs of the re-reads also go to).
RereadStage* open_reread(RunSettings* settings, DriveFrames drive);
// The next frame of the tape, the best copy found of it. For a frame that
// no read could give, the result of its last failed read, with a stand-in
// (frame_make_stand_in, placed by the frames around it) in *frame that an
// image can keep in its place.
FrameRead reread_next_frame(RereadStage* stage, DatFrame* frame);
// Whether the tape could not be put back where the first pass stopped, so
// that reading ended early.
bool reread_lost_place(const RereadStage* stage);
// Says the run's totals on the console and frees the stage.
void close_reread(RereadStage* stage);

// What a track log says of a frame the stage handed on: for a damaged one,
// how many times it was read, which read gave the copy kept and whether that
// copy is clean, with the frame's absolute time. Nothing for a frame that
// came clean the first time.
// Returns 1 for a damaged frame whose kept copy is clean, else 0.
int log_frame_reads(const FrameRead* read, const DatFrame* frame);
