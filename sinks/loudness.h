// SPDX-License-Identifier: MIT
// The loudness of a track's audio, measured beside the reading (EBU R 128
// through libebur128): integrated loudness, loudness range, the highest true
// peak and the highest momentary and short-term loudness.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/loudness_figures.h"

struct Loudness;

// A measurement of 16-bit stereo audio at rate samples a second; nullptr
// when it cannot be set up.
Loudness* loudness_begin(int32_t rate);
// Takes bytes of PCM (a multiple of 4); a PcmSink. 0, or -1 when the
// measurement failed.
int loudness_add(void* loudness, const uint8_t* pcm, size_t bytes);
// The figures of all the audio taken so far; the measurement goes on.
LoudnessFigures loudness_now(const Loudness* loudness);
// Begins a part of the audio (a program) at the next sample taken, and the
// figures of the part so far. They come from the measurement of the whole,
// at no cost of their own: the momentary blocks and short-term windows
// wholly within the part (on the 100 ms steps from the first sample taken),
// the highest true peak of the audio taken since the mark.
void loudness_mark(Loudness* loudness);
LoudnessFigures loudness_part(const Loudness* loudness);
// The figures of all the audio taken; frees the measurement (nullptr:
// nothing measured).
LoudnessFigures loudness_end(Loudness* loudness);

// A figure in the units of a Broadcast WAV "bext" chunk (version 2): the
// value times 100, rounded, as a 16-bit number; -infinity as the lowest.
int16_t loudness_bext_value(double value);
