// SPDX-License-Identifier: MIT
#include <cstdlib>
#include <utility>
#include <vector>

#include "datframe_test_support.h"
#include "sinks/damaged_frame.h"

namespace {

using datframe_test::capture;
using datframe_test::Output;
using datframe_test::sample;
using datframe_test::set_pair;
using datframe_test::tc;
using datframe_test::timed_frame;
using datframe_test::zeroed_settings;

// A flagged frame and the PCM buffer copied from it, as the extraction has them.
struct Flagged {
  DatFrame frame;
  std::vector<uint8_t> pcm;
};

Flagged flagged(int32_t flags, int32_t (*left)(int32_t), int32_t (*right)(int32_t), int32_t pairs = 1440) {
  Flagged f{timed_frame(0x001, tc(0, 1, 2, 3), tc(0, 1, 2, 3)), {}};
  for (int32_t k = 0; k < pairs; ++k) set_pair(f.frame.audio, k, left(k), right(k));
  f.frame.interpolate_flags = static_cast<uint8_t>(flags);
  f.pcm.assign(f.frame.audio, f.frame.audio + DAT_AUDIO_BYTES);
  f.pcm.resize(DAT_LP_PCM_BYTES, 0x77);
  return f;
}

int32_t zero(int32_t) { return 0; }
int32_t constant_3000(int32_t) { return 3000; }
int32_t constant_1000(int32_t) { return 1000; }
int32_t alternating_1000_0(int32_t k) { return k % 2 == 0 ? 1000 : 0; }

struct Concealed {
  int32_t result;
  std::string log;
};

Concealed conceal(Flagged* f, int32_t n) {
  Concealed c{};
  c.log = capture([&] { c.result = conceal_errors(&f->frame, f->pcm.data(), n, f->frame.interpolate_flags); }).log;
  return c;
}

TEST(ConcealErrors, NearZeroSpikesOnOddPairsAreAllRepaired) {
  Flagged f = flagged(0x40, alternating_1000_0, zero);
  Concealed c = conceal(&f, 5760);
  EXPECT_EQ(c.result, 719);
  EXPECT_EQ(c.log, " - fixed left: 0x02cf, right: 0x0000\n");
  for (int32_t k = 1; k <= 1437; k += 2) ASSERT_EQ(sample(f.pcm.data(), k, 0), 1000) << "pair " << k;
  for (int32_t k = 0; k <= 1438; k += 2) ASSERT_EQ(sample(f.pcm.data(), k, 0), 1000) << "pair " << k;
  EXPECT_EQ(sample(f.pcm.data(), 1439, 0), 0);  // the last two pairs are never replaced
  for (int32_t k = 0; k < 1440; ++k) ASSERT_EQ(sample(f.pcm.data(), k, 1), 0);
}

TEST(ConcealErrors, SingleEvenSpikeChoosesEvenParity) {
  Flagged f = flagged(0x20, constant_3000, constant_3000);
  set_pair(f.frame.audio, 100, 3000, 0);
  set_pair(f.pcm.data(), 100, 3000, 0);
  Concealed c = conceal(&f, 5760);
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(sample(f.pcm.data(), 100, 1), 3000);
  EXPECT_EQ(c.log, " - fixed left: 0x0000, right: 0x0001\n");
}

TEST(ConcealErrors, CodesThatAreNotFixedGetTheFrameUnchanged) {
  for (int32_t code : {0x80, 0xEF}) {
    Flagged f = flagged(code, alternating_1000_0, zero);
    std::fill(f.pcm.begin(), f.pcm.end(), 0x77);
    Concealed c = conceal(&f, 5292);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.log, " - not fixed\n");
    EXPECT_EQ(std::memcmp(f.pcm.data(), f.frame.audio, 5292), 0);
    EXPECT_EQ(f.pcm[5292], 0x77);
  }
}

TEST(ConcealErrors, CodeSelectsTheChannels) {
  // 0x21 carries the right-channel bit but repairs the left only.
  Flagged f = flagged(0x21, alternating_1000_0, alternating_1000_0);
  EXPECT_EQ(conceal(&f, 5760).log, " - fixed left: 0x02cf, right: 0x0000\n");
  EXPECT_EQ(sample(f.pcm.data(), 1, 1), 0);
  f = flagged(0x22, alternating_1000_0, alternating_1000_0);
  EXPECT_EQ(conceal(&f, 5760).log, " - fixed left: 0x0000, right: 0x02cf\n");
  f = flagged(0x6E, alternating_1000_0, alternating_1000_0);
  // Where the left channel spikes the right one is not examined: it has no
  // counts, so odd parity, and is repaired all the same.
  EXPECT_EQ(conceal(&f, 5760).result, 2 * 719);
  f = flagged(0x41, alternating_1000_0, alternating_1000_0);
  Concealed c = conceal(&f, 5760);
  EXPECT_EQ(c.log, " - unknown error code  - fixed left: 0x02cf, right: 0x02cf\n");
  EXPECT_EQ(c.result, 2 * 719);
}

TEST(ConcealErrors, AStepOfExactly500IsNoSpike) {
  Flagged f = flagged(0x40, constant_1000, zero);
  for (auto [k, value] : {std::pair{11, 500}, std::pair{21, 499}}) {
    set_pair(f.frame.audio, k, value, 0);
    set_pair(f.pcm.data(), k, value, 0);
  }
  Concealed c = conceal(&f, 5760);
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(sample(f.pcm.data(), 11, 0), 500);
  EXPECT_EQ(sample(f.pcm.data(), 21, 0), 1000);
}

TEST(ConcealErrors, MoreOddThanEvenLoudSpikesChooseOdd) {
  Flagged f = flagged(0x40, zero, zero);
  for (int32_t k : {11, 21, 30}) {
    set_pair(f.frame.audio, k, 5000, 0);
    set_pair(f.pcm.data(), k, 5000, 0);
  }
  EXPECT_EQ(conceal(&f, 5760).result, 2);
  EXPECT_EQ(sample(f.pcm.data(), 11, 0), 0);
  EXPECT_EQ(sample(f.pcm.data(), 30, 0), 5000);
}

TEST(ConcealErrors, StaysWithinTheFrameLength) {
  // 44.1 kHz: 1323 pairs; pair 1319 is the last one examined.
  Flagged f = flagged(0x40, zero, zero, 1323);
  for (int32_t k : {1319, 1321}) {
    set_pair(f.frame.audio, k, 3000, 0);
    set_pair(f.pcm.data(), k, 3000, 0);
  }
  EXPECT_EQ(conceal(&f, 5292).result, 1);
  EXPECT_EQ(sample(f.pcm.data(), 1319, 0), 0);
  EXPECT_EQ(sample(f.pcm.data(), 1321, 0), 3000);

  // A byte count beyond the audio area (a 16-bit frame after long-play
  // frames) is taken as the whole area and nothing past it is read.
  f = flagged(0x80, alternating_1000_0, zero);
  EXPECT_EQ(conceal(&f, DAT_LP_PCM_BYTES).result, 0);
  EXPECT_EQ(std::memcmp(f.pcm.data(), f.frame.audio, DAT_AUDIO_BYTES), 0);
  EXPECT_EQ(f.pcm[DAT_AUDIO_BYTES], 0x77);
}

// The rule step by step, sample by sample, as a check on the fast form.
int32_t plain_conceal(const uint8_t* audio, uint8_t* pcm, int32_t n, bool left, bool right) {
  auto spike = [](const uint8_t* a, int32_t k, int32_t c) {
    int32_t d1 = sample(a, k, c) - sample(a, k - 1, c);
    int32_t d2 = sample(a, k + 1, c) - sample(a, k, c);
    return (d1 < -500 && d2 > 500) || (d1 > 500 && d2 < -500);
  };
  int32_t odd[2] = {}, even[2] = {}, near[2] = {};
  for (int32_t k = 1; 4 * (k - 1) < n - 12; ++k) {
    int32_t c = spike(audio, k, 0) ? 0 : spike(audio, k, 1) ? 1 : -1;
    if (c < 0) continue;
    (k % 2 ? odd : even)[c] += 1;
    if (std::abs(sample(audio, k, c)) < 500) near[c] += 1;
  }
  int32_t fixed = 0;
  for (int32_t c : {1, 0}) {
    if (!(c ? right : left)) continue;
    int32_t k0 = near[c] == odd[c] ? 1 : near[c] == even[c] ? 2 : odd[c] > even[c] ? 1 : 2;
    for (int32_t k = k0; 4 * (k - 1) < n - 12; k += 2) {
      if (!spike(pcm, k, c)) continue;
      int32_t v = (sample(pcm, k - 1, c) + sample(pcm, k + 1, c)) / 2;
      pcm[4 * k + 2 * c] = static_cast<uint8_t>(v);
      pcm[4 * k + 2 * c + 1] = static_cast<uint8_t>(v >> 8);
      fixed += 1;
    }
  }
  return fixed;
}

TEST(ConcealErrors, AgreesWithThePlainRuleOnRandomFrames) {
  uint32_t x = 7;
  auto next = [&x](uint32_t range) {
    x = x * 1103515245u + 12345u;
    return static_cast<int32_t>((x >> 8) % range);
  };
  const int32_t levels[] = {0, 499, 500, 501, -499, -500, -501, 1000, 32767, -32768, 32268, -32269};
  const int32_t codes[] = {0x20, 0x40, 0x60, 0x41};
  for (int round = 0; round < 400; ++round) {
    Flagged f = flagged(codes[round % 4], zero, zero);
    int32_t level = levels[next(12)];
    for (int32_t i = 0; i < 2880; ++i) {
      int32_t v = next(4) == 0 ? levels[next(12)] : level + next(3) - 1;
      f.frame.audio[2 * i] = static_cast<uint8_t>(v);
      f.frame.audio[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    std::memcpy(f.pcm.data(), f.frame.audio, DAT_AUDIO_BYTES);
    if (round % 3 == 0) f.pcm[next(5760)] ^= 0x40;  // the buffer need not hold the frame's bytes
    const int32_t lengths[] = {5760, 5292, 3840, next(5761)};
    int32_t n = lengths[round % 4];
    std::vector<uint8_t> expected = f.pcm;
    int32_t code = codes[round % 4];
    int32_t want = plain_conceal(f.frame.audio, expected.data(), n, code != 0x20, code != 0x40);
    ASSERT_EQ(conceal(&f, n).result, want) << "round " << round;
    ASSERT_EQ(f.pcm, expected) << "round " << round;
  }
}

// The extraction's report of a flagged frame.
struct Handled {
  int32_t result;
  Output out;
  ConcealTotals totals;
};

Handled handle(Flagged* f, const RunSettings& s, const char* wav_name, bool with_log = true) {
  Handled h{};
  h.out = capture([&] { h.result = handle_error_frame(&f->frame, f->pcm.data(), 5760, &s, &h.totals, wav_name); },
                  with_log);
  return h;
}

RunSettings analysed(const Flagged& f) {
  RunSettings s = zeroed_settings();
  capture([&] { EXPECT_EQ(analyze_frame(&f.frame, &s), 0); });
  return s;
}

const char kLine[] = "PRG:01-A:00:01:02:03-P:00:01:02:03-DATE:00/00/00-00:00:00-48k-2-16-SCMS=00 ";

TEST(HandleErrorFrame, ReportsWithoutRepairAndLeavesTheLogLineOpen) {
  Flagged f = flagged(0x60, alternating_1000_0, zero);
  RunSettings s = analysed(f);
  Handled h = handle(&f, s, "TAPE001.wav");
  EXPECT_EQ(h.result, 0);
  EXPECT_EQ(h.out.console,
            "\n - Error detected in data buffer ... : LEFT channel: RIGHT channel"
            "\n - interpolate flag set to 60 writing buffer to file:TAPE001.wav\n\n");
  EXPECT_EQ(h.out.log, std::string("Error: 0x60 - ") + kLine);
  EXPECT_EQ(h.totals.frames_not_fixed, 1);
  EXPECT_EQ(h.totals.frames_fixed + h.totals.samples_fixed, 0);
  EXPECT_EQ(std::memcmp(f.pcm.data(), f.frame.audio, DAT_AUDIO_BYTES), 0);
}

TEST(HandleErrorFrame, RepairsWithErrorCorrectAndCountsTheFrame) {
  Flagged f = flagged(0x40, alternating_1000_0, zero);
  RunSettings s = analysed(f);
  s.errorcorrect_arg = 4;
  s.input_needs_load = 1;  // that kind of drive: no channel pieces
  Handled h = handle(&f, s, "TAPE002.wav");
  EXPECT_EQ(h.result, 719);
  EXPECT_EQ(h.out.console,
            "\n - Error detected in data buffer ... "
            "\n - interpolate flag set to 40 writing buffer to file:TAPE002.wav\nattempting to correct\n");
  EXPECT_EQ(h.out.log, std::string("Error: 0x40 - ") + kLine + " - fixed left: 0x02cf, right: 0x0000\n");
  EXPECT_EQ(h.totals.samples_fixed, 719);
  EXPECT_EQ(h.totals.frames_fixed, 1);
  EXPECT_EQ(h.totals.frames_not_fixed, 0);
  EXPECT_EQ(sample(f.pcm.data(), 1, 0), 1000);

  // A flagged frame without spikes: tried, nothing repaired, not fixed.
  Flagged quiet = flagged(0x40, zero, zero);
  h = handle(&quiet, s, "TAPE002.wav");
  EXPECT_EQ(h.totals.frames_not_fixed, 1);
  EXPECT_EQ(h.totals.frames_fixed, 0);
}

TEST(HandleErrorFrame, LongPlayFramesAreNeverRepaired) {
  Flagged f = flagged(0x40, alternating_1000_0, zero);
  ASSERT_EQ(frame_set_main_id(&f.frame, 2, 0, 1, 0), 0);
  RunSettings s = analysed(f);
  s.errorcorrect_arg = 1;
  Handled h = handle(&f, s, "LP001.wav");
  EXPECT_EQ(h.result, 0);
  EXPECT_EQ(h.out.console,
            "\n - Error detected in data buffer ... : LEFT channel"
            "\n - interpolate flag set to 40 writing buffer to file:LP001.wav\n\n");
  EXPECT_EQ(h.totals.frames_not_fixed, 1);
  EXPECT_EQ(sample(f.pcm.data(), 1, 0), 0);
}

TEST(HandleErrorFrame, LivePlaybackHasNoTrackLogAndNoFileName) {
  Flagged f = flagged(0x20, constant_3000, constant_3000);
  set_pair(f.frame.audio, 100, 3000, 0);
  set_pair(f.pcm.data(), 100, 3000, 0);
  RunSettings s = analysed(f);
  s.errorcorrect_arg = 1;
  Handled h = handle(&f, s, "", false);
  EXPECT_EQ(h.result, 1);
  EXPECT_EQ(h.out.console,
            "\n - Error detected in data buffer ... : RIGHT channel"
            "\n - interpolate flag set to 20 writing buffer to file:\nattempting to correct\n");
  EXPECT_EQ(h.totals.samples_fixed, 1);
}

}  // namespace
