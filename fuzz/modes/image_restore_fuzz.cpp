// SPDX-License-Identifier: MIT
// /BUNTING's reading path: the input as an image file, restored by
// restore_image onto a virtual drive in this process (the provider's virtual
// bus stands in for the loaded provider). The input's last byte also sets a
// capacity on the tape, so that full tapes are met as well. Besides the
// sanitizers' checks the tape must hold exactly the image's first whole
// records: up to the 62nd frame in a row without subcode packs, the end of
// the image or the end of the tape, whichever comes first; and the run ends
// as incomplete exactly when a write was refused or a short last record reached.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aspi/virtual_bus.h"
#include "base/run_settings.h"
#include "datframe/dat_frame.h"
#include "fuzz/support/input_file.h"
#include "modes/modes.h"
#include "platform/event.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"

namespace {

const int kBlankStretchEnd = 62;

VirtualBus g_bus;

uint32_t send_to_virtual_bus(void* request) {
  auto* block = static_cast<AspiExecRequest*>(request);
  vbus_execute(&g_bus, block);
  if ((block->flags & ASPI_FLAG_EVENT_NOTIFY) && block->event)
    event_signal(static_cast<PlatformEvent*>(block->event));
  return block->status;
}

void require(bool ok) {
  if (!ok) std::abort();
}

const std::string& folder() {
  static const std::string made = [] {
    std::string path = private_folder("image");
    require(std::freopen("/dev/null", "r", stdin) != nullptr);  // no keys: nothing ends the restore early
    build_frame_tables();
    aspi_set_send_function(send_to_virtual_bus);
    return path;
  }();
  return made;
}

bool has_packs(const uint8_t* record) {
  for (int slot = 0; slot < DAT_PACK_COUNT; ++slot)
    if (record[DAT_AUDIO_BYTES + slot * DAT_PACK_BYTES] >> 4) return true;
  return false;
}

// Records the restore writes: it stops after the record that completes a
// blank stretch, at the end of the image, or at the first write the tape
// refuses. *ended_early: it ended at a refused write, or at a short last
// record after the whole ones.
size_t expected_records(const uint8_t* data, size_t size, long capacity, bool* ended_early) {
  size_t records = size / DAT_FRAME_BYTES;
  int blank_run = 0;
  for (size_t i = 0; i < records; ++i) {
    *ended_early = capacity >= 0 && static_cast<long>(i) >= capacity;
    if (*ended_early) return i;
    blank_run = has_packs(data + i * DAT_FRAME_BYTES) ? 0 : blank_run + 1;
    if (blank_run == kBlankStretchEnd) return i + 1;
  }
  *ended_early = size % DAT_FRAME_BYTES != 0;
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = folder();
  input_file();  // standard output to /dev/null
  std::string image = dir + "/IMAGE.img";
  std::string tape = dir + "/out.tape";
  FILE* f = std::fopen(image.c_str(), "wb");
  require(f && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0);
  unlink(tape.c_str());
  long capacity = size > 0 && (data[size - 1] & 0x80) ? data[size - 1] % 8 : -1;
  std::string bus_text = "[0:5]\ncassette = out.tape\n";
  if (capacity >= 0) bus_text += "capacity = " + std::to_string(capacity) + "\n";
  f = std::fopen((dir + "/bus.ini").c_str(), "wb");
  require(f && std::fwrite(bus_text.data(), 1, bus_text.size(), f) == bus_text.size() && std::fclose(f) == 0);
  require(vbus_load((dir + "/bus.ini").c_str(), &g_bus) == 0);
  require(set_audio_mode(DriveAddress{0, 5, 0}));

  auto* s = static_cast<RunSettings*>(std::calloc(1, sizeof(RunSettings)));
  require(s != nullptr);
  s->bunting_arg = 1;
  s->outputid_arg = 3;
  s->output_target = 5;
  std::snprintf(s->base_name, sizeof s->base_name, "%s/IMAGE", dir.c_str());
  RunVerdict verdict = restore_image(s);
  std::free(s);
  vbus_close(&g_bus);

  std::string written;
  if (FILE* t = std::fopen(tape.c_str(), "rb")) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, t)) > 0) written.append(buffer, n);
    std::fclose(t);
  }
  bool ended_early = false;
  size_t records = expected_records(data, size, capacity, &ended_early);
  require(written.size() == records * DAT_FRAME_BYTES);
  require((verdict == RUN_INCOMPLETE) == ended_early);
  require(written.empty() || std::memcmp(written.data(), data, written.size()) == 0);
  return 0;
}
