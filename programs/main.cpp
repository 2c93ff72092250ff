// SPDX-License-Identifier: MIT
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "control/command_line.h"
#include "control/run_sequence.h"
#include "control/verbs.h"
#include "control/version.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/messages.h"

namespace {

// A sanitizer's runtime sets itself up in the pre-initialization array too
// and maps far more than any limit those builds are run with: the check
// below is left out of them.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTREL_SANITIZER_RUNTIME 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_SANITIZER_RUNTIME 1
#endif

#ifndef KESTREL_SANITIZER_RUNTIME
// What the libraries' initializers take at most before main: a library that
// finds no memory there ends the process with a message of its own (the
// OpenMP runtime below libsoxr exits 1 with "libgomp: Out of memory").
const size_t kStartUpBytes = 256u << 10;

// Runs before any library's initializer (an executable's pre-initialization
// array comes first): when the address space left cannot hold what they
// take, the run ends here as out of memory. System calls only.
void check_start_up_memory(int, char**, char**) {
  if (memory_headroom(kStartUpBytes)) return;
  static const char kMessage[] = "Out of memory\n";
  ssize_t written = write(STDOUT_FILENO, kMessage, sizeof kMessage - 1);
  (void)written;
  _exit(EXIT_NO_MEMORY);
}

__attribute__((section(".preinit_array"), used)) void (*const g_check_start_up_memory)(int, char**, char**) =
    check_start_up_memory;
#endif

// The two questions a program answers on Linux, asked alone on the command
// line; anything else goes to the run sequence as it stands.
int answer_help_or_version(int argc, char** argv) {
  if (argc != 2) return -1;
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::printf("KESTREL - version %s\n", KESTREL_VERSION);
    print_usage();
    print_verbs();
    return 0;
  }
  if (!std::strcmp(argv[1], "--show-config")) return show_config();
  if (!std::strcmp(argv[1], "--version")) {
    print_versions();
    return 0;
  }
  return -1;
}

// The run of a mode, with the console set up around it.
int run_on_console(int argc, char** argv, CommandForm form) {
  // Lasting messages reach a pipe or a log at once; the per-frame status
  // lines, which end in "\r", stay buffered until a line or the buffer is full.
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
  // What the layers below report is shown as it happens, among the run's
  // own lines.
  message_set_sink(message_to_console, nullptr);
  // A file that outgrows the file-size limit ("ulimit -f") fails its write
  // with EFBIG, which the modes report, instead of ending the process with
  // the file half written.
  std::signal(SIGXFSZ, SIG_IGN);
  console_init();
  int exit_code = run_kestrel_as(argc, argv, form);
  console_restore();
  return exit_code;
}

int run_verb_switches(int argc, char** argv) { return run_on_console(argc, argv, FORM_VERB); }

}  // namespace

int main(int argc, char** argv) {
  int answered = answer_help_or_version(argc, argv);
  if (answered >= 0) return answered;
  if (argc >= 2 && is_verb(argv[1])) return run_verb(argc, argv, run_verb_switches);
  return run_on_console(argc, argv, FORM_SLASH);
}
