// SPDX-License-Identifier: MIT
#include "sinks/deemphasis.h"

#include <cmath>
#include <complex>
#include <cstring>

namespace {

// The standard curve's time constants.
const double kPoleSeconds = 50e-6;
const double kZeroSeconds = 15e-6;

// Poles and zeros fitted, per rate, to the standard curve up to 0.48 of the
// rate: within 0.02 dB (48 kHz), 0.05 dB (44.1 kHz) and 0.04 dB (32 kHz), where
// a first-order filter by the bilinear transform is off by up to 1.5 dB near
// the top of the band.
struct Fit {
  int32_t rate;
  double poles[2];
  double zeros[2];
};
const Fit kFits[] = {
    {48000, {0.6610498284924028, -0.32590975978663916}, {-0.34651000019541517, 0.25411292156162946}},
    {44100, {0.6418547415273663, -0.07904496967766095}, {-0.12912637704262808, 0.2560978338307457}},
    {32000, {0.5389513413455023, -0.3466656094774946}, {-0.38082182486192934, 0.12748911272869512}},
};

// One uniform value in [-0.5, 0.5) from the generator.
double uniform(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return static_cast<double>(*state >> 8) / 16777216.0 - 0.5;
}

}  // namespace

void deemphasis_reset(Deemphasis* filter) { std::memset(filter->state, 0, sizeof filter->state); }

void deemphasis_begin(Deemphasis* filter, int32_t rate) {
  const Fit* best = &kFits[0];
  for (const Fit& fit : kFits)
    if (std::abs(fit.rate - rate) < std::abs(best->rate - rate)) best = &fit;
  for (int i = 0; i < 2; ++i) {
    filter->poles[i] = best->poles[i];
    filter->zeros[i] = best->zeros[i];
  }
  filter->gain = (1 - best->poles[0]) * (1 - best->poles[1]) / ((1 - best->zeros[0]) * (1 - best->zeros[1]));
  filter->noise = 0x2545F491u;
  deemphasis_reset(filter);
}

void deemphasis_run(Deemphasis* filter, uint8_t* pcm, int bytes) {
  for (int at = 0; at + 4 <= bytes; at += 4) {
    for (int channel = 0; channel < 2; ++channel) {
      uint8_t* p = pcm + at + 2 * channel;
      double x = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8)) * filter->gain;
      // Two first-order sections: y = x - zero * x' + pole * y'.
      for (int section = 0; section < 2; ++section) {
        double* s = filter->state[channel][section];
        double y = x - filter->zeros[section] * s[0] + filter->poles[section] * s[1];
        s[0] = x;
        s[1] = y;
        x = y;
      }
      // Triangular dither of one step, then the nearest 16-bit value.
      double dithered = std::floor(x + uniform(&filter->noise) + uniform(&filter->noise) + 0.5);
      int32_t sample = static_cast<int32_t>(std::fmax(-32768.0, std::fmin(32767.0, dithered)));
      p[0] = static_cast<uint8_t>(sample & 0xFF);
      p[1] = static_cast<uint8_t>((sample >> 8) & 0xFF);
    }
  }
}

double deemphasis_level_db(const Deemphasis* filter, int32_t rate, double hz) {
  const double w = 2 * M_PI * hz / rate;
  const std::complex<double> z1 = std::polar(1.0, -w);
  std::complex<double> h = filter->gain;
  for (int i = 0; i < 2; ++i) h *= (1.0 - filter->zeros[i] * z1) / (1.0 - filter->poles[i] * z1);
  return 20 * std::log10(std::abs(h));
}

double deemphasis_standard_db(double hz) {
  const double w = 2 * M_PI * hz;
  return 10 * std::log10((1 + w * w * kZeroSeconds * kZeroSeconds) / (1 + w * w * kPoleSeconds * kPoleSeconds));
}

void emphasis_stage_begin(EmphasisStage* stage, bool deemphasis, bool playing, int32_t rate) {
  stage->deemphasis = deemphasis;
  stage->playing = playing;
  stage->seen = false;
  stage->said = false;
  deemphasis_begin(&stage->filter, rate);
}

void emphasis_stage_restart(EmphasisStage* stage, int32_t rate) { deemphasis_begin(&stage->filter, rate); }

void emphasis_stage_take(EmphasisStage* stage, int32_t emphasis, uint8_t* pcm, int bytes) {
  if (emphasis != 1) {
    deemphasis_reset(&stage->filter);  // what follows does not continue the filtered audio
    return;
  }
  stage->seen = true;
  if (stage->deemphasis)
    deemphasis_run(&stage->filter, pcm, bytes);
  else
    deemphasis_reset(&stage->filter);
}

const char* emphasis_stage_notice(EmphasisStage* stage) {
  if (stage->said || !stage->seen) return nullptr;
  stage->said = true;
  if (stage->playing)
    return stage->deemphasis ? " - the audio is pre-emphasised (50/15 us): played de-emphasised\n"
                             : " - the audio is pre-emphasised (50/15 us): played as recorded\n";
  return stage->deemphasis ? " - the audio is pre-emphasised (50/15 us): written de-emphasised\n"
                           : " - the audio is pre-emphasised (50/15 us): written as recorded\n";
}
