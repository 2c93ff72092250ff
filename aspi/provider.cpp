// SPDX-License-Identifier: MIT
// libwnaspi32.so: the three ASPI entry points over the SCSI generic backend
// or, when KESTREL_BUS names a bus file, the virtual drives it lists.
//
// Every command of either passes through SendASPI32Command, which writes it
// to the command trace when KESTREL_TRACE names a file (doc/trace.md);
// KESTREL_TRACE_DATA=1 puts the bytes of audio frames in too.
//
// The entry points are C functions: no exception leaves them. Memory that
// runs out inside one (the virtual drives read ahead, search and keep tallies
// in containers) ends that call with ASPI_STATUS_NO_RESOURCES, and the lock
// is given back on the way out, so that the caller can still tear its drives
// down.
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "aspi/sg_backend.h"
#include "aspi/sg_loopback.h"
#include "aspi/trace.h"
#include "aspi/virtual_bus.h"
#include "aspi/wnaspi32.h"
#include "platform/event.h"

#define ASPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Provider {
  std::mutex lock;
  bool virtual_bus = false;  // commands go to the bus's drives directly
  bool loopback = false;     // the bus's drives behind the SCSI generic path
  VirtualBus bus;
  SgBackend sg;
  TraceWriter trace;

  Provider() {
    const char* trace_path = std::getenv("KESTREL_TRACE");
    if (trace_path && *trace_path) {
      const char* data = std::getenv("KESTREL_TRACE_DATA");
      if (trace_open(&trace, trace_path, data && *data && std::strcmp(data, "0") != 0) != 0)
        vbus_say(std::string("cannot write the command trace ") + trace_path + ": " + std::strerror(errno) + "\n");
    }
    const char* bus_path = std::getenv("KESTREL_BUS");
    if (bus_path && *bus_path) {
      vbus_load(bus_path, &bus);
      loopback = bus.sg_transport;
      virtual_bus = !loopback;
      if (loopback) sg_loopback_attach(&sg, &bus);
    } else {
      sg_enumerate(&sg);
    }
  }
  // Unloading: the virtual drives leave their tally (when the bus file asks
  // for it) and close their cassettes.
  ~Provider() {
    try {
      if (virtual_bus || loopback) vbus_write_stats(&bus);
    } catch (...) {
      // No memory left for the tally: the drives still close.
    }
    vbus_close(&bus);
    sg_close(&sg);
    if (trace_close(&trace) != 0) {
      try {
        vbus_say("the command trace " + trace.path + " could not be written whole\n");
      } catch (...) {
        // No memory for the message.
      }
    }
  }
};

Provider& provider() {
  static Provider p;
  return p;
}

int adapter_count(Provider& p) { return p.virtual_bus ? p.bus.adapter_count : p.sg.adapter_count; }

size_t device_count(Provider& p) { return p.virtual_bus ? p.bus.drives.size() : p.sg.devices.size(); }

// Index of the device at an address, or -1.
long find_device(Provider& p, uint8_t adapter, uint8_t target, uint8_t lun) {
  if (p.virtual_bus) {
    VirtualDrive* d = vbus_find(&p.bus, adapter, target, lun);
    return d ? d - p.bus.drives.data() : -1;
  }
  SgDevice* d = sg_find(&p.sg, adapter, target, lun);
  return d ? d - p.sg.devices.data() : -1;
}

// The status of a call that an exception ended.
uint8_t status_of_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ASPI_STATUS_NO_RESOURCES;
  } catch (...) {
    return ASPI_STATUS_ERROR;
  }
}

// A READ or WRITE that the drive calls GOOD moved all its bytes; when the
// residual says otherwise, the transfer was cut short on the way (the sg
// driver, a bridge) and what arrived is not a frame: the command is taken as
// aborted, the same on every transport.
void check_whole_transfer(AspiExecRequest* block, const TransportOutcome& outcome) {
  bool transfer = block->cdb[0] == SCSI_OP_READ_6 || block->cdb[0] == SCSI_OP_WRITE_6;
  if (transfer && block->status == ASPI_STATUS_COMPLETED && block->target_status == SCSI_STATUS_GOOD &&
      outcome.resid > 0)
    block->status = ASPI_STATUS_ABORTED;
}

void execute(Provider& p, AspiExecRequest* block) {
  if (p.virtual_bus)
    vbus_execute(&p.bus, block);
  else
    sg_execute(&p.sg, block);
  check_whole_transfer(block, p.virtual_bus ? p.bus.last : p.sg.last);
}

int64_t microseconds_between(const timespec& from, const timespec& to) {
  return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1000000 + (to.tv_nsec - from.tv_nsec) / 1000;
}

// Executes the block; with a trace, writes its line when it is over, also
// for a command that an exception ended.
void execute_traced(Provider& p, AspiExecRequest* block) {
  if (!p.trace.file) return execute(p, block);
  timespec began{}, start{}, end{};
  clock_gettime(CLOCK_REALTIME, &began);
  clock_gettime(CLOCK_MONOTONIC, &start);
  try {
    execute(p, block);
  } catch (...) {
    block->status = status_of_exception();
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const TransportOutcome& outcome = p.virtual_bus ? p.bus.last : p.sg.last;
  trace_command(&p.trace, block, outcome, began, microseconds_between(start, end));
}

}  // namespace

ASPI_EXPORT uint32_t GetASPI32SupportInfo(void) {
  int count = 0;
  try {
    Provider& p = provider();
    std::lock_guard<std::mutex> hold(p.lock);
    count = adapter_count(p);
  } catch (...) {
    // The bus could not be set up: no memory for it, or it failed.
    uint8_t status = status_of_exception();
    return (status == ASPI_STATUS_NO_RESOURCES ? ASPI_SUPPORT_STATUS_NO_RESOURCES : ASPI_SUPPORT_STATUS_FAILED_INIT) << 8;
  }
  if (count <= 0) return ASPI_SUPPORT_STATUS_NO_ADAPTERS << 8;
  return ASPI_SUPPORT_STATUS_OK << 8 | static_cast<uint32_t>(count > 255 ? 255 : count);
}

ASPI_EXPORT uint32_t SendASPI32Command(void* request) {
  if (!request) return ASPI_STATUS_INVALID_REQUEST;
  auto* block = static_cast<AspiExecRequest*>(request);
  if (block->command != ASPI_CMD_EXEC_SCSI) {
    block->status = ASPI_STATUS_INVALID_COMMAND;
  } else {
    try {
      Provider& p = provider();
      std::lock_guard<std::mutex> hold(p.lock);
      execute_traced(p, block);
    } catch (...) {
      block->status = status_of_exception();
    }
  }
  uint8_t status = block->status;
  if ((block->flags & ASPI_FLAG_EVENT_NOTIFY) && block->event)
    event_signal(static_cast<PlatformEvent*>(block->event));
  return status;
}

ASPI_EXPORT uint32_t TranslateASPI32Address(uint32_t* path, uint32_t* device_node) {
  if (!path || !device_node) return ASPI_STATUS_INVALID_REQUEST;
  long index = -1;
  try {
    Provider& p = provider();
    std::lock_guard<std::mutex> hold(p.lock);
    index = find_device(p, *path & 0xFF, (*path >> 8) & 0xFF, (*path >> 16) & 0xFF);
  } catch (...) {
    return status_of_exception();
  }
  if (index < 0) return ASPI_STATUS_NO_DEVICE;
  *device_node = static_cast<uint32_t>(index);
  return ASPI_STATUS_COMPLETED;
}

ASPI_EXPORT uint32_t GetASPI32DeviceEntry(uint32_t index, uint8_t* adapter, uint8_t* target,
                                          uint8_t* lun, char* name, uint32_t name_size) {
  try {
    Provider& p = provider();
    std::lock_guard<std::mutex> hold(p.lock);
    if (index >= device_count(p)) return ASPI_STATUS_NO_DEVICE;
    const std::string* text;
    if (p.virtual_bus) {
      const VirtualDrive& d = p.bus.drives[index];
      if (adapter) *adapter = d.adapter;
      if (target) *target = d.target;
      if (lun) *lun = 0;
      text = &d.cassette;
    } else {
      const SgDevice& d = p.sg.devices[index];
      if (adapter) *adapter = d.adapter;
      if (target) *target = static_cast<uint8_t>(d.target);
      if (lun) *lun = static_cast<uint8_t>(d.lun);
      text = &d.node;
    }
    if (name && name_size > 0) {
      size_t n = std::min<size_t>(text->size(), name_size - 1);
      std::memcpy(name, text->data(), n);
      name[n] = '\0';
    }
    return ASPI_STATUS_COMPLETED;
  } catch (...) {
    return status_of_exception();
  }
}

ASPI_EXPORT void SetASPI32MessageSink(ASPI32MessageSink sink, void* context) { vbus_set_message_sink(sink, context); }

ASPI_EXPORT uint32_t GetASPI32NoAdapterReason(void) {
  try {
    Provider& p = provider();
    std::lock_guard<std::mutex> hold(p.lock);
    if (adapter_count(p) > 0) return ASPI_NO_ADAPTER_NONE;
    if (p.virtual_bus || p.loopback) return ASPI_NO_ADAPTER_BUS_FILE;
    return p.sg.driver_loaded ? ASPI_NO_ADAPTER_NO_SG_DEVICE : ASPI_NO_ADAPTER_NO_SG_DRIVER;
  } catch (...) {
    return ASPI_NO_ADAPTER_NO_MEMORY;
  }
}
