// Stand-ins for the modes until they are built: each says so and fails.
#include <cstdio>

#include "modes/modes.h"

namespace {
int not_built(const char* what) {
  std::printf("%s is not built into this kestrel\n", what);
  return 1;
}
}  // namespace

int extract_tracks(RunSettings*, PlaybackStaging*) { return not_built("tape to WAV"); }
int dump_image(RunSettings*) { return not_built("tape to image"); }
int restore_image(RunSettings*) { return not_built("image to tape"); }
int copy_tape(RunSettings*) { return not_built("tape to tape"); }
