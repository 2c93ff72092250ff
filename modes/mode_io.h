// SPDX-License-Identifier: MIT
// What the reading modes say of the frames they read.
#pragma once

#include "base/run_settings.h"
#include "datframe/dat_frame.h"

#include <cstdint>
#include <string>

struct FrameInfo;
struct FrameEvents;
// Says on the console what happened at a frame just read, as the subcode line
// that follows it expects: a change of rate, the start of a start-ID run,
// then "\r" to rewrite the status line in place.
void say_frame_events(const FrameInfo* info, const FrameEvents* events);

// Takes a frame just read into the record and says what happened at it.
// true when the frame ends the reading: the 62nd of a blank stretch, but
// not with /STOPEOT.
bool take_read_frame(const DatFrame* frame, RunSettings* settings, FrameInfo* info, FrameEvents* events);

// Says so when the image at path is a partial one, of a dump that did not
// come to the end of the tape (its map beside it says so), and what the
// files made from it lack. true for such an image.
bool say_partial_image(const char* path);

// The absolute time of frames frames after 00:00:00:00 as HH:MM:SS:FF, or
// "(no time)" for -1.
std::string frame_time_text(int64_t frames);
