// SPDX-License-Identifier: MIT
#include "platform/console.h"

#include "platform/clock.h"
#include "platform/memory.h"

#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

namespace {

termios g_saved_termios;
volatile sig_atomic_t g_termios_saved = 0;
volatile sig_atomic_t g_signal_count = 0;
std::atomic<int> g_pending_esc{0};
bool g_input_ended = false;
bool g_initialised = false;
bool g_stdin_tty = false;
int g_held_byte = -1;
void (*volatile g_abrupt_exit_hook)(void) = nullptr;  // a byte read after ESC that turned out to be a key of its own

// How long the rest of a key's escape sequence may take to follow its ESC. A
// terminal sends the whole sequence at once; a key pressed by hand after ESC
// comes far later.
const int kSequenceWaitMs = 30;
// The longest step of an interruptible sleep.
const uint32_t kSleepStepMs = 100;

// Whether kestrel may use its terminal: standard input is none, or kestrel
// runs in its foreground. A job in the background (started with "&", or
// Ctrl-Z then "bg") that set the terminal's mode or read it would be stopped
// by SIGTTOU or SIGTTIN until brought back, and the terminal is the shell's.
bool terminal_is_ours() {
  if (!g_stdin_tty) return true;
  pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground < 0 || foreground == getpgrp();  // < 0: not the controlling terminal
}

void restore_terminal() {
  if (g_termios_saved && terminal_is_ours()) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
}

extern "C" void on_interrupt(int sig) {
  g_signal_count = g_signal_count + 1;
  if (g_signal_count >= 2) {
    // The second interrupt ends the program at once.
    if (g_abrupt_exit_hook) g_abrupt_exit_hook();
    restore_terminal();
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);  // the handler runs with it blocked
    raise(sig);
    _exit(128 + sig);
  }
  g_pending_esc.store(1);
}

// The next byte of standard input if one arrives within ms milliseconds, else -1.
int byte_within(int ms) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN)) return -1;
  unsigned char byte = 0;
  return read(STDIN_FILENO, &byte, 1) == 1 ? byte : -1;
}

// On a terminal, the arrow, function and editing keys send escape sequences
// (ESC [ ... final, or ESC O final) that begin with the ESC byte. They are read
// whole and returned as CONSOLE_KEY_EXTENDED, so that no key but ESC itself
// stops a run. A byte after ESC that begins no sequence is kept for the next read.
int after_escape() {
  int next = byte_within(kSequenceWaitMs);
  if (next == '[') {
    // Parameter and intermediate bytes, then one final byte.
    for (int i = 0; i < 16; ++i) {
      int byte = byte_within(kSequenceWaitMs);
      if (byte < 0x20 || byte > 0x3F) break;
    }
    return CONSOLE_KEY_EXTENDED;
  }
  if (next == 'O') {
    byte_within(kSequenceWaitMs);
    return CONSOLE_KEY_EXTENDED;
  }
  g_held_byte = next;
  return CONSOLE_KEY_ESC;
}

}  // namespace

void console_init(void) {
  if (g_initialised) return;
  g_initialised = true;
  g_stdin_tty = isatty(STDIN_FILENO) != 0;
  if (g_stdin_tty && terminal_is_ours() && tcgetattr(STDIN_FILENO, &g_saved_termios) == 0) {
    g_termios_saved = 1;
    termios raw = g_saved_termios;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    std::atexit(restore_terminal);
  }
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking read returns so the ESC is seen
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void console_set_abrupt_exit_hook(void (*hook)(void)) { g_abrupt_exit_hook = hook; }

void console_keep_interrupts_off_this_thread(void) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void console_restore(void) {
  restore_terminal();
}

void console_put_back_esc(void) { g_pending_esc.store(1); }

int console_interrupted(void) { return g_signal_count > 0 ? 1 : 0; }

int console_sleep_ms(uint32_t ms) {
  while (!console_interrupted()) {
    if (ms == 0) return 0;
    uint32_t step = ms < kSleepStepMs ? ms : kSleepStepMs;
    platform_sleep_ms(step);
    ms -= step;
  }
  return 1;
}

int console_key_waiting(void) {
  if (g_pending_esc.load() || g_held_byte >= 0) return 1;
  if (g_input_ended || !terminal_is_ours()) return 0;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return 0;
  if (p.revents & POLLIN) return 1;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) g_input_ended = true;
  return 0;
}

int console_read_key(void) {
  for (;;) {
    if (g_pending_esc.exchange(0)) return CONSOLE_KEY_ESC;
    if (g_held_byte >= 0) {
      int key = g_held_byte;
      g_held_byte = -1;
      return key;
    }
    if (g_input_ended) return -1;
    unsigned char key = 0;
    ssize_t n = read(STDIN_FILENO, &key, 1);
    if (n == 1) return key == CONSOLE_KEY_ESC && g_termios_saved ? after_escape() : key;
    if (n == 0) {
      // End of input (a closed pipe): no more keys will come.
      g_input_ended = true;
      return -1;
    }
    // Interrupted by a signal: loop to report it as ESC.
  }
}

bool esc_pressed(void) {
  // Memory that ran out where nothing could throw ends the mode as ESC does:
  // its files are finished, and the run then ends as out of memory.
  if (memory_has_run_out()) return true;
  return console_key_waiting() && console_read_key() == CONSOLE_KEY_ESC;
}
