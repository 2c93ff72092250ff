// SPDX-License-Identifier: MIT
// The SCSI generic backend against a fake sysfs tree and a fake ioctl:
// enumeration, the SG_IO header it builds and how outcomes become statuses.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "aspi/sg_backend.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// One device folder "H:C:T:L" with its attributes, linked from class/scsi_generic/NAME.
void add_device(const TempDir& root, const std::string& name, const std::string& hctl, const std::string& vendor,
                const std::string& model, const std::string& rev, int type) {
  std::string folder = root.file("devices/pci0/host/target/" + hctl);
  fs::create_directories(folder);
  write_file(folder + "/vendor", vendor + "\n");
  write_file(folder + "/model", model + "\n");
  write_file(folder + "/rev", rev + "\n");
  write_file(folder + "/type", std::to_string(type) + "\n");
  fs::create_directories(root.file("class/scsi_generic/" + name));
  fs::create_directory_symlink("../../../devices/pci0/host/target/" + hctl,
                               root.file("class/scsi_generic/" + name + "/device"));
}

// The fake system calls.
struct Calls {
  std::vector<std::string> opened;
  std::vector<int> open_flags;
  std::vector<int> closed;
  int refuse_open_errno = 0;   // every open fails with this
  int refuse_rdwr_errno = 0;   // only read-write opens fail with this
  bool exclusive = true;       // every open asked for the node alone (O_EXCL or a lock, without waiting)
  bool locked_elsewhere = false;  // another process holds the advisory lock
  sg_io_hdr_t header{};        // what SG_IO was given
  std::vector<uint8_t> cdb;
  // The outcome SG_IO reports.
  int result = 0;
  int error = 0;
  uint8_t status = 0;
  uint16_t host_status = 0;
  uint16_t driver_status = 0;
  std::vector<uint8_t> sense;
  std::vector<uint8_t> data_in;
};
Calls g_calls;

int fake_open(const char* path, int flags) {
  g_calls.opened.push_back(path);
  g_calls.open_flags.push_back(flags & O_ACCMODE);
  bool alone = (flags & O_ACCMODE) == O_RDWR ? (flags & O_EXCL) != 0 : true;
  g_calls.exclusive = g_calls.exclusive && alone && (flags & O_NONBLOCK) != 0;
  if (g_calls.refuse_open_errno) {
    errno = g_calls.refuse_open_errno;
    return -1;
  }
  if ((flags & O_ACCMODE) == O_RDWR && g_calls.refuse_rdwr_errno) {
    errno = g_calls.refuse_rdwr_errno;
    return -1;
  }
  return 100 + static_cast<int>(g_calls.opened.size());
}

int fake_ioctl(int, unsigned long request, void* argument) {
  if (request != SG_IO) return -1;
  auto* h = static_cast<sg_io_hdr_t*>(argument);
  g_calls.header = *h;
  g_calls.cdb.assign(h->cmdp, h->cmdp + h->cmd_len);
  if (g_calls.result < 0) {
    errno = g_calls.error;
    return -1;
  }
  if (h->dxfer_direction == SG_DXFER_FROM_DEV && !g_calls.data_in.empty())
    std::memcpy(h->dxferp, g_calls.data_in.data(), std::min<size_t>(g_calls.data_in.size(), h->dxfer_len));
  h->status = g_calls.status;
  h->host_status = g_calls.host_status;
  h->driver_status = g_calls.driver_status;
  size_t n = std::min<size_t>(g_calls.sense.size(), h->mx_sb_len);
  if (n > 0) std::memcpy(h->sbp, g_calls.sense.data(), n);
  h->sb_len_wr = static_cast<unsigned char>(n);
  return 0;
}

int fake_close(int fd) {
  g_calls.closed.push_back(fd);
  return 0;
}

int fake_flock(int, int operation) {
  if (operation != (LOCK_EX | LOCK_NB)) return 0;
  if (!g_calls.locked_elsewhere) return 0;
  errno = EWOULDBLOCK;
  return -1;
}

struct SgBackendTest : ::testing::Test {
  TempDir root;
  SgBackend backend;
  SgBackendTest() {
    g_calls = Calls();
    add_device(root, "sg0", "2:0:4:0", "SONY", "SDT-9000", "1.13", 1);
    add_device(root, "sg1", "0:0:3:0", "ARCHIVE", "Python 01931-XXX", "5.63", 1);
    add_device(root, "sg2", "0:1:5:0", "ATA", "Disk", "1.0", 0);
    add_device(root, "sg3", "0:0:3:1", "ARCHIVE", "Python 01931-XXX", "5.63", 1);
    add_device(root, "sg4", "host9", "X", "Y", "Z", 1);  // not an H:C:T:L folder
    write_file(root.file("class/scsi_generic/version"), "1\n");
    backend.sysfs_root = root.path();
    backend.dev_root = "/fake/dev";
    backend.open_fn = fake_open;
    backend.ioctl_fn = fake_ioctl;
    backend.close_fn = fake_close;
    backend.flock_fn = fake_flock;
  }
  ~SgBackendTest() override { sg_close(&backend); }

  AspiExecRequest block(uint8_t adapter, uint8_t target, uint8_t lun, uint8_t flags, void* data, uint32_t length) {
    AspiExecRequest b{};
    b.command = ASPI_CMD_EXEC_SCSI;
    b.adapter = adapter;
    b.target = target;
    b.lun = lun;
    b.flags = flags;
    b.data = data;
    b.data_length = length;
    b.sense_length = ASPI_SENSE_LENGTH;
    b.cdb_length = 6;
    return b;
  }
};

TEST_F(SgBackendTest, NumbersHostAndChannelPairsAsAdaptersInAscendingOrder) {
  ASSERT_EQ(sg_enumerate(&backend), 4);
  EXPECT_EQ(backend.adapter_count, 3);
  EXPECT_TRUE(backend.driver_loaded);
  struct Want {
    const char* name;
    int adapter, target, lun;
  } want[] = {{"sg1", 0, 3, 0}, {"sg3", 0, 3, 1}, {"sg2", 1, 5, 0}, {"sg0", 2, 4, 0}};
  for (size_t i = 0; i < 4; ++i) {
    const SgDevice& d = backend.devices[i];
    EXPECT_EQ(d.name, want[i].name);
    EXPECT_EQ(d.adapter, want[i].adapter) << d.name;
    EXPECT_EQ(d.target, want[i].target) << d.name;
    EXPECT_EQ(d.lun, want[i].lun) << d.name;
  }
  const SgDevice* sony = sg_find(&backend, 2, 4, 0);
  ASSERT_NE(sony, nullptr);
  EXPECT_EQ(sony->node, "/fake/dev/sg0");
  EXPECT_EQ(sony->vendor, "SONY");
  EXPECT_EQ(sony->model, "SDT-9000");
  EXPECT_EQ(sony->revision, "1.13");
  EXPECT_EQ(sony->type, 1);
  EXPECT_EQ(sg_find(&backend, 0, 4, 0), nullptr);

  // Without the driver's sysfs class the driver is not loaded; with the class
  // but no device it is, and there is simply nothing attached.
  SgBackend empty;
  empty.sysfs_root = root.file("nowhere");
  EXPECT_EQ(sg_enumerate(&empty), 0);
  EXPECT_EQ(empty.adapter_count, 0);
  EXPECT_FALSE(empty.driver_loaded);
  TempDir bare;
  fs::create_directories(bare.file("class/scsi_generic"));
  empty.sysfs_root = bare.path();
  EXPECT_EQ(sg_enumerate(&empty), 0);
  EXPECT_TRUE(empty.driver_loaded);
}

TEST_F(SgBackendTest, BuildsTheSgIoHeaderFromTheBlock) {
  sg_enumerate(&backend);
  uint8_t buffer[5822];
  struct Case {
    uint8_t flags;
    void* data;
    uint32_t length;
    uint32_t timeout;
    int direction;
    unsigned want_timeout;
  } cases[] = {
      {0x48, buffer, 5822, 25000, SG_DXFER_FROM_DEV, 25000},
      {0x50, buffer, 12, 0, SG_DXFER_TO_DEV, SG_DEFAULT_TIMEOUT_MS},
      {0x48, nullptr, 0, 60000, SG_DXFER_NONE, 60000},
  };
  for (const Case& c : cases) {
    AspiExecRequest b = block(0, 3, 0, c.flags, c.data, c.length);
    const uint8_t cdb[6] = {0x08, 0, 0, 0x16, 0xBE, 0};
    std::memcpy(b.cdb, cdb, 6);
    b.timeout_ms = c.timeout;
    sg_execute(&backend, &b);
    EXPECT_EQ(b.status, ASPI_STATUS_COMPLETED);
    EXPECT_EQ(g_calls.header.interface_id, 'S');
    EXPECT_EQ(g_calls.header.dxfer_direction, c.direction);
    EXPECT_EQ(g_calls.header.dxfer_len, c.length);
    EXPECT_EQ(g_calls.header.timeout, c.want_timeout);
    EXPECT_EQ(g_calls.cdb, std::vector<uint8_t>(cdb, cdb + 6));
  }
  EXPECT_EQ(g_calls.opened, std::vector<std::string>{"/fake/dev/sg1"}) << "the node is opened once";
  EXPECT_EQ(g_calls.open_flags[0], O_RDWR);
  sg_close(&backend);
  EXPECT_EQ(g_calls.closed.size(), 1u);
}

TEST_F(SgBackendTest, AddressesWithoutADeviceAndNodesThatCannotBeOpened) {
  sg_enumerate(&backend);
  AspiExecRequest b = block(0, 6, 0, 0x48, nullptr, 0);
  sg_execute(&backend, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_NO_DEVICE);

  g_calls.refuse_rdwr_errno = EACCES;  // readable only: still usable
  b = block(2, 4, 0, 0x48, nullptr, 0);
  sg_execute(&backend, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_COMPLETED);
  EXPECT_EQ(g_calls.open_flags, std::vector<int>({O_RDWR, O_RDONLY}));

  g_calls.refuse_open_errno = EACCES;
  b = block(1, 5, 0, 0x48, nullptr, 0);
  sg_execute(&backend, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_ERROR);
  EXPECT_EQ(backend.devices[2].open_errno, EACCES);

  g_calls.refuse_open_errno = ENOENT;
  b = block(0, 3, 1, 0x48, nullptr, 0);
  sg_execute(&backend, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_NO_DEVICE);
  EXPECT_TRUE(g_calls.exclusive) << "every open asks for the node alone, and does not wait for it";
}

// Another process holds the node (its exclusive open, or the lock on a node
// that is only readable): the command fails as in use, and is not sent.
TEST_F(SgBackendTest, ANodeThatAnotherProcessHoldsIsInUse) {
  sg_enumerate(&backend);
  g_calls.refuse_open_errno = EBUSY;
  AspiExecRequest b = block(0, 3, 0, 0x48, nullptr, 0);
  sg_execute(&backend, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_IN_USE);

  g_calls = Calls();
  g_calls.refuse_rdwr_errno = EACCES;
  g_calls.locked_elsewhere = true;
  b = block(2, 4, 0, 0x48, nullptr, 0);
  sg_execute(&backend, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_IN_USE);
  EXPECT_EQ(g_calls.closed.size(), 1u) << "the node opened for reading is closed again";
  EXPECT_TRUE(g_calls.cdb.empty()) << "nothing was sent";

  g_calls.locked_elsewhere = false;  // the other process has ended
  sg_execute(&backend, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_COMPLETED);
}

TEST_F(SgBackendTest, OutcomesBecomeStatusAndSense) {
  sg_enumerate(&backend);
  const std::vector<uint8_t> fixed_recovered = {0x70, 0, 0x01, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x17, 0x01};
  const std::vector<uint8_t> fixed_blank = {0x70, 0, 0x08, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x00, 0x05};
  const std::vector<uint8_t> fixed_eom = {0x70, 0, 0x4D, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x00, 0x02};
  const std::vector<uint8_t> descriptor = {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 0};
  struct Case {
    const char* name;
    int result, error;
    uint8_t status;
    uint16_t host, driver;
    std::vector<uint8_t> sense;
    uint8_t want_status, want_key_byte, want_asc, want_ascq;
  } cases[] = {
      {"good", 0, 0, 0x00, 0, 0, {}, 0x01, 0, 0, 0},
      {"recovered error", 0, 0, 0x02, 0, 0x08, fixed_recovered, 0x01, 0x01, 0x17, 0x01},
      {"blank check", 0, 0, 0x02, 0, 0x08, fixed_blank, 0x04, 0x08, 0x00, 0x05},
      {"volume overflow with EOM", 0, 0, 0x02, 0, 0x08, fixed_eom, 0x04, 0x4D, 0x00, 0x02},
      {"descriptor sense", 0, 0, 0x02, 0, 0x08, descriptor, 0x04, 0x03, 0x11, 0x00},
      {"check condition without sense", 0, 0, 0x02, 0, 0, {}, 0x04, 0, 0, 0},
      {"busy", 0, 0, 0x08, 0, 0, {}, 0x04, 0, 0, 0},
      {"transport time-out", 0, 0, 0x00, 0x03, 0, {}, 0x00, 0, 0, 0},
      {"driver time-out", 0, 0, 0x00, 0, 0x06, {}, 0x00, 0, 0, 0},
      {"ioctl time-out", -1, ETIMEDOUT, 0, 0, 0, {}, 0x00, 0, 0, 0},
      {"device gone", -1, ENODEV, 0, 0, 0, {}, 0x82, 0, 0, 0},
      {"no connect", 0, 0, 0x00, 0x01, 0, {}, 0x82, 0, 0, 0},
      {"bus reset", 0, 0, 0x00, 0x08, 0, {}, 0x02, 0, 0, 0},
      {"host error", 0, 0, 0x00, 0x07, 0, {}, 0x04, 0, 0, 0},
      {"ioctl refused", -1, EINVAL, 0, 0, 0, {}, 0x04, 0, 0, 0},
  };
  for (const Case& c : cases) {
    g_calls.result = c.result;
    g_calls.error = c.error;
    g_calls.status = c.status;
    g_calls.host_status = c.host;
    g_calls.driver_status = c.driver;
    g_calls.sense = c.sense;
    AspiExecRequest b = block(2, 4, 0, 0x48, nullptr, 0);
    sg_execute(&backend, &b);
    EXPECT_EQ(b.status, c.want_status) << c.name;
    EXPECT_EQ(b.sense[2], c.want_key_byte) << c.name;
    EXPECT_EQ(b.sense[12], c.want_asc) << c.name;
    EXPECT_EQ(b.sense[13], c.want_ascq) << c.name;
  }
}

TEST_F(SgBackendTest, DataFromTheDeviceReachesTheBlocksBuffer) {
  sg_enumerate(&backend);
  g_calls.data_in = {'S', 'O', 'N', 'Y'};
  uint8_t buffer[36] = {};
  AspiExecRequest b = block(2, 4, 0, 0x48, buffer, sizeof buffer);
  sg_execute(&backend, &b);
  EXPECT_EQ(std::memcmp(buffer, "SONY", 4), 0);
}

}  // namespace
