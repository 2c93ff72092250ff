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

// The true peak of one channel: most of the work, taken apart so that each
// channel's can run on a thread of its own.
struct ChannelPeak {
  ebur128_state* state = nullptr;
  int channel = 0;
  double since_mark = 0;  // the highest true peak since the last mark, linear
};

struct Loudness {
  ebur128_state* state = nullptr;  // the K-weighted loudness
  ChannelPeak peaks[2];
  size_t block_frames = 0;  // 100 ms: the step of the momentary and short-term loudness
  size_t pending = 0;       // frames taken since the last step
  size_t steps = 0;
  double energies[kSteps] = {};  // of the last steps, by step number modulo kSteps
  std::vector<double> short_terms;  // the short-term loudness at each step once 3 s are in
  double max_momentary = -HUGE_VAL;
  double max_short_term = -HUGE_VAL;
  // The part since the last mark: its figures come from the same steps, so
  // that measuring it costs no second pass.
  bool part = false;
  size_t part_from = 0;              // the first step wholly in the part
  std::vector<double> part_blocks;   // energies of the 400 ms blocks wholly in it
  std::vector<double> part_short_terms;
  double part_max_momentary = -HUGE_VAL;
  double part_max_short_term = -HUGE_VAL;
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

void destroy_states(Loudness* l) {
  if (l->state) ebur128_destroy(&l->state);
  for (ChannelPeak& p : l->peaks)
    if (p.state) ebur128_destroy(&p.state);
}

}  // namespace

Loudness* loudness_begin(int32_t rate) {
  if (rate <= 0) return nullptr;
  Loudness* l = new (std::nothrow) Loudness;
  if (!l) return nullptr;
  l->state = ebur128_init(2, static_cast<unsigned long>(rate), EBUR128_MODE_I);
  bool ready = l->state != nullptr;
  for (int channel = 0; channel < 2; ++channel) {
    l->peaks[channel].channel = channel;
    l->peaks[channel].state = ebur128_init(1, static_cast<unsigned long>(rate), EBUR128_MODE_TRUE_PEAK);
    ready = ready && l->peaks[channel].state;
  }
  if (!ready) {
    destroy_states(l);
    delete l;
    return nullptr;
  }
  l->block_frames = static_cast<size_t>(rate) / 10;
  return l;
}

namespace {

// Hands the frames of a stretch of PCM to a state in parts of at most 100 ms,
// each copied by take (aligned, and as many channels as the state has);
// after each part, took(frames). 0, or -1.
template <typename Take, typename Took>
int add_in_parts(ebur128_state* state, const uint8_t* pcm, size_t frames, size_t room, Take take, Took took) {
  static_assert(sizeof(short) == 2, "16-bit samples");
  short samples[2 * 4800];
  while (frames > 0) {
    size_t part = room < frames ? room : frames;
    if (part > 4800) part = 4800;
    take(samples, pcm, part);
    if (ebur128_add_frames_short(state, samples, part) != EBUR128_SUCCESS) return -1;
    room = took(part);
    pcm += part * 4;
    frames -= part;
  }
  return 0;
}

}  // namespace

int loudness_add_energy(void* context, const uint8_t* pcm, size_t bytes) {
  Loudness* l = static_cast<Loudness*>(context);
  auto both = [](short* to, const uint8_t* from, size_t frames) { std::memcpy(to, from, frames * 4); };
  // In steps of 100 ms, so that the momentary and short-term loudness is
  // seen at each.
  auto step = [l](size_t frames) {
    l->pending += frames;
    if (l->pending == l->block_frames) {
      take_step(l);
      l->pending = 0;
    }
    return l->block_frames - l->pending;
  };
  return add_in_parts(l->state, pcm, bytes / 4, l->block_frames - l->pending, both, step);
}

void* loudness_channel(Loudness* l, int channel) { return &l->peaks[channel & 1]; }

int loudness_add_channel_peak(void* context, const uint8_t* pcm, size_t bytes) {
  ChannelPeak* p = static_cast<ChannelPeak*>(context);
  auto one = [p](short* to, const uint8_t* from, size_t frames) {
    from += 2 * p->channel;
    for (size_t i = 0; i < frames; ++i, from += 4) std::memcpy(&to[i], from, 2);
  };
  return add_in_parts(p->state, pcm, bytes / 4, 4800, one, [p](size_t) {
    double peak = 0;
    if (ebur128_prev_true_peak(p->state, 0, &peak) == EBUR128_SUCCESS) p->since_mark = std::max(p->since_mark, peak);
    return size_t{4800};
  });
}

void loudness_channel_mark(void* channel) { static_cast<ChannelPeak*>(channel)->since_mark = 0; }

double loudness_channel_peak(const void* channel) { return static_cast<const ChannelPeak*>(channel)->since_mark; }

void loudness_mark(Loudness* l) {
  if (!l) return;
  l->part = true;
  // A step under way holds audio from before the mark.
  l->part_from = l->pending == 0 ? l->steps : l->steps + 1;
  l->part_blocks.clear();
  l->part_short_terms.clear();
  l->part_max_momentary = l->part_max_short_term = -HUGE_VAL;
}

LoudnessFigures loudness_part(const Loudness* l) {
  LoudnessFigures figures;
  if (!l || !l->part) return figures;
  figures.measured = true;
  figures.integrated = gated_loudness(l->part_blocks);
  figures.range = loudness_range(l->part_short_terms);
  figures.true_peak = -HUGE_VAL;
  figures.max_momentary = l->part_max_momentary;
  figures.max_short_term = l->part_max_short_term;
  return figures;
}

LoudnessFigures loudness_now(const Loudness* l) {
  LoudnessFigures figures;
  if (!l) return figures;
  figures.measured = ebur128_loudness_global(l->state, &figures.integrated) == EBUR128_SUCCESS;
  figures.range = loudness_range(l->short_terms);
  figures.true_peak = -HUGE_VAL;
  figures.max_momentary = l->max_momentary;
  figures.max_short_term = l->max_short_term;
  return figures;
}

LoudnessFigures loudness_end(Loudness* l) {
  LoudnessFigures figures;
  if (!l) return figures;
  double peak = 0;
  for (const ChannelPeak& p : l->peaks) {
    double value = 0;
    if (ebur128_true_peak(p.state, 0, &value) == EBUR128_SUCCESS && value > peak) peak = value;
  }
  figures.measured = ebur128_loudness_global(l->state, &figures.integrated) == EBUR128_SUCCESS;
  figures.range = loudness_range(std::move(l->short_terms));
  figures.true_peak = peak > 0 ? 20 * std::log10(peak) : -HUGE_VAL;
  figures.max_momentary = l->max_momentary;
  figures.max_short_term = l->max_short_term;
  destroy_states(l);
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
