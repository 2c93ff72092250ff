#include <csignal>
#include <cstdio>
#include <cstring>

#include "control/command_line.h"
#include "control/run_sequence.h"
#include "control/version.h"
#include "platform/console.h"
#include "platform/report.h"

namespace {

// The two questions a program answers on Linux, asked alone on the command
// line; anything else goes to the run sequence as it stands.
int answer_help_or_version(int argc, char** argv) {
  if (argc != 2) return -1;
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::printf("KESTREL - version %s\n", KESTREL_VERSION);
    print_usage();
    return 0;
  }
  if (!std::strcmp(argv[1], "--version")) {
    print_versions();
    return 0;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int answered = answer_help_or_version(argc, argv);
  if (answered >= 0) return answered;
  // Lasting messages reach a pipe or a log at once; the per-frame status
  // lines, which end in "\r", stay buffered until a line or the buffer is full.
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
  // What the layers below report is shown as it happens, among the run's
  // own lines.
  report_set_sink(report_to_console, nullptr);
  // A file that outgrows the file-size limit ("ulimit -f") fails its write
  // with EFBIG, which the modes report, instead of ending the process with
  // the file half written.
  std::signal(SIGXFSZ, SIG_IGN);
  console_init();
  int exit_code = run_kestrel(argc, argv);
  console_restore();
  return exit_code;
}
