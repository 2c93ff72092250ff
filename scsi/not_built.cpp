// Stand-ins for the SCSI layer's drive set-up, seek and commands until they
// are built. They do nothing and say so; none of them reports success.
#include <cstdio>

#include "scsi/aspi_call.h"
#include "scsi/drive_setup.h"
#include "scsi/seek.h"

uint32_t ASPI_Call(int, int, int, const uint8_t*, int, void*, uint32_t, int, uint32_t) { return 0; }

int configure_drives(RunSettings*) {
  std::printf("drive set-up is not built into this kestrel\n");
  return 1;
}
int rewind_drives(RunSettings*) { return 0; }
int close_drives(RunSettings*) { return 0; }
int seek_tape(int, int, int, RunSettings*) {
  std::printf("tape seek is not built into this kestrel\n");
  return -1;
}
int position_matches(const RunSettings*, const uint8_t*) { return 0; }
