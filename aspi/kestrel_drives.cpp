// kestrel-drives: lists the drives the ASPI provider presents (the machine's
// SCSI generic devices, or the virtual drives of KESTREL_BUS), with the
// address to give /INPUTID and /OUTPUTID and whether kestrel supports them.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aspi/wnaspi32.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"

namespace {

const char* kind_name(int kind) {
  switch (kind) {
    case DRIVE_PYTHON: return "yes (Python family)";
    case DRIVE_SDT9000: return "yes (SDT-9000 family)";
    default: return "no";
  }
}

std::string trimmed(const uint8_t* bytes, size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// One line for the device at an address; device is its node or cassette.
void list_device(int adapter, int target, int lun, const std::string& device, bool is_virtual) {
  char address[16];
  if (lun == 0)
    std::snprintf(address, sizeof address, "%d:%d", adapter, target);
  else
    std::snprintf(address, sizeof address, "%d:%d:%d", adapter, target, lun);
  std::string where = device;
  if (is_virtual && where.empty()) where = "(no cassette)";

  uint8_t inquiry[256] = {};
  int result = scsi_inquiry(adapter, target, lun, inquiry, 255);
  if (result != 0) {
    std::string why = "does not answer INQUIRY";
    if (!is_virtual && !device.empty() && access(device.c_str(), R_OK | W_OK) != 0)
      why = std::string("cannot be opened: ") + std::strerror(errno);
    std::printf("%-7s  %-8s  %-20s  %-21s  %s (%s)\n", address, "?", "?", "?", where.c_str(), why.c_str());
    return;
  }
  char vendor[9] = {}, product[21] = {};
  std::memcpy(vendor, inquiry + 8, 8);
  std::memcpy(product, inquiry + 16, 20);
  int kind = lookup_drive(vendor, product);
  const char* note = "";
  if (kind != DRIVE_UNKNOWN && (adapter > 7 || target > 7 || lun != 0))
    note = " (kestrel reaches adapters 0-7, targets 0-7, LUN 0 only)";
  std::printf("%-7s  %-8s  %-20s  %-21s  %s%s\n", address, trimmed(inquiry + 8, 8).c_str(),
              trimmed(inquiry + 16, 20).c_str(), kind_name(kind), where.c_str(), note);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::printf("usage: %s\n"
                "Lists the drives the ASPI provider beside it presents: the SCSI generic\n"
                "devices of this machine, or with KESTREL_BUS set the virtual drives of that\n"
                "bus file. The ADDRESS column is what /INPUTID and /OUTPUTID take.\n",
                argv[0]);
    return argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) ? 0 : 2;
  }
  const char* bus = std::getenv("KESTREL_BUS");
  bool is_virtual = bus && *bus;
  int adapters = load_ASPI();
  if (adapters <= 0) {
    std::printf("No drives found: the ASPI provider reports no host adapter.\n");
    unload_ASPI();
    return 1;
  }
  if (is_virtual)
    std::printf("Virtual drives of the bus file %s (%d host adapter%s):\n", bus, adapters, adapters == 1 ? "" : "s");
  else
    std::printf("SCSI generic devices (%d host adapter%s):\n", adapters, adapters == 1 ? "" : "s");
  std::printf("%-7s  %-8s  %-20s  %-21s  %s\n", "ADDRESS", "VENDOR", "PRODUCT", "KESTREL", "DEVICE");

  auto entry = reinterpret_cast<GetASPI32DeviceEntryFn>(aspi_provider_symbol("GetASPI32DeviceEntry"));
  if (entry) {
    char name[512];
    uint8_t a, t, l;
    for (uint32_t i = 0; entry(i, &a, &t, &l, name, sizeof name) == ASPI_STATUS_COMPLETED; ++i)
      list_device(a, t, l, name, is_virtual);
  } else {  // a provider without the listing: ask every address kestrel can reach
    for (int a = 0; a < adapters && a < 8; ++a)
      for (int t = 0; t < 8; ++t) {
        uint8_t probe[36];
        if (scsi_inquiry(a, t, 0, probe, sizeof probe) != SCSI_INQUIRY_NO_DEVICE) list_device(a, t, 0, "", is_virtual);
      }
  }
  std::printf("Give the ADDRESS to /INPUTID or /OUTPUTID, for example /INPUTID 0:4.\n");
  unload_ASPI();
  return 0;
}
