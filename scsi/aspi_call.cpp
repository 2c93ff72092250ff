#include "scsi/aspi_call.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aspi/wnaspi32.h"
#include "platform/event.h"
#include "platform/self_path.h"

namespace {

void* g_library = nullptr;
GetASPI32SupportInfoFn g_support_info = nullptr;
SendASPI32CommandFn g_send_command = nullptr;
TranslateASPI32AddressFn g_translate_address = nullptr;

const char kProviderFile[] = "libwnaspi32.so";

void* open_provider() {
  std::string dir = platform_program_dir();
  const std::string candidates[] = {dir + "/" + kProviderFile, dir + "/../lib/" + kProviderFile};
  for (const std::string& path : candidates) {
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
  }
  return nullptr;
}

}  // namespace

int32_t load_ASPI(void) {
  g_library = open_provider();
  if (!g_library) {
    std::printf("Can't find WNASPI32.DLL file\n");
    return -1;
  }
  g_support_info = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(g_library, "GetASPI32SupportInfo"));
  g_send_command = reinterpret_cast<SendASPI32CommandFn>(dlsym(g_library, "SendASPI32Command"));
  g_translate_address =
      reinterpret_cast<TranslateASPI32AddressFn>(dlsym(g_library, "TranslateASPI32Address"));
  if (!g_support_info || !g_send_command || !g_translate_address) {
    std::printf("WNASPI32.DLL lacks an entry point (%s)\n",
                !g_support_info   ? "GetASPI32SupportInfo"
                : !g_send_command ? "SendASPI32Command"
                                  : "TranslateASPI32Address");
    unload_ASPI();
    return -1;
  }
  uint32_t info = g_support_info();
  uint32_t adapters = info & 0xFF;
  uint32_t status = (info >> 8) & 0xFF;
  if (adapters != 0 && status == ASPI_SUPPORT_STATUS_OK) return static_cast<int32_t>(adapters);
  std::printf("No ASPI for WIN32 support detected.\n");
  std::printf("ASPI32 status %.8x\n", info);
  return -1;
}

int32_t unload_ASPI(void) {
  int32_t result = 0;
  if (g_library) result = dlclose(g_library);
  g_library = nullptr;
  g_support_info = nullptr;
  g_send_command = nullptr;
  g_translate_address = nullptr;
  return result;
}
