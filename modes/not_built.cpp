// Stand-in for the recorder until it is built: it says so and fails.
#include <cstdio>

#include "modes/modes.h"

int record_to_tape(RunSettings*) {
  std::printf("recording is not built into this kestrel\n");
  return 1;
}
