// SPDX-License-Identifier: MIT
// The SCSI generic loopback: the virtual drives of a bus served behind the SG
// backend's system-call seam, so that their commands take the path of real
// drives (open of a /dev/sg node, one SG_IO each, the kernel's header mapped
// back to the request block). The bus file asks for it with
// "transport = sg" in its [bus] section.
//
// The SG_IO it stands in for answers as the kernel's sg driver does: the SCSI
// status in status and, shifted right by one, in masked_status; a CHECK
// CONDITION with DRIVER_SENSE in driver_status, the sense in the caller's
// buffer (sb_len_wr bytes) and SG_INFO_CHECK in info; resid the bytes not
// moved; a target that is not there DID_BAD_TARGET in host_status; a command
// the drive did not answer in time DID_TIME_OUT, one a bus reset cut off
// DID_RESET; and, where
// a drive's sg_errno key says so, an SG_IO that fails with an errno.
#pragma once

#include <scsi/sg.h>

#include "aspi/sg_backend.h"
#include "aspi/virtual_bus.h"

// Presents the bus's drives as the backend's devices (/dev/sg0, /dev/sg1, ...
// in the order of the bus file, each at its own adapter and target) and sets
// the backend's system calls to the loopback's. The bus must outlive the
// backend's use; one bus is served at a time.
void sg_loopback_attach(SgBackend* backend, VirtualBus* bus);

// The loopback's SG_IO on a node it opened: executes the command on the
// virtual drive and fills the header as the kernel would. -1 with errno for
// an SG_IO that fails (a drive's sg_errno, a node not open, not SG_IO).
int sg_loopback_ioctl(int fd, unsigned long request, void* argument);
