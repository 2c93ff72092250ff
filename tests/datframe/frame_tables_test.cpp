// SPDX-License-Identifier: MIT
#include <vector>

#include "datframe_test_support.h"

namespace {

class FrameTables : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { build_frame_tables(); }
};

TEST_F(FrameTables, PositionTableIsAPermutationWithTheCheckingValues) {
  std::vector<int> seen(DAT_AUDIO_BYTES, 0);
  for (int k = 0; k < DAT_AUDIO_BYTES; ++k) {
    ASSERT_GE(lp_position[k], 0) << "entry " << k;
    ASSERT_LT(lp_position[k], DAT_AUDIO_BYTES) << "entry " << k;
    ASSERT_EQ(seen[lp_position[k]]++, 0) << "value " << lp_position[k] << " twice";
  }
  const int16_t head[12] = {1, 0, 9, 5, 4, 13, 8, 17, 16, 12, 21, 20};
  const int16_t tail[12] = {5739, 5738, 5747, 5743, 5742, 5751, 5746, 5755, 5754, 5750, 5759, 5758};
  for (int k = 0; k < 12; ++k) {
    EXPECT_EQ(lp_position[k], head[k]) << "entry " << k;
    EXPECT_EQ(lp_position[5748 + k], tail[k]) << "entry " << 5748 + k;
  }
}

TEST_F(FrameTables, CompressionTableHoldsTheCurveForEveryPattern) {
  for (int32_t k = 0; k < 65536; ++k) ASSERT_EQ(lp_compress_table[k], lp_compress(k)) << "pattern " << k;
  EXPECT_EQ(lp_compress_table[32768], 2048);
}

}  // namespace
