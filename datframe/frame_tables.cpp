// SPDX-License-Identifier: MIT
// The long-play position table and the compression table, built once at
// start-up.
//
// The drive de-interleaves every frame as if it held 16-bit samples; a
// long-play frame is laid out on tape by another rule. Both rules place bytes
// on a model of the tape: two tracks of 128 blocks of 32 symbols, positions
// 32 * block + symbol from 0 to 8191 (blocks 52 to 75 of each track carry no
// audio). lp_position composes the long-play placement with the inverse of
// the 16-bit one.
#include <utility>
#include <vector>

#include "datframe/dat_frame.h"
#include "datframe/frame_tables_internal.h"

int16_t lp_position[DAT_AUDIO_BYTES];
int16_t lp_compress_table[65536];

namespace {

const int32_t kTapePositions = 8192;
const int32_t kHalfFrame = DAT_AUDIO_BYTES / 2;
bool g_built = false;

// Physical position of byte e of the 16-bit sample stream.
int32_t sixteen_bit_position(int32_t e) {
  int32_t q = e / 4;
  int32_t u = q / 832;
  int32_t v = q / 52;
  int32_t block = (q % 52) + u + 75 * (q % 2) + 128 * ((e / 2) % 2);
  int32_t symbol = 2 * (v - 16 * u - (e % 2)) + 2 - (v % 2);
  return 32 * block + symbol;
}

// Physical position of long-play byte i (before the exchange of halves).
int32_t long_play_position(int32_t i) {
  int32_t w = i / 3;
  int32_t m = 3 * (w / 2) + (i % 3);
  int32_t h = w / 960;
  int32_t x = (w % 2) + 2 * ((m / 2) - 720 * h);
  int32_t u = x / 832;
  int32_t v = x / 52;
  int32_t block = (x % 52) + u + 75 * (x % 2) + 128 * ((x + h) % 2);
  int32_t symbol = 2 * (v - 16 * u + (m % 2)) - (v % 2);
  return 32 * block + symbol;
}

}  // namespace

bool frame_tables_built(void) { return g_built; }

void build_frame_tables(void) {
  std::vector<int16_t> byte_at(kTapePositions, -1);
  for (int32_t e = 0; e < DAT_AUDIO_BYTES; ++e) byte_at[sixteen_bit_position(e)] = static_cast<int16_t>(e);

  std::vector<int32_t> order(DAT_AUDIO_BYTES);
  for (int32_t i = 0; i < DAT_AUDIO_BYTES; ++i) order[i] = i;
  for (int32_t i = 0; i < kHalfFrame; ++i) {
    if (i % 6 >= 3) std::swap(order[i], order[i + kHalfFrame]);
  }

  // Every long-play byte lands on a position that carries audio; the codec
  // refuses to run on a table where one did not.
  bool complete = true;
  for (int32_t i = 0; i < DAT_AUDIO_BYTES; ++i) {
    int32_t position = long_play_position(i);
    int16_t e = (position >= 0 && position < kTapePositions) ? byte_at[position] : -1;
    complete = complete && e >= 0;
    lp_position[order[i]] = e >= 0 ? e : 0;
  }

  for (int32_t k = 0; k < 65536; ++k) lp_compress_table[k] = static_cast<int16_t>(lp_compress(k));
  g_built = complete;
}
