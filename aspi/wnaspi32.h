// SPDX-License-Identifier: MIT
// The ASPI provider's interface: three entry points and the request block
// that executes one SCSI command.
//
// The request block keeps the 256-byte layout of its 32-bit original. Two of
// its fields there are 4-byte addresses (the data buffer at offset 16 and the
// completion event at 24), which cannot hold a pointer on a 64-bit system:
// those two offsets stay zero, and the pointers are carried as 8-byte fields
// in the unused tail, the data buffer at offset 128 and the event at 136.
// The caller may also say at offset 144 how long it will wait (milliseconds,
// 0 when it does not say), so that a provider can bound the command itself.
//
// libwnaspi32.so, the provider built with kestrel, executes every command
// synchronously inside SendASPI32Command: the status, sense and data are in
// place and the event is signalled before the call returns. A caller must not
// rely on that; a provider may return ASPI_STATUS_PENDING and finish later,
// after which only the signalled event says that the block is free again.
//
// Which drives it presents:
// - KESTREL_BUS unset or empty: the machine's SCSI generic devices (/dev/sgN,
//   found through /sys/class/scsi_generic). Every distinct SCSI host and
//   channel pair is one host adapter, numbered 0, 1, 2, ... in ascending
//   order; a device is addressed by that adapter, its target ID and LUN.
// - KESTREL_BUS naming a bus file: the virtual DAT drives that file lists
//   (one section "[ADAPTER:TARGET]" per drive; the keys are in
//   doc/virtual-drives.md).
//   The adapter count is the highest listed adapter plus one; a bus file that
//   cannot be read, or lists no drive, gives no adapters. One further section,
//   "[bus]", holds settings of the whole bus, for tests:
//     interrupt_at = N   just before the N-th READ or WRITE of the run (over
//                        all drives, counted from 1) is executed, the provider
//                        raises SIGINT in its own process, as if the user had
//                        pressed Ctrl-C at that frame.
//     transport = sg     the drives are served behind the SCSI generic
//                        backend's system calls (a loopback that answers
//                        as the kernel's sg driver), so that their commands
//                        take the path of real drives.
//   Problems in the bus file are reported on standard error.
// With KESTREL_TRACE naming a file, every command of either kind is written
// to it (doc/trace.md).
#pragma once

#include <cstddef>
#include <cstdint>

#define ASPI_CMD_EXEC_SCSI 0x02

#define ASPI_STATUS_PENDING 0x00
#define ASPI_STATUS_COMPLETED 0x01
#define ASPI_STATUS_ABORTED 0x02
#define ASPI_STATUS_ERROR 0x04
#define ASPI_STATUS_INVALID_ADAPTER 0x81
#define ASPI_STATUS_NO_DEVICE 0x82
#define ASPI_STATUS_INVALID_COMMAND 0x80
#define ASPI_STATUS_INVALID_REQUEST 0xE0
// The provider could not get the memory the call needs; the call did nothing
// more, and the provider stays usable.
#define ASPI_STATUS_NO_RESOURCES 0xE9
// Another process holds the device: the command was not sent to it. A
// process holds every device it sends a command to until it unloads the
// provider (an exclusive open of the /dev/sgN node; a lock on a virtual
// drive's cassette file).
#define ASPI_STATUS_IN_USE 0xE5

#define ASPI_FLAG_EVENT_NOTIFY 0x40
#define ASPI_FLAG_DATA_IN 0x08
#define ASPI_FLAG_DATA_OUT 0x10

#define ASPI_SENSE_LENGTH 14

// GetASPI32SupportInfo: adapter count in bits 0-7, status in bits 8-15.
#define ASPI_SUPPORT_STATUS_OK 0x01
#define ASPI_SUPPORT_STATUS_NO_ADAPTERS 0xE8
#define ASPI_SUPPORT_STATUS_FAILED_INIT 0xE4   // the provider could not set itself up
#define ASPI_SUPPORT_STATUS_NO_RESOURCES 0xE9  // ... for want of memory

struct AspiExecRequest {
  uint8_t command;          // 0: ASPI_CMD_EXEC_SCSI
  uint8_t status;           // 1: written by the provider; 0 while pending
  uint8_t adapter;          // 2
  uint8_t flags;            // 3
  uint32_t reserved4;       // 4
  uint8_t target;           // 8
  uint8_t lun;              // 9
  uint16_t reserved10;      // 10
  uint32_t data_length;     // 12: little-endian byte count
  uint32_t data_address32;  // 16: zero on 64-bit; see data below
  uint8_t sense_length;     // 20: 14
  uint8_t cdb_length;       // 21: 6 or 10 (1 to 16)
  uint8_t host_status;      // 22: the transport's own status (SCSI generic: host_status)
  uint8_t target_status;    // 23: the SCSI status byte (2 = CHECK CONDITION)
  uint32_t event_address32; // 24: zero on 64-bit; see event below
  uint8_t reserved28[20];   // 28
  uint8_t cdb[16];          // 48
  uint8_t sense[16];        // 64: sense byte 2 at 66, ASC at 76, ASCQ at 77
  uint8_t reserved80[48];   // 80
  void* data;               // 128: the data buffer
  void* event;              // 136: a PlatformEvent*, signalled when the command is over
  uint32_t timeout_ms;      // 144: how long the caller waits; 0 when not said
  uint8_t reserved148[108]; // 148
};

static_assert(sizeof(AspiExecRequest) == 256);
static_assert(offsetof(AspiExecRequest, status) == 1);
static_assert(offsetof(AspiExecRequest, adapter) == 2);
static_assert(offsetof(AspiExecRequest, flags) == 3);
static_assert(offsetof(AspiExecRequest, target) == 8);
static_assert(offsetof(AspiExecRequest, lun) == 9);
static_assert(offsetof(AspiExecRequest, data_length) == 12);
static_assert(offsetof(AspiExecRequest, data_address32) == 16);
static_assert(offsetof(AspiExecRequest, sense_length) == 20);
static_assert(offsetof(AspiExecRequest, cdb_length) == 21);
static_assert(offsetof(AspiExecRequest, event_address32) == 24);
static_assert(offsetof(AspiExecRequest, cdb) == 48);
static_assert(offsetof(AspiExecRequest, sense) == 64);
static_assert(offsetof(AspiExecRequest, data) == 128);
static_assert(offsetof(AspiExecRequest, event) == 136);
static_assert(offsetof(AspiExecRequest, timeout_ms) == 144);

extern "C" {
// Bits 0-7: number of host adapters; bits 8-15: status (1 = usable).
uint32_t GetASPI32SupportInfo(void);
// Executes the request block (for ASPI_CMD_EXEC_SCSI) and signals its event
// when the command is over. Returns the status byte at the time of return.
// None of the entry points lets an exception out: a call that runs out of
// memory returns (or, in the block, sets) ASPI_STATUS_NO_RESOURCES.
uint32_t SendASPI32Command(void* request);
// In: *path = adapter | target << 8 | lun << 16. Out: *device_node = the
// device's index in the provider's list. Returns ASPI_STATUS_COMPLETED, or
// ASPI_STATUS_NO_DEVICE when nothing is at that address. kestrel looks it up
// but never calls it.
uint32_t TranslateASPI32Address(uint32_t* path, uint32_t* device_node);
// An extension of this provider, used by kestrel-drives: the index-th device
// (from 0) of the provider's list, its address and what stands behind it
// (the /dev/sgN node, or the cassette file of a virtual drive, "" when it has
// none), NUL-terminated and cut to name_size - 1 characters. Returns
// ASPI_STATUS_COMPLETED, or ASPI_STATUS_NO_DEVICE after the last device.
uint32_t GetASPI32DeviceEntry(uint32_t index, uint8_t* adapter, uint8_t* target, uint8_t* lun,
                              char* name, uint32_t name_size);
// A second extension: why the provider presents no host adapter, so that the
// program can say what to do. One of ASPI_NO_ADAPTER_*.
uint32_t GetASPI32NoAdapterReason(void);
// A third: where the provider's warnings (a bus file it passes over in part,
// a cassette file it cannot repair) go. Each call brings one whole message,
// ending in a line end; without a sink (nullptr) they go to standard error.
typedef void (*ASPI32MessageSink)(const char* text, void* context);
void SetASPI32MessageSink(ASPI32MessageSink sink, void* context);
}

#define ASPI_NO_ADAPTER_NONE 0          // there are host adapters
#define ASPI_NO_ADAPTER_BUS_FILE 1      // the bus file of KESTREL_BUS cannot be read or lists no drive
#define ASPI_NO_ADAPTER_NO_SG_DRIVER 2  // the kernel's SCSI generic driver (sg) is not loaded
#define ASPI_NO_ADAPTER_NO_SG_DEVICE 3  // sg is loaded, but the kernel has no SCSI device
#define ASPI_NO_ADAPTER_NO_MEMORY 4     // the provider had no memory to set itself up

typedef uint32_t (*GetASPI32SupportInfoFn)(void);
typedef uint32_t (*SendASPI32CommandFn)(void*);
typedef uint32_t (*TranslateASPI32AddressFn)(uint32_t*, uint32_t*);
typedef uint32_t (*GetASPI32DeviceEntryFn)(uint32_t, uint8_t*, uint8_t*, uint8_t*, char*, uint32_t);
typedef uint32_t (*GetASPI32NoAdapterReasonFn)(void);
typedef void (*SetASPI32MessageSinkFn)(ASPI32MessageSink, void*);
