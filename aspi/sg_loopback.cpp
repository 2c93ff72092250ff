// SPDX-License-Identifier: MIT
#include "aspi/sg_loopback.h"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aspi/block_status.h"

namespace {

// What the kernel puts in the header (include/scsi/sg.h and scsi.h).
const unsigned kDidBadTarget = 0x04;
const unsigned kDidError = 0x07;
const unsigned kDriverSense = 0x08;
const unsigned kInfoCheck = 0x01;  // SG_INFO_CHECK: something in the header is not zero

// The loopback's file descriptors: this base plus the drive's index.
const int kFdBase = 1 << 20;

VirtualBus* g_bus = nullptr;

const std::string kNodePrefix = "/dev/sg";

// The drive behind a node the loopback presents, or nullptr.
VirtualDrive* drive_of_node(const char* path) {
  if (!g_bus || std::strncmp(path, kNodePrefix.c_str(), kNodePrefix.size()) != 0) return nullptr;
  char* end = nullptr;
  unsigned long index = std::strtoul(path + kNodePrefix.size(), &end, 10);
  if (*end != '\0' || index >= g_bus->drives.size()) return nullptr;
  return &g_bus->drives[index];
}

VirtualDrive* drive_of_fd(int fd) {
  if (!g_bus || fd < kFdBase || static_cast<size_t>(fd - kFdBase) >= g_bus->drives.size()) return nullptr;
  return &g_bus->drives[static_cast<size_t>(fd - kFdBase)];
}

// Opening the node takes the drive for this process, as the exclusive open
// of a real node does: EBUSY while another holds it.
int loopback_open(const char* path, int) {
  VirtualDrive* d = drive_of_node(path);
  if (!d) {
    errno = ENOENT;
    return -1;
  }
  if (d->replay.empty() && vbus_claim(g_bus, d) != 0) {
    errno = EBUSY;
    return -1;
  }
  return kFdBase + static_cast<int>(d - g_bus->drives.data());
}

int loopback_close(int) { return 0; }
int loopback_flock(int, int) { return 0; }

}  // namespace

void sg_loopback_attach(SgBackend* backend, VirtualBus* bus) {
  g_bus = bus;
  backend->devices.clear();
  for (size_t i = 0; i < bus->drives.size(); ++i) {
    const VirtualDrive& d = bus->drives[i];
    SgDevice device;
    device.name = "sg" + std::to_string(i);
    device.node = kNodePrefix + std::to_string(i);
    device.host = d.adapter;
    device.target = d.target;
    device.adapter = d.adapter;
    device.vendor.assign(d.vendor, sizeof d.vendor);
    device.model.assign(d.product, sizeof d.product);
    device.revision.assign(d.revision, sizeof d.revision);
    device.type = d.device_type;
    backend->devices.push_back(device);
  }
  backend->adapter_count = bus->adapter_count;
  backend->driver_loaded = true;
  backend->open_fn = loopback_open;
  backend->ioctl_fn = sg_loopback_ioctl;
  backend->close_fn = loopback_close;
  backend->flock_fn = loopback_flock;
}

int sg_loopback_ioctl(int fd, unsigned long request, void* argument) {
  VirtualDrive* d = drive_of_fd(fd);
  if (!d) {
    errno = EBADF;
    return -1;
  }
  if (request != SG_IO || !argument) {
    errno = EINVAL;
    return -1;
  }
  if (++d->sg_calls == d->sg_errno_at && d->sg_errno != 0) {
    errno = d->sg_errno;
    return -1;
  }
  auto* h = static_cast<sg_io_hdr_t*>(argument);
  AspiExecRequest b{};
  b.command = ASPI_CMD_EXEC_SCSI;
  b.adapter = d->adapter;
  b.target = d->target;
  b.cdb_length = std::min<uint8_t>(h->cmd_len, sizeof b.cdb);
  std::memcpy(b.cdb, h->cmdp, b.cdb_length);
  b.sense_length = sizeof b.sense;
  b.timeout_ms = h->timeout;
  if (h->dxfer_direction != SG_DXFER_NONE && h->dxfer_len > 0) {
    b.data = h->dxferp;
    b.data_length = h->dxfer_len;
    b.flags = h->dxfer_direction == SG_DXFER_TO_DEV ? ASPI_FLAG_DATA_OUT : ASPI_FLAG_DATA_IN;
  }
  vbus_execute(g_bus, &b);

  h->status = 0;
  h->masked_status = 0;
  h->msg_status = 0;
  h->sb_len_wr = 0;
  h->host_status = 0;
  h->driver_status = 0;
  h->resid = g_bus->last.resid;
  h->duration = 0;
  h->info = 0;
  if (g_bus->last_end != VBUS_ANSWERED) {
    // The midlayer gave up on the command (its time-out) or a bus reset
    // ended it: no SCSI status, only the host's.
    h->host_status = g_bus->last_end == VBUS_RESET ? HOST_STATUS_RESET : HOST_STATUS_TIME_OUT;
  } else if (b.status == ASPI_STATUS_NO_DEVICE) {
    h->host_status = kDidBadTarget;
  } else if (b.target_status == SCSI_STATUS_CHECK_CONDITION) {
    h->status = b.target_status;
    h->masked_status = b.target_status >> 1;
    h->driver_status = kDriverSense;
    h->sb_len_wr = std::min<unsigned char>(h->mx_sb_len, sizeof b.sense);
    if (h->sbp) std::memcpy(h->sbp, b.sense, h->sb_len_wr);
  } else if (b.status != ASPI_STATUS_COMPLETED) {
    h->host_status = kDidError;  // the drive gave no answer the header can carry
  }
  if (h->status || h->host_status || h->driver_status) h->info |= kInfoCheck;
  return 0;
}
