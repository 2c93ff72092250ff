// SPDX-License-Identifier: MIT
#include "sinks/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {
const size_t kSteps = 30;  // 100 ms steps in the short-term window
}  // namespace

struct Loudness {
  ebur128_state* state = nullptr;
  size_t block_frames = 0;  // 100 ms: the step of the momentary and short-term loudness
  size_t pending = 0;       // frames taken since the last step
  size_t steps = 0;
  double energies[kSteps] = {};  // of the last steps, by step number modulo kSteps
  std::vector<double> short_terms;  // the short-term loudness at each step once 3 s are in
  double max_momentary = -HUGE_VAL;
  double max_short_term = -HUGE_VAL;
  // The part since the last mark: its figures come from the same steps and
  // the true peak of each chunk, so that measuring it costs no second pass.
  bool part = false;
  size_t part_from = 0;              // the first step wholly in the part
  std::vector<double> part_blocks;   // energies of the 400 ms blocks wholly in it
  std::vector<double> part_short_terms;
  double part_max_momentary = -HUGE_VAL;
  double part_max_short_term = -HUGE_VAL;
  double part_peak = 0;  // the highest true peak, linear
};

namespace {

// The loudness of a mean energy, and back (ITU-R BS.1770).
double loudness_of(double energy) { return energy > 0 ? -0.691 + 10 * std::log10(energy) : -HUGE_VAL; }
double energy_of(double loudness) { return std::isfinite(loudness) ? std::pow(10.0, (loudness + 0.691) / 10) : 0; }

// The momentary (400 ms) and short-term (3 s) loudness at the end of a
// 100 ms step, from the energies of the last 4 and 30 steps: each step's
// audio is summed once, where asking the library for each window would sum
// every sample 34 times over.
void take_step(Loudness* l) {
  double step = 0;
  if (ebur128_loudness_window(l->state, 100, &step) != EBUR128_SUCCESS) return;
  l->energies[l->steps % kSteps] = energy_of(step);
  ++l->steps;
  auto mean = [l](size_t count) {
    double sum = 0;
    for (size_t i = 0; i < count; ++i) sum += l->energies[(l->steps - 1 - i) % kSteps];
    return loudness_of(sum / static_cast<double>(count));
  };
  size_t in_part = l->part && l->steps > l->part_from ? l->steps - l->part_from : 0;
  if (l->steps >= 4) {
    double momentary = mean(4);
    l->max_momentary = std::max(l->max_momentary, momentary);
    if (in_part >= 4) {
      l->part_blocks.push_back(energy_of(momentary));
      l->part_max_momentary = std::max(l->part_max_momentary, momentary);
    }
  }
  // The short-term window is whole from the 30th step on.
  if (l->steps >= kSteps) {
    double value = mean(kSteps);
    l->max_short_term = std::max(l->max_short_term, value);
    l->short_terms.push_back(value);
    if (in_part >= kSteps) {
      l->part_short_terms.push_back(value);
      l->part_max_short_term = std::max(l->part_max_short_term, value);
    }
  }
}

// The integrated loudness of 400 ms blocks (ITU-R BS.1770): the mean of the
// blocks above -70 LUFS and above the mean of those less 10 LU.
double gated_loudness(const std::vector<double>& blocks) {
  const double absolute = energy_of(-70);
  double sum = 0;
  size_t count = 0;
  for (double e : blocks)
    if (e > absolute) {
      sum += e;
      ++count;
    }
  if (count == 0) return -HUGE_VAL;
  double relative = std::max(absolute, sum / static_cast<double>(count) / 10);
  sum = 0;
  count = 0;
  for (double e : blocks)
    if (e > relative) {
      sum += e;
      ++count;
    }
  return count ? loudness_of(sum / static_cast<double>(count)) : -HUGE_VAL;
}

// The loudness range (EBU Tech 3342) of the short-term loudness taken every
// 100 ms: of the values above -70 LUFS and no more than 20 LU below their
// power mean, the 95th less the 10th percentile. (libebur128's own range
// takes a short-term value every second only, and differs by tenths of a LU
// from meters that follow the 100 ms step.)
double loudness_range(std::vector<double> values) {
  std::vector<double> gated;
  double power = 0;
  for (double v : values)
    if (v > -70) {
      gated.push_back(v);
      power += std::pow(10.0, v / 10);
    }
  if (gated.empty()) return 0;
  double relative = 10 * std::log10(power / static_cast<double>(gated.size())) - 20;
  values.clear();
  for (double v : gated)
    if (v > relative) values.push_back(v);
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  auto percentile = [&values](double p) {
    return values[static_cast<size_t>(std::lround(static_cast<double>(values.size() - 1) * p))];
  };
  return percentile(0.95) - percentile(0.10);
}

}  // namespace

Loudness* loudness_begin(int32_t rate) {
  if (rate <= 0) return nullptr;
  Loudness* l = new (std::nothrow) Loudness;
  if (!l) return nullptr;
  l->state = ebur128_init(2, static_cast<unsigned long>(rate), EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
  if (!l->state) {
    delete l;
    return nullptr;
  }
  l->block_frames = static_cast<size_t>(rate) / 10;
  return l;
}

int loudness_add(void* context, const uint8_t* pcm, size_t bytes) {
  Loudness* l = static_cast<Loudness*>(context);
  static_assert(sizeof(short) == 2, "16-bit samples");
  // In steps of 100 ms, so that the momentary and short-term loudness is
  // seen at each.
  size_t frames = bytes / 4;
  while (frames > 0) {
    size_t take = l->block_frames - l->pending;
    if (take > frames) take = frames;
    short samples[2 * 4800];
    size_t done = 0;
    while (done < take) {
      size_t part = take - done < 4800 ? take - done : 4800;
      std::memcpy(samples, pcm, part * 4);
      if (ebur128_add_frames_short(l->state, samples, part) != EBUR128_SUCCESS) return -1;
      for (unsigned channel = 0; l->part && channel < 2; ++channel) {
        double peak = 0;
        if (ebur128_prev_true_peak(l->state, channel, &peak) == EBUR128_SUCCESS) l->part_peak = std::max(l->part_peak, peak);
      }
      pcm += part * 4;
      done += part;
    }
    frames -= take;
    l->pending += take;
    if (l->pending == l->block_frames) {
      take_step(l);
      l->pending = 0;
    }
  }
  return 0;
}

LoudnessFigures loudness_now(const Loudness* l) {
  LoudnessFigures figures;
  if (!l) return figures;
  double peak = 0;
  for (unsigned channel = 0; channel < 2; ++channel) {
    double value = 0;
    if (ebur128_true_peak(l->state, channel, &value) == EBUR128_SUCCESS && value > peak) peak = value;
  }
  figures.measured = ebur128_loudness_global(l->state, &figures.integrated) == EBUR128_SUCCESS;
  figures.range = loudness_range(l->short_terms);
  figures.true_peak = peak > 0 ? 20 * std::log10(peak) : -HUGE_VAL;
  figures.max_momentary = l->max_momentary;
  figures.max_short_term = l->max_short_term;
  return figures;
}

void loudness_mark(Loudness* l) {
  if (!l) return;
  l->part = true;
  // A step under way holds audio from before the mark.
  l->part_from = l->pending == 0 ? l->steps : l->steps + 1;
  l->part_blocks.clear();
  l->part_short_terms.clear();
  l->part_max_momentary = l->part_max_short_term = -HUGE_VAL;
  l->part_peak = 0;
}

LoudnessFigures loudness_part(const Loudness* l) {
  LoudnessFigures figures;
  if (!l || !l->part) return figures;
  figures.measured = true;
  figures.integrated = gated_loudness(l->part_blocks);
  figures.range = loudness_range(l->part_short_terms);
  figures.true_peak = l->part_peak > 0 ? 20 * std::log10(l->part_peak) : -HUGE_VAL;
  figures.max_momentary = l->part_max_momentary;
  figures.max_short_term = l->part_max_short_term;
  return figures;
}

LoudnessFigures loudness_end(Loudness* l) {
  LoudnessFigures figures = loudness_now(l);
  if (!l) return figures;
  ebur128_destroy(&l->state);
  delete l;
  return figures;
}

int16_t loudness_bext_value(double value) {
  if (std::isnan(value)) return 0x7FFF;  // not measured
  double hundredths = std::round(value * 100);
  if (hundredths <= -32768) return -32768;
  if (hundredths >= 32767) return 32766;  // 0x7FFF says "not measured"
  return static_cast<int16_t>(hundredths);
}
