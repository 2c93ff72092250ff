// SPDX-License-Identifier: MIT
#include <vector>

#include "datframe_test_support.h"

namespace {

using datframe_test::sample;
using datframe_test::set_pair;
using datframe_test::zeroed_frame;

class LongPlay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { build_frame_tables(); }
};

TEST(LpExpand, CurveValues) {
  EXPECT_EQ(lp_expand(2047), 32704);
  EXPECT_EQ(lp_expand(2048), -32768);
  EXPECT_EQ(lp_expand(511), 511);
  EXPECT_EQ(lp_expand(512), 512);
  EXPECT_EQ(lp_expand(767), 1022);
  EXPECT_EQ(lp_expand(768), 1024);
  EXPECT_EQ(lp_expand(-512), -512);
  EXPECT_EQ(lp_expand(-513), -514);
  EXPECT_EQ(lp_expand(-768), -1024);
  EXPECT_EQ(lp_expand(-769), -1028);
  EXPECT_EQ(lp_expand(4095), -1);
  EXPECT_EQ(lp_expand(-1), -1);
  EXPECT_EQ(lp_expand(4096 - 513), -514);  // the pattern and the signed form agree
}

TEST(LpCompress, CurveValues) {
  EXPECT_EQ(lp_compress(513), 512);
  EXPECT_EQ(lp_compress(1023), 767);
  EXPECT_EQ(lp_compress(1024), 768);
  EXPECT_EQ(lp_compress(16383), 1791);
  EXPECT_EQ(lp_compress(16384), 1792);
  EXPECT_EQ(lp_compress(32767), 2047);
  EXPECT_EQ(lp_compress(32768) & 0xFFF, 0x800);
  EXPECT_EQ(lp_compress(32769) & 0xFFF, 0x800);
  EXPECT_EQ(lp_compress(65535), -1);
  EXPECT_EQ(lp_compress(65023), -513);
  EXPECT_EQ(lp_compress(64512), -768);
  EXPECT_EQ(lp_compress(49152), -1792);
}

TEST(LpCompress, EveryCodeSurvivesExpandThenCompress) {
  for (int32_t c = 0; c < 4096; ++c) {
    ASSERT_EQ(lp_compress(lp_expand(c) & 0xFFFF) & 0xFFF, c) << "code " << c;
  }
}

TEST_F(LongPlay, ZeroPacksToZeroAndBack) {
  std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES, 0);
  DatFrame f = zeroed_frame();
  std::memset(f.audio, 0x55, sizeof f.audio);
  ASSERT_EQ(lp_pack_frame(f.audio, pcm.data()), DAT_AUDIO_BYTES);
  for (int i = 0; i < DAT_AUDIO_BYTES; ++i) ASSERT_EQ(f.audio[i], 0) << "byte " << i;
  std::memset(pcm.data(), 0x55, pcm.size());
  ASSERT_EQ(lp_unpack_frame(pcm.data(), &f), DAT_LP_PCM_BYTES);
  for (int i = 0; i < DAT_LP_PCM_BYTES; ++i) ASSERT_EQ(pcm[i], 0) << "byte " << i;
}

TEST_F(LongPlay, FullScaleLeftAndRightLandOnTheirBytes) {
  std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES);
  for (int j = 0; j < 1920; ++j) set_pair(pcm.data(), j, 0x7FFF, -0x8000);
  DatFrame f = zeroed_frame();
  ASSERT_EQ(lp_pack_frame(f.audio, pcm.data()), DAT_AUDIO_BYTES);
  for (int j = 0; j < 1920; ++j) {
    ASSERT_EQ(f.audio[lp_position[3 * j]], 0x7F) << "pair " << j;
    ASSERT_EQ(f.audio[lp_position[3 * j + 1]], 0xF0) << "pair " << j;
    ASSERT_EQ(f.audio[lp_position[3 * j + 2]], 0x80) << "pair " << j;
  }
}

TEST_F(LongPlay, UnpackReadsUpperBytesAndNibblesOfEachPair) {
  DatFrame f = zeroed_frame();
  // Pair 5: left code 0x123, right code 0x564.
  f.audio[lp_position[15]] = 0x12;
  f.audio[lp_position[16]] = 0x34;
  f.audio[lp_position[17]] = 0x56;
  std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES);
  ASSERT_EQ(lp_unpack_frame(pcm.data(), &f), DAT_LP_PCM_BYTES);
  EXPECT_EQ(sample(pcm.data(), 5, 0), lp_expand(0x123));
  EXPECT_EQ(sample(pcm.data(), 5, 1), lp_expand(0x564));
  EXPECT_EQ(sample(pcm.data(), 5, 1), 5696);
  EXPECT_EQ(sample(pcm.data(), 4, 0), 0);
}

TEST_F(LongPlay, UnpackThenPackGivesBackTheSameFrame) {
  DatFrame f = zeroed_frame();
  uint32_t x = 12345;
  for (uint8_t& b : f.audio) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES);
  ASSERT_EQ(lp_unpack_frame(pcm.data(), &f), DAT_LP_PCM_BYTES);
  DatFrame again = zeroed_frame();
  ASSERT_EQ(lp_pack_frame(again.audio, pcm.data()), DAT_AUDIO_BYTES);
  EXPECT_EQ(std::memcmp(again.audio, f.audio, DAT_AUDIO_BYTES), 0);
}

// In a process of its own: the codec refuses to run on tables not yet built
// instead of scrambling the frame.
TEST(LongPlayWithoutTables, CodecRefusesToRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        DatFrame f = zeroed_frame();
        std::vector<uint8_t> pcm(DAT_LP_PCM_BYTES);
        bool refused = lp_unpack_frame(pcm.data(), &f) == -1 && lp_pack_frame(f.audio, pcm.data()) == -1;
        build_frame_tables();
        bool runs = lp_unpack_frame(pcm.data(), &f) == DAT_LP_PCM_BYTES;
        std::exit(refused && runs ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
