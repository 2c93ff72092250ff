#include <csignal>
#include <cstdio>

#include "control/run_sequence.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  // Lasting messages reach a pipe or a log at once; the per-frame status
  // lines, which end in "\r", stay buffered until a line or the buffer is full.
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
  // A file that outgrows the file-size limit ("ulimit -f") fails its write
  // with EFBIG, which the modes report, instead of ending the process with
  // the file half written.
  std::signal(SIGXFSZ, SIG_IGN);
  console_init();
  int exit_code = run_kestrel(argc, argv);
  console_restore();
  return exit_code;
}
