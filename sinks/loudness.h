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
// Each takes bytes of PCM (a multiple of 4), as a PcmSink: 0, or -1 when the
// measurement failed. The measurement is three parts that may run on three
// threads, each given all the audio in order: the loudness, and the true
// peak of each channel (the costlier), whose context is
// loudness_channel(loudness, 0 or 1).
int loudness_add_energy(void* loudness, const uint8_t* pcm, size_t bytes);
void* loudness_channel(Loudness* loudness, int channel);
int loudness_add_channel_peak(void* channel, const uint8_t* pcm, size_t bytes);
// The figures but the true peak of the audio taken so far (the loudness
// thread's own: the peaks are the channels'), the measurement going on:
// loudness_now of it all, loudness_part of the part begun by the last
// loudness_mark at the next sample taken. A part's figures come from the
// measurement of the whole at no cost of their own: the momentary blocks and
// short-term windows wholly within it, on the 100 ms steps from the first
// sample taken.
LoudnessFigures loudness_now(const Loudness* loudness);
void loudness_mark(Loudness* loudness);
LoudnessFigures loudness_part(const Loudness* loudness);
// A channel's highest true peak (linear) since its last mark (its thread's).
void loudness_channel_mark(void* channel);
double loudness_channel_peak(const void* channel);
// The figures of all the audio taken; frees the measurement (nullptr:
// nothing measured).
LoudnessFigures loudness_end(Loudness* loudness);

// A figure in the units of a Broadcast WAV "bext" chunk (version 2): the
// value times 100, rounded, as a 16-bit number; -infinity as the lowest.
int16_t loudness_bext_value(double value);
