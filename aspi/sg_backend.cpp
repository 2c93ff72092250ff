// SPDX-License-Identifier: MIT
#include "aspi/sg_backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>
#include <utility>

#include "aspi/block_status.h"

namespace {

// Transport (host) states of the SCSI generic header that matter here.
const unsigned kDidNoConnect = 0x01;
const unsigned kDidTimeOut = HOST_STATUS_TIME_OUT;
const unsigned kDidBadTarget = 0x04;
const unsigned kDriverTimeout = 0x06;
const unsigned kDriverMask = 0x0F;

int system_open(const char* path, int flags) { return ::open(path, flags); }
int system_ioctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
int system_close(int fd) { return ::close(fd); }
int system_flock(int fd, int operation) { return ::flock(fd, operation); }

std::string read_attribute(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return std::string();
  char text[256] = {};
  size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  std::string value(text, n);
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ' || value.back() == '\t'))
    value.pop_back();
  return value;
}

// "sgN" names only; the device link leads to the folder named "H:C:T:L".
bool read_device(const std::string& class_dir, const char* name, SgDevice* device) {
  if (std::strncmp(name, "sg", 2) != 0 || name[2] == '\0') return false;
  std::string link = class_dir + "/" + name + "/device";
  char resolved[PATH_MAX];
  if (!realpath(link.c_str(), resolved)) return false;
  const char* base = std::strrchr(resolved, '/');
  base = base ? base + 1 : resolved;
  int h, c, t, l;
  char extra;
  if (std::sscanf(base, "%d:%d:%d:%d%c", &h, &c, &t, &l, &extra) != 4) return false;
  if (h < 0 || c < 0 || t < 0 || l < 0) return false;
  device->name = name;
  device->host = h;
  device->channel = c;
  device->target = t;
  device->lun = l;
  device->vendor = read_attribute(link + "/vendor");
  device->model = read_attribute(link + "/model");
  device->revision = read_attribute(link + "/rev");
  std::string type = read_attribute(link + "/type");
  device->type = type.empty() ? -1 : std::atoi(type.c_str());
  return true;
}

int open_device(SgBackend* backend, SgDevice* device) {
  if (device->fd >= 0) return device->fd;
  SgOpenFn open_fn = backend->open_fn ? backend->open_fn : system_open;
  // Exclusive: while this process holds the node, the sg driver refuses every
  // other open of it (and this open while another holds it). O_NONBLOCK makes
  // that EBUSY at once instead of a wait; SG_IO waits for its command all
  // the same.
  int fd = open_fn(device->node.c_str(), O_RDWR | O_CLOEXEC | O_EXCL | O_NONBLOCK);
  // Reading commands still work through a node that is only readable. The
  // driver takes no exclusive open for reading: an advisory lock keeps two
  // runs apart there.
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    fd = open_fn(device->node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    SgFlockFn flock_fn = backend->flock_fn ? backend->flock_fn : system_flock;
    if (fd >= 0 && flock_fn(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      (backend->close_fn ? backend->close_fn : system_close)(fd);
      fd = -1;
      errno = EBUSY;
    }
  }
  device->open_errno = fd < 0 ? errno : 0;
  device->fd = fd;
  return fd;
}

}  // namespace

int sg_enumerate(SgBackend* backend) {
  sg_close(backend);
  backend->devices.clear();
  backend->adapter_count = 0;
  std::string class_dir = backend->sysfs_root + "/class/scsi_generic";
  DIR* dir = opendir(class_dir.c_str());
  backend->driver_loaded = dir != nullptr;
  if (!dir) return 0;
  while (dirent* entry = readdir(dir)) {
    SgDevice device;
    if (!read_device(class_dir, entry->d_name, &device)) continue;
    device.node = backend->dev_root + "/" + device.name;
    backend->devices.push_back(device);
  }
  closedir(dir);
  std::sort(backend->devices.begin(), backend->devices.end(), [](const SgDevice& a, const SgDevice& b) {
    return std::make_tuple(a.host, a.channel, a.target, a.lun) <
           std::make_tuple(b.host, b.channel, b.target, b.lun);
  });
  std::set<std::pair<int, int>> adapters;
  for (const SgDevice& d : backend->devices) adapters.insert({d.host, d.channel});
  for (SgDevice& d : backend->devices) {
    auto position = std::distance(adapters.begin(), adapters.find({d.host, d.channel}));
    d.adapter = static_cast<uint8_t>(position > 255 ? 255 : position);
  }
  backend->adapter_count = static_cast<int>(adapters.size() > 255 ? 255 : adapters.size());
  return static_cast<int>(backend->devices.size());
}

SgDevice* sg_find(SgBackend* backend, uint8_t adapter, uint8_t target, uint8_t lun) {
  for (SgDevice& d : backend->devices)
    if (d.adapter == adapter && d.target == target && d.lun == lun) return &d;
  return nullptr;
}

void sg_prepare(const AspiExecRequest* block, sg_io_hdr_t* header, uint8_t* sense_buffer,
                uint8_t sense_buffer_size) {
  std::memset(header, 0, sizeof *header);
  header->interface_id = 'S';
  bool has_data = block->data_length > 0 && block->data != nullptr;
  if (!has_data)
    header->dxfer_direction = SG_DXFER_NONE;
  else if (block->flags & ASPI_FLAG_DATA_OUT)
    header->dxfer_direction = SG_DXFER_TO_DEV;
  else
    header->dxfer_direction = SG_DXFER_FROM_DEV;
  header->cmd_len = block->cdb_length;
  header->cmdp = const_cast<unsigned char*>(block->cdb);
  header->dxfer_len = has_data ? block->data_length : 0;
  header->dxferp = has_data ? block->data : nullptr;
  header->mx_sb_len = sense_buffer_size;
  header->sbp = sense_buffer;
  header->timeout = block->timeout_ms ? block->timeout_ms : SG_DEFAULT_TIMEOUT_MS;
}

void sg_map_outcome(const sg_io_hdr_t* header, int ioctl_result, int ioctl_errno,
                    AspiExecRequest* block) {
  if (ioctl_result < 0) {
    block->host_status = 0;
    block->target_status = 0;
    if (ioctl_errno == ETIMEDOUT) return;  // still pending as far as the caller knows
    block->status = (ioctl_errno == ENODEV || ioctl_errno == ENXIO) ? ASPI_STATUS_NO_DEVICE
                                                                    : ASPI_STATUS_ERROR;
    return;
  }
  block->host_status = static_cast<uint8_t>(header->host_status);
  block->target_status = header->status;
  if (header->host_status == kDidTimeOut || (header->driver_status & kDriverMask) == kDriverTimeout)
    return;
  if (header->host_status == kDidNoConnect || header->host_status == kDidBadTarget) {
    block->status = ASPI_STATUS_NO_DEVICE;
    return;
  }
  if (header->host_status == HOST_STATUS_RESET) {  // a bus reset cut the command off
    block->status = ASPI_STATUS_ABORTED;
    return;
  }
  if (header->host_status != 0) {
    block->status = ASPI_STATUS_ERROR;
    return;
  }
  if (header->status == SCSI_STATUS_CHECK_CONDITION || header->sb_len_wr > 0) {
    if (header->sb_len_wr == 0) {  // a CHECK CONDITION whose sense did not arrive
      block->status = ASPI_STATUS_ERROR;
      return;
    }
    uint8_t target_status = header->status;
    block_finish_sense(block, header->sbp, header->sb_len_wr);
    block->target_status = target_status;
    return;
  }
  if (header->status != SCSI_STATUS_GOOD) {  // BUSY, RESERVATION CONFLICT, ...
    block->status = ASPI_STATUS_ERROR;
    return;
  }
  uint8_t target_status = header->status;
  block_finish_good(block);
  block->target_status = target_status;
}

void sg_execute(SgBackend* backend, AspiExecRequest* block) {
  backend->last = TransportOutcome();
  if (block->data && block->data_length > 0) backend->last.resid = static_cast<int32_t>(block->data_length);
  SgDevice* device = sg_find(backend, block->adapter, block->target, block->lun);
  if (!device) {
    block->status = ASPI_STATUS_NO_DEVICE;
    return;
  }
  if (block->cdb_length == 0 || block->cdb_length > sizeof block->cdb) {
    block->status = ASPI_STATUS_INVALID_REQUEST;
    return;
  }
  int fd = open_device(backend, device);
  if (fd < 0) {
    int error = device->open_errno;
    if (error == EBUSY)
      block->status = ASPI_STATUS_IN_USE;
    else if (error == ENOENT || error == ENXIO || error == ENODEV)
      block->status = ASPI_STATUS_NO_DEVICE;
    else
      block->status = ASPI_STATUS_ERROR;
    return;
  }
  uint8_t sense[32] = {};
  sg_io_hdr_t header;
  sg_prepare(block, &header, sense, sizeof sense);
  SgIoctlFn ioctl_fn = backend->ioctl_fn ? backend->ioctl_fn : system_ioctl;
  int result = ioctl_fn(fd, SG_IO, &header);
  int saved_errno = result < 0 ? errno : 0;
  TransportOutcome& last = backend->last;
  last.sg_sent = true;
  last.sg_errno = saved_errno;
  if (result >= 0) {
    last.resid = header.resid;
    last.sg_host_status = header.host_status;
    last.sg_driver_status = header.driver_status;
    last.sg_info = header.info;
  }
  sg_map_outcome(&header, result, saved_errno, block);
}

void sg_close(SgBackend* backend) {
  for (SgDevice& d : backend->devices) {
    if (d.fd >= 0) (backend->close_fn ? backend->close_fn : system_close)(d.fd);
    d.fd = -1;
  }
}
