// SPDX-License-Identifier: MIT
// Real drives through the kernel's SCSI generic driver: the devices found in
// sysfs, numbered into host adapters, and one SG_IO per command.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "aspi/block_status.h"
#include "aspi/wnaspi32.h"

// The two system calls the backend makes, so that tests can stand in for them.
typedef int (*SgOpenFn)(const char* path, int flags);
typedef int (*SgIoctlFn)(int fd, unsigned long request, void* argument);
typedef int (*SgCloseFn)(int fd);
typedef int (*SgFlockFn)(int fd, int operation);

// Used when the request block does not say how long the caller waits.
#define SG_DEFAULT_TIMEOUT_MS 60000u

struct SgDevice {
  std::string name;   // "sg3"
  std::string node;   // "/dev/sg3"
  int host = 0;       // the kernel's H:C:T:L
  int channel = 0;
  int target = 0;
  int lun = 0;
  uint8_t adapter = 0;  // the ASPI host adapter number
  std::string vendor, model, revision;  // from sysfs, white space trimmed
  int type = -1;                        // peripheral device type from sysfs
  int fd = -1;                          // opened at the first command
  int open_errno = 0;                   // why the last open failed
};

struct SgBackend {
  std::string sysfs_root = "/sys";
  std::string dev_root = "/dev";
  SgOpenFn open_fn = nullptr;    // nullptr: open(2)
  SgIoctlFn ioctl_fn = nullptr;  // nullptr: ioctl(2)
  SgCloseFn close_fn = nullptr;  // nullptr: close(2)
  SgFlockFn flock_fn = nullptr;  // nullptr: flock(2)
  std::vector<SgDevice> devices;  // ascending by host, channel, target, LUN
  int adapter_count = 0;
  bool driver_loaded = false;  // the kernel's sg driver is there (its sysfs class is)
  TransportOutcome last;       // of the last command executed
};

// Finds the sg devices below sysfs_root/class/scsi_generic and numbers the
// distinct host/channel pairs as adapters. Returns the number of devices.
int sg_enumerate(SgBackend* backend);
// The device at an ASPI address, or nullptr.
SgDevice* sg_find(SgBackend* backend, uint8_t adapter, uint8_t target, uint8_t lun);
// Executes one request block (ASPI_CMD_EXEC_SCSI); always sets its status
// except when the transport timed out, which leaves it at 0. The first
// command to a device opens its node exclusively (O_EXCL; a node that is only
// readable, with an advisory lock) and keeps it until sg_close: while another
// process holds the node, every command fails with ASPI_STATUS_IN_USE.
void sg_execute(SgBackend* backend, AspiExecRequest* block);
// Closes the device nodes.
void sg_close(SgBackend* backend);

// Fills the SG_IO header for a request block; sense goes to sense_buffer.
void sg_prepare(const AspiExecRequest* block, sg_io_hdr_t* header, uint8_t* sense_buffer,
                uint8_t sense_buffer_size);
// Turns the outcome of SG_IO (the ioctl's result and errno, and the header it
// filled) into the block's status, SCSI status, transport status and sense.
void sg_map_outcome(const sg_io_hdr_t* header, int ioctl_result, int ioctl_errno,
                    AspiExecRequest* block);
