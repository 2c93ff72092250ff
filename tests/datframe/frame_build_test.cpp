// SPDX-License-Identifier: MIT
#include "datframe_test_support.h"

namespace {

using datframe_test::tc;
using datframe_test::zeroed_frame;
using datframe_test::zeroed_settings;

TEST(FrameBuild, NumbersAndTimesBecomeBcd) {
  EXPECT_EQ(program_number_bcd(1), 0x001);
  EXPECT_EQ(program_number_bcd(123), 0x123);
  EXPECT_EQ(program_number_bcd(1000), -1);
  EXPECT_EQ(tc(1, 23, 45, 33), 0x01234533u);
  EXPECT_EQ(tc(0, 60, 0, 0), TIME_CODE_NONE);
  EXPECT_EQ(tc(0, 0, 0, 34), TIME_CODE_NONE);
}

TEST(FrameBuild, TimePackKeepsTheHundredsDigitInThreeBits) {
  DatFrame f = zeroed_frame();
  ASSERT_EQ(frame_set_time_pack(&f, 2, PACK_ITEM_ABSOLUTE_TIME, 0x123, 0x01, 0x01020304u), 0);
  const uint8_t expected[7] = {0x21, 0x23, 0x01, 0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(std::memcmp(f.pack[1], expected, 7), 0);
  ASSERT_EQ(frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, 0x923, 0x01, 0), 0);
  EXPECT_EQ(f.pack[0][0], 0x11);  // bit 3 stays 0
  EXPECT_EQ(frame_set_time_pack(&f, 0, PACK_ITEM_PROGRAM_TIME, 1, 1, 0), -1);
  EXPECT_EQ(frame_set_time_pack(&f, 8, PACK_ITEM_PROGRAM_TIME, 1, 1, 0), -1);
  EXPECT_EQ(frame_set_time_pack(&f, 3, PACK_ITEM_DATE, 1, 1, 0), -1);
  ASSERT_EQ(frame_clear_pack(&f, 2), 0);
  EXPECT_EQ(f.pack[1][0] | f.pack[1][3], 0);
}

TEST(FrameBuild, DatePackAndParityOfTheCountedPacks) {
  DatFrame f = zeroed_frame();
  FrameDate date = {6, 24, 5, 17, 10, 15, 30};
  ASSERT_EQ(frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, 0x001, 0x01, tc(0, 0, 1, 2)), 0);
  ASSERT_EQ(frame_set_time_pack(&f, 2, PACK_ITEM_ABSOLUTE_TIME, 0x001, 0x01, tc(0, 0, 1, 2)), 0);
  ASSERT_EQ(frame_set_date_pack(&f, 3, &date), 0);
  ASSERT_EQ(frame_set_time_pack(&f, 4, PACK_ITEM_ABSOLUTE_TIME, 0x001, 0x01, tc(0, 0, 1, 2)), 0);
  const uint8_t expected_date[7] = {0x56, 0x24, 0x05, 0x17, 0x10, 0x15, 0x30};
  EXPECT_EQ(std::memcmp(f.pack[2], expected_date, 7), 0);

  ASSERT_EQ(frame_set_sub_id(&f, 0x001, 3), 0);
  EXPECT_EQ(frame_set_pack_parity(&f), 3);
  for (int slot = 0; slot < 3; ++slot) {
    uint8_t x = 0;
    for (int b = 0; b < 8; ++b) x ^= f.pack[slot][b];
    EXPECT_EQ(x, 0) << "slot " << slot + 1;
  }
  EXPECT_EQ(f.pack[3][7], 0);  // beyond the count: untouched

  date.month = 13;
  EXPECT_EQ(frame_set_date_pack(&f, 5, &date), -1);
  // A count above seven (the field has four bits) covers the seven packs and no more.
  f.sid_pno1 = 0x0F;
  f.sid_control = 0x5A;
  EXPECT_EQ(frame_set_pack_parity(&f), 7);
  EXPECT_EQ(f.sid_control, 0x5A);
}

TEST(FrameBuild, SubIdControlIdAndMainId) {
  DatFrame f = zeroed_frame();
  ASSERT_EQ(frame_set_sub_id(&f, 0x123, 7), 0);
  EXPECT_EQ(f.sid_pno1, 0x17);
  EXPECT_EQ(f.sid_pno23, 0x23);
  EXPECT_EQ(frame_set_sub_id(&f, 0x123, 8), -1);

  f.sid_control = 0x05;
  ASSERT_EQ(frame_set_control_id(&f, SID_START_ID | SID_PRIORITY), 0);
  EXPECT_EQ(f.sid_control, 0xC5);
  EXPECT_EQ(frame_set_control_id(&f, 0x41), -1);

  ASSERT_EQ(frame_set_main_id(&f, 2, 1, 1, 2), 0);
  EXPECT_EQ(f.main_id_format, 0x09);
  EXPECT_EQ(f.main_id_mode, 0x48);
  EXPECT_EQ(frame_set_main_id(&f, 4, 0, 0, 0), -1);
}

TEST(FrameBuild, ABuiltFrameReadsBackThroughTheAnalysis) {
  DatFrame f = zeroed_frame();
  FrameDate date = {2, 99, 12, 31, 23, 59, 58};
  ASSERT_EQ(frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, 0x042, 0x01, tc(0, 3, 4, 5)), 0);
  ASSERT_EQ(frame_set_time_pack(&f, 2, PACK_ITEM_ABSOLUTE_TIME, 0x042, 0x01, tc(1, 2, 3, 4)), 0);
  ASSERT_EQ(frame_set_date_pack(&f, 5, &date), 0);
  ASSERT_EQ(frame_set_sub_id(&f, 0x042, 7), 0);
  ASSERT_EQ(frame_set_control_id(&f, SID_START_ID | SID_PRIORITY), 0);
  ASSERT_EQ(frame_set_main_id(&f, 1, 0, 0, 1), 0);
  RunSettings s = zeroed_settings();
  datframe_test::capture([&] { EXPECT_EQ(analyze_frame(&f, &s), 0); });
  EXPECT_EQ(s.pt_pack_program, 0x042);
  EXPECT_EQ(s.prog_time, tc(0, 3, 4, 5));
  EXPECT_EQ(s.last_program, 0x042);
  EXPECT_EQ(s.abs_time, tc(1, 2, 3, 4));
  EXPECT_EQ(s.rec_date, 0x991231);
  EXPECT_EQ(s.rec_time, 0x235958);
  EXPECT_EQ(s.rate_code, 1);
  EXPECT_EQ(s.frame_scms, 1);
  EXPECT_EQ(s.start_id_found, 1);
}

}  // namespace
