// SPDX-License-Identifier: MIT
// De-emphasis of audio recorded with 50/15 us pre-emphasis: the standard
// response (a shelf from 0 dB falling to -10.46 dB, corners at 3183 Hz and
// 10610 Hz), computed in floating point and dithered back to 16 bits.
#pragma once

#include <cstdint>

struct Deemphasis {
  double poles[2];  // the filter at the rate it was begun for: two real poles,
  double zeros[2];  // two real zeros and the gain that keeps 0 dB at 0 Hz
  double gain;
  double state[2][2][2];  // per channel, per section: the input and output before
  uint32_t noise;         // the dither's generator
};

// Sets the filter up for 16-bit stereo at rate (48000, 44100 or 32000; any
// other rate takes the nearest). Forgets the audio before.
void deemphasis_begin(Deemphasis* filter, int32_t rate);
// Forgets the audio before: what follows does not continue it.
void deemphasis_reset(Deemphasis* filter);
// De-emphasises bytes of 16-bit stereo PCM (little-endian) in place.
void deemphasis_run(Deemphasis* filter, uint8_t* pcm, int bytes);
// The filter's level in dB at frequency hz, and the standard curve's.
double deemphasis_level_db(const Deemphasis* filter, int32_t rate, double hz);
double deemphasis_standard_db(double hz);

// What an output of the reading (a track's file, the player) does with frames
// recorded with pre-emphasis: de-emphasises them (/DEEMPHASIS) or passes them
// as recorded, and tells the console which, once per track.
struct EmphasisStage {
  bool deemphasis = false;  // /DEEMPHASIS
  bool playing = false;     // the output is the player
  bool seen = false;        // a pre-emphasised frame came since the track began
  bool said = false;        // the console was told
  Deemphasis filter{};
};

// A new track, at rate.
void emphasis_stage_begin(EmphasisStage* stage, bool deemphasis, bool playing, int32_t rate);
// The same track goes on at another rate: the filter starts afresh.
void emphasis_stage_restart(EmphasisStage* stage, int32_t rate);
// Takes a frame's bytes of 16-bit stereo PCM; emphasis is the frame's code
// (1: 50/15 us). De-emphasised in place when asked for; any other frame
// passes and the filter forgets the audio before it.
void emphasis_stage_take(EmphasisStage* stage, int32_t emphasis, uint8_t* pcm, int bytes);
// The console's line once a pre-emphasised frame has come; nullptr when there
// is nothing (more) to say for this track.
const char* emphasis_stage_notice(EmphasisStage* stage);
