// SPDX-License-Identifier: MIT
#include "scsi/aspi_call.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "aspi/wnaspi32.h"
#include "platform/event.h"
#include "platform/memory.h"
#include "platform/messages.h"
#include "platform/self_path.h"

namespace {

void* g_library = nullptr;
GetASPI32SupportInfoFn g_support_info = nullptr;
SendASPI32CommandFn g_send_command = nullptr;
TranslateASPI32AddressFn g_translate_address = nullptr;
SendASPI32CommandFn g_send_override = nullptr;

const char kProviderFile[] = "libwnaspi32.so";
// Address space that loading the provider takes at most (its code and data,
// mapped at the alignment of its segments): a provider that is there but
// fails to load while not even this much is free failed for want of memory.
const size_t kProviderLoadBytes = 16u << 20;
// How long unload_ASPI waits for each command that is still with the provider.
const uint32_t kUnloadGraceMs = 2000;

// One command: its request block, its event and the provider's copy of the
// data (data_length bytes after the struct), allocated and freed together.
struct Command {
  AspiExecRequest block;
  PlatformEvent* event;
  Command* next;  // on the pending list
  uint8_t* bounce() { return reinterpret_cast<uint8_t*>(this + 1); }
};
static_assert(sizeof(Command) % alignof(std::max_align_t) == 0);

Command* g_pending = nullptr;

void release(Command* c) {
  event_destroy(c->event);
  std::free(c);
}

// Frees the pending commands the provider has finished, waiting up to wait_ms
// for each; returns how many are still with the provider.
int reap_pending(uint32_t wait_ms) {
  int left = 0;
  Command** link = &g_pending;
  while (Command* c = *link) {
    if (event_wait(c->event, wait_ms) == 0) {
      *link = c->next;
      release(c);
    } else {
      ++left;
      link = &c->next;
    }
  }
  return left;
}

// The provider, or nullptr after saying why it cannot be loaded (nothing is
// said when memory ran out: the run ends as out of memory).
void* open_provider() {
  std::string dir = platform_program_dir();
  // Beside the program (the build folder), then an installed tree's own
  // library folder, then the lib/ of trees installed before it had one.
  const std::string candidates[] = {dir + "/" + kProviderFile, dir + "/../lib/kestrel/" + kProviderFile,
                                    dir + "/../lib/" + kProviderFile};
  char failure[512] = "";  // why the first provider that is there did not load
  for (const std::string& path : candidates) {
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
    const char* reason = dlerror();
    if (!failure[0] && access(path.c_str(), F_OK) == 0)
      std::snprintf(failure, sizeof failure, "%s", reason ? reason : path.c_str());
  }
  if (!failure[0]) {
    message_text("Can't find WNASPI32.DLL file\n");
  } else if (!memory_headroom(kProviderLoadBytes)) {
    // A mapping that failed for want of address space.
    memory_ran_out();
  } else {
    message_text("Can't load WNASPI32.DLL file (%s)\n", failure);
  }
  return nullptr;
}

void provider_message(const char* text, void*) { message_warning(text); }

}  // namespace

int32_t load_ASPI(void) {
  try {
    g_library = open_provider();
  } catch (const std::bad_alloc&) {
    memory_ran_out();
  }
  if (!g_library) return -1;
  g_support_info = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(g_library, "GetASPI32SupportInfo"));
  g_send_command = reinterpret_cast<SendASPI32CommandFn>(dlsym(g_library, "SendASPI32Command"));
  g_translate_address =
      reinterpret_cast<TranslateASPI32AddressFn>(dlsym(g_library, "TranslateASPI32Address"));
  if (!g_support_info || !g_send_command || !g_translate_address) {
    message_text("WNASPI32.DLL lacks an entry point (%s)\n",
                !g_support_info   ? "GetASPI32SupportInfo"
                : !g_send_command ? "SendASPI32Command"
                                  : "TranslateASPI32Address");
    unload_ASPI();
    return -1;
  }
  // The provider's warnings reach the console the way kestrel's own do.
  if (auto set_sink = reinterpret_cast<SetASPI32MessageSinkFn>(dlsym(g_library, "SetASPI32MessageSink")))
    set_sink(provider_message, nullptr);
  uint32_t info = g_support_info();
  uint32_t adapters = info & 0xFF;
  uint32_t status = (info >> 8) & 0xFF;
  if (adapters != 0 && status == ASPI_SUPPORT_STATUS_OK) return static_cast<int32_t>(adapters);
  if (status == ASPI_SUPPORT_STATUS_NO_RESOURCES) {
    memory_ran_out();
    return -1;
  }
  message_text("No ASPI for WIN32 support detected.\n");
  message_text("ASPI32 status %.8x\n", info);
  return -1;
}

int32_t unload_ASPI(void) {
  int32_t result = 0;
  // A provider that still holds a command keeps its code mapped: it may
  // still finish it and signal the event.
  if (reap_pending(kUnloadGraceMs) == 0 && g_library) result = dlclose(g_library);
  g_library = nullptr;
  g_support_info = nullptr;
  g_send_command = nullptr;
  g_translate_address = nullptr;
  return result;
}

uint32_t ASPI_Call(int adapter, int target, int lun, const uint8_t* cdb, int cdb_length, void* data,
                   uint32_t data_length, int data_out, uint32_t timeout_ms) {
  reap_pending(0);
  SendASPI32CommandFn send = g_send_override ? g_send_override : g_send_command;
  if (!send) return 0;
  if (!cdb || cdb_length < 1 || cdb_length > 16 || (data_length > 0 && !data))
    return ASPI_RESULT_INVALID_REQUEST;

  auto* c = static_cast<Command*>(std::calloc(1, sizeof(Command) + data_length));
  if (!c) {
    memory_ran_out();
    return ASPI_RESULT_NO_MEMORY;
  }
  c->event = event_create();
  if (!c->event) {
    std::free(c);
    memory_ran_out();
    return ASPI_RESULT_NO_MEMORY;
  }
  AspiExecRequest& b = c->block;
  b.command = ASPI_CMD_EXEC_SCSI;
  b.adapter = static_cast<uint8_t>(adapter);
  b.flags = ASPI_FLAG_EVENT_NOTIFY | (data_out ? ASPI_FLAG_DATA_OUT : ASPI_FLAG_DATA_IN);
  b.target = static_cast<uint8_t>(target);
  b.lun = static_cast<uint8_t>(lun);
  b.data_length = data_length;
  b.data = data_length > 0 ? c->bounce() : nullptr;
  b.sense_length = ASPI_SENSE_LENGTH;
  b.cdb_length = static_cast<uint8_t>(cdb_length);
  b.event = c->event;
  b.timeout_ms = timeout_ms;
  std::memcpy(b.cdb, cdb, static_cast<size_t>(cdb_length));
  if (data_length > 0) {
    if (data_out)
      std::memcpy(c->bounce(), data, data_length);
    else
      std::memset(data, 0, data_length);  // bytes the device does not deliver read as zero
  }

  // A provider that does not answer "pending" has finished with the block;
  // otherwise only the signalled event says so.
  bool done = send(&b) != ASPI_STATUS_PENDING || event_wait(c->event, timeout_ms) == 0;
  if (!done) {
    c->next = g_pending;
    g_pending = c;
    return 0;
  }
  if (data_length > 0 && !data_out) std::memcpy(data, c->bounce(), data_length);
  uint32_t word = static_cast<uint32_t>(b.status) << 24 | static_cast<uint32_t>(b.sense[2]) << 16 |
                  static_cast<uint32_t>(b.sense[12]) << 8 | b.sense[13];
  if (b.status == ASPI_STATUS_NO_RESOURCES) memory_ran_out();
  release(c);
  return word;
}

void aspi_set_send_function(SendASPI32CommandFn send) { g_send_override = send; }

int aspi_pending_commands(void) {
  int count = 0;
  for (Command* c = g_pending; c; c = c->next) ++count;
  return count;
}

void* aspi_provider_symbol(const char* name) { return g_library ? dlsym(g_library, name) : nullptr; }
