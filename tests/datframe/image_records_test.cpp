// SPDX-License-Identifier: MIT
// The records of an image file: how reading one ends, reading one by its
// number, and what a write leaves.
#include "datframe/image_records.h"
#include "datframe/rescue_map.h"
#include "datframe/frame_copy.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

// A record whose bytes all say its number.
DatFrame numbered(int n) {
  DatFrame f;
  std::memset(&f, n + 1, sizeof f);
  return f;
}

std::string records(int whole, size_t extra) {
  std::string bytes;
  for (int n = 0; n < whole; ++n) {
    DatFrame f = numbered(n);
    bytes.append(reinterpret_cast<const char*>(&f), sizeof f);
  }
  return bytes + std::string(extra, '\x7f');
}

bool zeroed(const DatFrame& f) {
  static const DatFrame zero{};
  return std::memcmp(&f, &zero, sizeof f) == 0;
}

TEST(ImageRecords, ReadsEndAsTheFileEnds) {
  struct Row {
    const char* name;
    int whole;
    size_t extra;  // bytes of a last record cut short
    ImageRecordOutcome last;
  } rows[] = {
      {"empty", 0, 0, IMAGE_RECORD_NONE_LEFT},
      {"whole records", 3, 0, IMAGE_RECORD_NONE_LEFT},
      {"a part of one record only", 0, 100, IMAGE_RECORD_CUT_SHORT},
      {"a short last record", 2, DAT_FRAME_BYTES - 1, IMAGE_RECORD_CUT_SHORT},
  };
  TempDir dir;
  for (const Row& row : rows) {
    std::string path = dir.file("image.img");
    ASSERT_TRUE(write_file(path, records(row.whole, row.extra)));
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    DatFrame f;
    for (int n = 0; n < row.whole; ++n) {
      ImageRecordRead read = image_record_read(file, &f);
      EXPECT_EQ(read.outcome, IMAGE_RECORD_WHOLE) << row.name << " record " << n;
      DatFrame expected = numbered(n);
      EXPECT_EQ(std::memcmp(&f, &expected, sizeof f), 0) << row.name << " record " << n;
    }
    std::memset(&f, 0x55, sizeof f);
    ImageRecordRead end = image_record_read(file, &f);
    EXPECT_EQ(end.outcome, row.last) << row.name;
    EXPECT_EQ(end.bytes, row.extra) << row.name;
    EXPECT_TRUE(zeroed(f)) << row.name << ": a record not read whole leaves nothing behind";
    // Records are read by number as well, whatever was read before.
    for (int n = row.whole; n-- > 0;) {
      ASSERT_TRUE(image_record_read_at(file, static_cast<uint64_t>(n), &f)) << row.name << " record " << n;
      DatFrame expected = numbered(n);
      EXPECT_EQ(std::memcmp(&f, &expected, sizeof f), 0) << row.name << " record " << n;
    }
    EXPECT_FALSE(image_record_read_at(file, static_cast<uint64_t>(row.whole), &f)) << row.name;
    std::fclose(file);
  }
}

TEST(ImageRecords, FailuresAreToldApartFromTheEnd) {
  TempDir dir;
  std::string path = dir.file("image.img");
  // A stream that cannot be read: the read fails, with the system's reason.
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  DatFrame f = numbered(1);
  ImageRecordRead read = image_record_read(file, &f);
  EXPECT_EQ(read.outcome, IMAGE_RECORD_FAILED);
  EXPECT_NE(errno, 0);
  EXPECT_TRUE(zeroed(f));
  // Written records read back as they were written.
  for (int n = 0; n < 2; ++n) {
    DatFrame w = numbered(n);
    EXPECT_TRUE(image_record_write(file, &w));
  }
  std::fclose(file);
  EXPECT_EQ(read_file(path), records(2, 0));
  // A stream that cannot be written: the write fails.
  file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  DatFrame w = numbered(0);
  EXPECT_FALSE(image_record_write(file, &w) && std::fflush(file) == 0);
  std::fclose(file);
}

}  // namespace

// The map beside an image: written and read back it is the same map; cut
// anywhere short of its end (a write torn off) it is never taken for one.
TEST(RescueMap, AWholeMapReadsBackAndATornOneIsNeverTaken) {
  TempDir dir;
  RescueMap map;
  ASSERT_EQ(rescue_map_add_pass(&map, "dump", "SONY SDT-9000 1.13 at 0:4"), 1);
  ASSERT_EQ(rescue_map_add_pass(&map, "resume", "HP C1533A 9503 at 0:5"), 2);
  DatFrame blank{};
  for (int i = 0; i < 40; ++i) {
    DatFrame f = blank;
    if (i >= 10 && i < 20) {
      FrameKey key{1000 + i, 0x001};
      frame_make_stand_in(&f, &key, nullptr);  // unreadable, with times that follow one another
    }
    if (i == 25) f.interpolate_flags = 0x40;
    if (i == 26) f.interpolate_flags = 0x20;
    if (i == 27) f.interpolate_flags = 0x60;
    rescue_map_take(&map, static_cast<size_t>(i), &f, i == 30 ? 3 : 1, i < 22 ? 1 : 2);
  }
  rescue_map_take(&map, 25, &blank, 1, 2);  // read clean again
  rescue_map_name_tape(&map);
  const std::string path = dir.file("T.map");
  for (bool finished : {false, true}) {
    map.finished = finished;
    ASSERT_EQ(rescue_map_write(&map, path), 0);
    EXPECT_FALSE(file_exists(path + ".tmp"));
    RescueMap back;
    std::string why;
    ASSERT_EQ(rescue_map_read(path, &back, &why), 0) << why;
    EXPECT_EQ(back.finished, finished);
    EXPECT_EQ(back.tape, "first-time 00:00:30:10");
    ASSERT_EQ(back.passes.size(), 2u);
    EXPECT_EQ(back.passes[1].drive, "HP C1533A 9503 at 0:5");
    ASSERT_EQ(back.records.size(), 40u);
    for (size_t i = 0; i < 40; ++i) {
      const MapRecord &a = map.records[i], &b = back.records[i];
      EXPECT_TRUE(a.time == b.time && a.state == b.state && a.reads == b.reads && a.seen == b.seen &&
                  a.damaged == b.damaged)
          << i;
    }
    EXPECT_EQ(back.records[25].state, MAP_GOOD);
    EXPECT_EQ(back.records[25].reads, 2);
    EXPECT_EQ(back.records[26].state, MAP_RIGHT);
    EXPECT_EQ(rescue_map_next_damaged(&back, 21), 26u);
    std::string text = read_file(path);
    for (size_t cut = 0; cut + 1 < text.size(); ++cut) {
      ASSERT_TRUE(write_file(path, text.substr(0, cut)));
      ASSERT_EQ(rescue_map_read(path, &back, &why), EINVAL) << "cut at " << cut;
    }
  }
  EXPECT_EQ(rescue_map_read(dir.file("none.map"), &map, nullptr), ENOENT);
  EXPECT_EQ(rescue_map_path("a/b.img"), "a/b.map");
}
