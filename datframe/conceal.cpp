// Concealment of isolated damaged samples in flagged 16-bit frames, and the
// extraction's report of a flagged frame.
#include <cstdio>
#include <cstring>

#include "datframe/dat_frame.h"
#include "scsi/aspi_call.h"

namespace {

// A step larger than this, up then down or down then up, is a spike.
const int32_t kSpikeStep = 500;
// A spike whose sample lies closer to zero than this is a near-zero spike.
const int32_t kNearZero = 500;

enum Channel { kLeft = 0, kRight = 1 };

int32_t sample_at(const uint8_t* area, int32_t pair, Channel c) {
  const uint8_t* p = area + 4 * pair + 2 * c;
  return static_cast<int16_t>(p[0] | (p[1] << 8));
}

void set_sample(uint8_t* area, int32_t pair, Channel c, int32_t value) {
  uint8_t* p = area + 4 * pair + 2 * c;
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

bool spikes(const uint8_t* area, int32_t k, Channel c) {
  int32_t before = sample_at(area, k - 1, c);
  int32_t here = sample_at(area, k, c);
  int32_t after = sample_at(area, k + 1, c);
  int32_t d1 = here - before;
  int32_t d2 = after - here;
  return (d1 < -kSpikeStep && d2 > kSpikeStep) || (d1 > kSpikeStep && d2 < -kSpikeStep);
}

// Pairs that have a neighbour on each side within the n bytes: pair 0 and the
// last two pairs are never examined.
bool examined(int32_t k, int32_t n) { return 4 * (k - 1) < n - 12; }

struct SpikeCounts {
  int32_t odd;
  int32_t even;
  int32_t near_zero;
};

void count_spike(SpikeCounts* counts, int32_t k, int32_t value) {
  if (k % 2 == 1) {
    counts->odd += 1;
  } else {
    counts->even += 1;
  }
  if (value < kNearZero && value > -kNearZero) counts->near_zero += 1;
}

// First pair of the parity to repair: 1 (odd) or 2 (even).
int32_t chosen_parity(const SpikeCounts& c) {
  if (c.near_zero == c.odd) return 1;
  if (c.near_zero == c.even) return 2;
  return c.odd > c.even ? 1 : 2;
}

int32_t repair_channel(uint8_t* pcm, int32_t n, Channel c, int32_t first) {
  int32_t repaired = 0;
  for (int32_t k = first; examined(k, n); k += 2) {
    if (!spikes(pcm, k, c)) continue;
    set_sample(pcm, k, c, (sample_at(pcm, k - 1, c) + sample_at(pcm, k + 1, c)) / 2);
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

  SpikeCounts counts[2] = {};
  for (int32_t k = 1; examined(k, n); ++k) {
    if (spikes(frame->audio, k, kLeft)) {
      count_spike(&counts[kLeft], k, sample_at(frame->audio, k, kLeft));
    } else if (spikes(frame->audio, k, kRight)) {
      count_spike(&counts[kRight], k, sample_at(frame->audio, k, kRight));
    }
  }

  int32_t right_fixed = right ? repair_channel(pcm, n, kRight, chosen_parity(counts[kRight])) : 0;
  int32_t left_fixed = left ? repair_channel(pcm, n, kLeft, chosen_parity(counts[kLeft])) : 0;
  track_log_printf(" - fixed left: 0x%.4x, right: 0x%.4x\n", static_cast<unsigned>(left_fixed),
                   static_cast<unsigned>(right_fixed));
  return left_fixed + right_fixed;
}

int32_t handle_error_frame(const DatFrame* frame, uint8_t* pcm, int32_t pcm_bytes, const RunSettings* settings,
                           ConcealTotals* totals, const char* wav_name) {
  if (!frame || !pcm || !settings || !totals) return -1;
  unsigned flags = frame->interpolate_flags;
  if (flags == 0) return 0;
  // No track log is open in live playback: these writes then go nowhere.
  track_log_printf("Error: 0x%.2x - ", flags);
  log_subcode(settings);
  std::printf("\n - Error detected in data buffer ... ");
  if (settings->input_needs_load == 0) {
    if (flags & 0x40) std::printf(": LEFT channel");
    if (flags & 0x20) std::printf(": RIGHT channel");
  }
  std::printf("\n - interpolate flag set to %x writing buffer to file:%s\n", flags, wav_name ? wav_name : "");
  if (settings->sample_bits == 16 && settings->errorcorrect_arg != 0) {
    std::printf("attempting to correct\n");
    int32_t repaired = conceal_errors(frame, pcm, pcm_bytes, static_cast<int32_t>(flags));
    totals->samples_fixed += repaired;
    if (repaired > 0) {
      totals->frames_fixed += 1;
    } else {
      totals->frames_not_fixed += 1;
    }
    return repaired;
  }
  totals->frames_not_fixed += 1;
  std::printf("\n");
  return 0;
}
