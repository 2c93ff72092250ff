// SPDX-License-Identifier: MIT
// The SCSI generic loopback: the SG_IO header it fills for the virtual
// drive's answers, and the request blocks the SG backend makes of them.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "aspi/sg_loopback.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/cassette.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

sg_io_hdr_t g_header;  // as the last SG_IO left it
int g_result;

int recording_ioctl(int fd, unsigned long request, void* argument) {
  g_result = sg_loopback_ioctl(fd, request, argument);
  g_header = *static_cast<sg_io_hdr_t*>(argument);
  return g_result;
}

TEST(SgLoopback, HeadersAsTheKernelFillsThemAndTheBlocksMadeOfThem) {
  TempDir dir;
  ASSERT_TRUE(tape_write(tape_of_programs({{1, 3}}), dir.file("rec.tape")));
  ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "rec.tape"}, {"sg_errno", "7:EIO"}}},
                                                   {"1:2", {{"sg_errno", "1:ENODEV"}}},
                                                   {"1:3", {{"sg_errno", "1:ETIMEDOUT"}}}}));
  VirtualBus bus;
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  SgBackend sg;
  sg_loopback_attach(&sg, &bus);
  sg.ioctl_fn = recording_ioctl;
  ASSERT_EQ(sg.devices.size(), 3u);
  EXPECT_EQ(sg.adapter_count, 2);
  EXPECT_EQ(sg.devices[1].node, "/dev/sg1");
  EXPECT_EQ(sg_find(&sg, 1, 3, 0), &sg.devices[2]);

  uint8_t data[5822] = {};
  uint8_t audio[12] = {0, 0, 0x10, 8, 0x80, 0, 0, 0, 0, 0, 0, 2};
  struct Step {
    const char* what;
    uint8_t adapter, target;
    Bytes cdb;
    uint8_t* buffer;
    uint32_t length;
    bool out;
    int result, error;  // of the SG_IO
    uint8_t status, masked, sb_len_wr;
    uint16_t host, driver;
    int resid;
    unsigned info;
    uint8_t block_status, block_key;  // the request block the backend made of it
  } steps[] = {
      {"INQUIRY", 0, 4, {0x12, 0, 0, 0, 96, 0}, data, 96, false, 0, 0, 0, 0, 0, 0, 0, 60, 0, ASPI_STATUS_COMPLETED, 0},
      {"READ in data mode", 0, 4, {0x08, 0, 0, 0x16, 0xBE, 0}, data, 5822, false, 0, 0, 2, 1, 16, 0, 8, 5822, 1,
       ASPI_STATUS_ERROR, SENSE_MEDIUM_ERROR},
      {"MODE SELECT", 0, 4, {0x15, 0, 0, 0, 12, 0}, audio, 12, true, 0, 0, 0, 0, 0, 0, 0, 0, 0, ASPI_STATUS_COMPLETED, 0},
      {"READ", 0, 4, {0x08, 0, 0, 0x16, 0xBE, 0}, data, 5822, false, 0, 0, 0, 0, 0, 0, 0, 0, 0, ASPI_STATUS_COMPLETED, 0},
      {"READ, short", 0, 4, {0x08, 0, 0, 0x10, 0x00, 0}, data, 4096, false, 0, 0, 2, 1, 16, 0, 8, 0, 1,
       ASPI_STATUS_COMPLETED, SENSE_NO_SENSE},
      {"READ", 0, 4, {0x08, 0, 0, 0x16, 0xBE, 0}, data, 5822, false, 0, 0, 0, 0, 0, 0, 0, 0, 0, ASPI_STATUS_COMPLETED, 0},
      {"READ, SG_IO fails with EIO", 0, 4, {0x08, 0, 0, 0x16, 0xBE, 0}, data, 5822, false, -1, EIO, 0, 0, 0, 0, 0, 0,
       0, ASPI_STATUS_ERROR, 0},
      {"READ at the end of data", 0, 4, {0x08, 0, 0, 0x16, 0xBE, 0}, data, 5822, false, 0, 0, 2, 1, 16, 0, 8, 5822, 1,
       ASPI_STATUS_ERROR, SENSE_BLANK_CHECK},
      {"SG_IO fails with ENODEV", 1, 2, {0, 0, 0, 0, 0, 0}, nullptr, 0, false, -1, ENODEV, 0, 0, 0, 0, 0, 0, 0,
       ASPI_STATUS_NO_DEVICE, 0},
      {"SG_IO times out", 1, 3, {0, 0, 0, 0, 0, 0}, nullptr, 0, false, -1, ETIMEDOUT, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {"no cassette", 1, 3, {0, 0, 0, 0, 0, 0}, nullptr, 0, false, 0, 0, 2, 1, 16, 0, 8, 0, 1, ASPI_STATUS_ERROR,
       SENSE_NOT_READY},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    AspiExecRequest b{};
    b.command = ASPI_CMD_EXEC_SCSI;
    b.adapter = s.adapter;
    b.target = s.target;
    b.flags = s.out ? ASPI_FLAG_DATA_OUT : ASPI_FLAG_DATA_IN;
    b.data = s.buffer;
    b.data_length = s.length;
    b.sense_length = ASPI_SENSE_LENGTH;
    b.cdb_length = static_cast<uint8_t>(s.cdb.size());
    std::memcpy(b.cdb, s.cdb.data(), s.cdb.size());
    g_header = sg_io_hdr_t{};
    sg_execute(&sg, &b);
    EXPECT_EQ(g_result, s.result);
    EXPECT_EQ(sg.last.sg_errno, s.error);
    if (s.result == 0) {
      EXPECT_EQ(g_header.status, s.status);
      EXPECT_EQ(g_header.masked_status, s.masked);
      EXPECT_EQ(g_header.sb_len_wr, s.sb_len_wr);
      EXPECT_EQ(g_header.host_status, s.host);
      EXPECT_EQ(g_header.driver_status, s.driver);
      EXPECT_EQ(g_header.resid, s.resid);
      EXPECT_EQ(g_header.info, s.info);
      EXPECT_EQ(sg.last.sg_driver_status, s.driver);
      EXPECT_EQ(sg.last.resid, s.resid);
    }
    EXPECT_EQ(b.status, s.block_status);
    EXPECT_EQ(b.sense[2] & 0x0F, s.block_key);
  }
  // An address the bus does not list has no node; a node it does not present cannot be opened.
  EXPECT_EQ(sg_find(&sg, 0, 5, 0), nullptr);
  EXPECT_EQ(sg.open_fn("/dev/sg9", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  sg_close(&sg);
  vbus_close(&bus);
}

// A cassette another bus holds: the node's open is refused as busy, and
// every command is then "in use".
TEST(SgLoopback, ADriveAnotherHoldsIsInUse) {
  TempDir dir;
  ASSERT_TRUE(tape_write(tape_of_programs({{1, 3}}), dir.file("rec.tape")));
  ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"cassette", "rec.tape"}}}}));
  VirtualBus holder, bus;
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &holder), 0);
  ASSERT_EQ(vbus_claim(&holder, &holder.drives[0]), 0);
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  SgBackend sg;
  sg_loopback_attach(&sg, &bus);
  AspiExecRequest b{};
  b.command = ASPI_CMD_EXEC_SCSI;
  b.target = 4;
  b.cdb_length = 6;
  sg_execute(&sg, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_IN_USE);
  EXPECT_EQ(sg.devices[0].open_errno, EBUSY);
  sg_close(&sg);
  vbus_close(&bus);
  vbus_close(&holder);
}

}  // namespace
