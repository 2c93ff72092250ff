// SPDX-License-Identifier: MIT
// Concealment of isolated damaged samples in flagged 16-bit frames, and the
// extraction's report of a flagged frame.
#include <bit>
#include <cstdio>
#include <cstring>

#include "datframe/dat_frame.h"
#include "platform/log.h"

namespace {

// A step larger than this, up then down or down then up, is a spike.
const int32_t kSpikeStep = 500;
// A spike whose sample lies closer to zero than this is a near-zero spike.
const int32_t kNearZero = 500;

const int32_t kMaxPairs = DAT_AUDIO_BYTES / 4;
const int32_t kMaxSamples = 2 * kMaxPairs;

// The samples of an area as one stream, left and right in turn: sample
// 2k + c is pair k of channel c, and its neighbours in that channel lie two
// places before and after it.
struct Stream {
  int16_t y[kMaxSamples];
  uint8_t spike[kMaxSamples];
};

void decode(const uint8_t* area, int32_t samples, Stream* out) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out->y, area, 2 * static_cast<size_t>(samples));
  } else {
    for (int32_t i = 0; i < samples; ++i) out->y[i] = static_cast<int16_t>(area[2 * i] | (area[2 * i + 1] << 8));
  }
}

// b - a > 500 and b - a < -500, computed within 16 bits (a + 500 and a - 500
// are formed only where they cannot wrap) so that eight samples go into one
// vector lane set.
int32_t steps_up(int16_t a, int16_t b) {
  return static_cast<int32_t>(a <= INT16_MAX - kSpikeStep) &
         static_cast<int32_t>(b > static_cast<int16_t>(a + kSpikeStep));
}
int32_t steps_down(int16_t a, int16_t b) {
  return static_cast<int32_t>(a >= INT16_MIN + kSpikeStep) &
         static_cast<int32_t>(b < static_cast<int16_t>(a - kSpikeStep));
}

// spike[i] for the samples i = 2 to end - 1: a step of more than 500 one way
// into it and more than 500 the other way out of it. One pass over both
// channels, without branches, so that it vectorises.
void mark_spikes(Stream* s, int32_t end) {
  const int16_t* y = s->y;
  for (int32_t i = 2; i < end; ++i) {
    int16_t before = y[i - 2];
    int16_t here = y[i];
    int16_t after = y[i + 2];
    int32_t down_up = steps_down(before, here) & steps_up(here, after);
    int32_t up_down = steps_up(before, here) & steps_down(here, after);
    s->spike[i] = static_cast<uint8_t>(down_up | up_down);
  }
}

// Pairs examined, from 1: those with a neighbour on each side within the n
// bytes and not among the last two; 4 * (k - 1) < n - 12.
int32_t examined_pairs(int32_t n) { return n > 12 ? (n - 12 + 3) / 4 : 0; }

struct SpikeCounts {
  int32_t odd;
  int32_t even;
  int32_t near_zero;
};

int32_t near_zero(int32_t value) {
  return static_cast<int32_t>(value < kNearZero) & static_cast<int32_t>(value > -kNearZero);
}

// Spikes of pairs 1 to last by channel and parity; where the left channel
// spikes, the right one of that pair is not examined.
void count_spikes(const Stream& s, int32_t last, SpikeCounts* left, SpikeCounts* right) {
  int32_t left_odd = 0, left_all = 0, left_near = 0, right_odd = 0, right_all = 0, right_near = 0;
  for (int32_t k = 1; k <= last; ++k) {
    int32_t odd = k & 1;
    int32_t l = s.spike[2 * k];
    int32_t r = s.spike[2 * k + 1] & (l ^ 1);
    left_all += l;
    left_odd += l & odd;
    left_near += l & near_zero(s.y[2 * k]);
    right_all += r;
    right_odd += r & odd;
    right_near += r & near_zero(s.y[2 * k + 1]);
  }
  *left = {left_odd, left_all - left_odd, left_near};
  *right = {right_odd, right_all - right_odd, right_near};
}

// First pair of the parity to repair: 1 (odd) or 2 (even).
int32_t chosen_parity(const SpikeCounts& c) {
  if (c.near_zero == c.odd) return 1;
  if (c.near_zero == c.even) return 2;
  return c.odd > c.even ? 1 : 2;
}

// Only pairs of one parity change, so every test sees the neighbours as they
// were in pcm: the spikes marked before the pass stay valid through it.
int32_t repair_channel(uint8_t* pcm, const Stream& s, int32_t last, int32_t channel, int32_t first) {
  int32_t repaired = 0;
  for (int32_t k = first; k <= last; k += 2) {
    int32_t i = 2 * k + channel;
    if (!s.spike[i]) continue;
    int32_t value = (s.y[i - 2] + s.y[i + 2]) / 2;
    pcm[2 * i] = static_cast<uint8_t>(value);
    pcm[2 * i + 1] = static_cast<uint8_t>(value >> 8);
    repaired += 1;
  }
  return repaired;
}

}  // namespace

int32_t conceal_errors(const DatFrame* frame, uint8_t* pcm, int32_t n, int32_t code) {
  if (n < 0) n = 0;
  if (n > DAT_AUDIO_BYTES) n = DAT_AUDIO_BYTES;
  bool left = true;
  bool right = true;
  switch (code) {
    case 0x20:
    case 0x22:
      left = false;
      break;
    case 0x21:
    case 0x40:
    case 0x48:
      right = false;
      break;
    case 0x23:
    case 0x60:
    case 0x44:
    case 0x4C:
    case 0x6F:
    case 0x65:
    case 0x67:
    case 0x6A:
    case 0x6E:
      break;
    case 0x80:
    case 0xEF:
      track_log_printf(" - not fixed\n");
      std::memcpy(pcm, frame->audio, static_cast<size_t>(n));
      return 0;
    default:
      track_log_printf(" - unknown error code ");
      break;
  }

  int32_t last = examined_pairs(n);  // pairs 1 to last are examined
  int32_t decoded = last > 0 ? 2 * (last + 2) : 0;  // samples, with the pair after the last
  int32_t marked = 2 * (last + 1);
  Stream stream;
  decode(frame->audio, decoded, &stream);
  mark_spikes(&stream, marked);
  SpikeCounts left_counts;
  SpikeCounts right_counts;
  count_spikes(stream, last, &left_counts, &right_counts);

  // The repair tests the PCM buffer; as a rule it still holds the frame's own
  // samples, whose spikes are marked already.
  if (std::memcmp(pcm, frame->audio, 2 * static_cast<size_t>(decoded)) != 0) {
    decode(pcm, decoded, &stream);
    mark_spikes(&stream, marked);
  }
  int32_t right_fixed = right ? repair_channel(pcm, stream, last, 1, chosen_parity(right_counts)) : 0;
  int32_t left_fixed = left ? repair_channel(pcm, stream, last, 0, chosen_parity(left_counts)) : 0;
  track_log_printf(" - fixed left: 0x%.4x, right: 0x%.4x\n", static_cast<unsigned>(left_fixed),
                   static_cast<unsigned>(right_fixed));
  return left_fixed + right_fixed;
}
