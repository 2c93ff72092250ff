// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/messages.h"

namespace {

// Replaces standard input with the read end of a pipe for the test's life.
struct PipeStdin {
  int saved;
  int write_end;
  PipeStdin() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    saved = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    write_end = fds[1];
  }
  ~PipeStdin() {
    if (write_end >= 0) close(write_end);
    dup2(saved, 0);
    close(saved);
  }
  void send(const char* bytes, size_t n) { EXPECT_EQ(write(write_end, bytes, n), static_cast<ssize_t>(n)); }
  void close_write() {
    close(write_end);
    write_end = -1;
  }
};

// Makes standard input the far side of a new pseudo-terminal, in the forked
// child of a death test, and returns the near side, where the test types.
int terminal_as_stdin() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) || unlockpt(master)) std::exit(3);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) std::exit(3);
  dup2(slave, 0);
  return master;
}

}  // namespace

TEST(Console, KeysArriveThroughAPipeAndItsEndStopsThem) {
  EXPECT_EXIT(
      {
        PipeStdin in;
        console_init();
        bool ok = console_key_waiting() == 0;
        in.send("a\x1b", 2);
        ok = ok && console_key_waiting() == 1 && console_read_key() == 'a';
        ok = ok && console_key_waiting() == 1 && console_read_key() == CONSOLE_KEY_ESC;
        ok = ok && console_key_waiting() == 0;
        in.close_write();
        ok = ok && console_key_waiting() == 0 && console_read_key() == -1 && console_key_waiting() == 0;
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Console, InterruptReadsAsEscOnceAndTheSecondEndsTheProgram) {
  EXPECT_EXIT(
      {
        PipeStdin in;
        console_init();
        raise(SIGTERM);
        bool ok = console_interrupted() == 1 && console_key_waiting() == 1 &&
                  console_read_key() == CONSOLE_KEY_ESC && console_key_waiting() == 0;
        if (!ok) std::exit(1);
        raise(SIGINT);
        std::exit(2);  // not reached: the second interrupt ends the program
      },
      testing::KilledBySignal(SIGINT), "");
}

TEST(Console, TerminalIsNonCanonicalWithoutEchoAndRestored) {
  EXPECT_EXIT(
      {
        int master = terminal_as_stdin();
        termios before{};
        tcgetattr(0, &before);
        console_init();
        termios during{};
        tcgetattr(0, &during);
        bool ok = (before.c_lflag & ECHO) && (before.c_lflag & ICANON) && !(during.c_lflag & ECHO) &&
                  !(during.c_lflag & ICANON);
        if (write(master, "q", 1) != 1) std::exit(3);
        ok = ok && console_read_key() == 'q';
        console_restore();
        termios after{};
        tcgetattr(0, &after);
        ok = ok && (after.c_lflag & ECHO) && (after.c_lflag & ICANON);
        // The second interrupt restores the terminal on its way out as well.
        console_init();
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Console, OnATerminalOnlyEscItselfReadsAsEsc) {
  // Arrow, function and editing keys send sequences that begin with the ESC
  // byte; pressing one must not stop a recording.
  EXPECT_EXIT(
      {
        int master = terminal_as_stdin();
        console_init();
        auto type = [&](const char* keys) { return write(master, keys, strlen(keys)) == (ssize_t)strlen(keys); };
        bool ok = true;
        // Up arrow, F1, F5 and a shifted arrow, then a plain key.
        ok = ok && type("\x1b[A\x1bOP\x1b[15~\x1b[1;2Cz");
        for (int i = 0; i < 4; ++i) ok = ok && console_read_key() == CONSOLE_KEY_EXTENDED;
        ok = ok && console_read_key() == 'z';
        // ESC alone, and ESC followed at once by a key that begins no sequence.
        ok = ok && type("\x1b") && console_read_key() == CONSOLE_KEY_ESC;
        ok = ok && type("\x1bq") && console_read_key() == CONSOLE_KEY_ESC;
        ok = ok && console_key_waiting() == 1 && console_read_key() == 'q';
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Console, AJobInTheBackgroundLeavesItsTerminalAlone) {
  // "kestrel ... > log &" from a shell: the terminal is kestrel's controlling
  // terminal, but another process group (the shell's) is in its foreground.
  // Setting its mode or reading it would stop kestrel (SIGTTOU, SIGTTIN).
  EXPECT_EXIT(
      {
        if (setsid() < 0) std::exit(3);
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) || unlockpt(master)) std::exit(3);
        int slave = open(ptsname(master), O_RDWR);
        if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) std::exit(3);
        dup2(slave, 0);
        if (tcsetpgrp(0, getpgrp()) != 0) std::exit(3);
        pid_t job = fork();
        if (job == 0) {
          setpgid(0, 0);
          console_init();
          termios during{};
          tcgetattr(0, &during);
          // Typed at the shell's prompt: not kestrel's to read.
          bool ok = write(master, "ls\n", 3) == 3 && console_key_waiting() == 0;
          ok = ok && (during.c_lflag & ECHO) && (during.c_lflag & ICANON);
          console_restore();
          _exit(ok ? 0 : 1);
        }
        int status = 0;
        if (waitpid(job, &status, WUNTRACED) != job) std::exit(3);
        if (WIFSTOPPED(status)) {
          kill(job, SIGKILL);
          std::exit(4);  // stopped by the terminal
        }
        std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 5);
      },
      testing::ExitedWithCode(0), "");
}

// Reports reach the installed sink whole, however long, each with its stream;
// with none installed they go nowhere.
TEST(Report, HandsWholeMessagesToTheSink) {
  std::vector<std::pair<int, std::string>> seen;
  message_set_sink([](int stream, const char* text, void* context) {
    static_cast<std::vector<std::pair<int, std::string>>*>(context)->emplace_back(stream, text);
  }, &seen);
  std::string path(1000, 'p');
  message_text("Cannot open %s\n", path.c_str());
  message_text("%.2d:%.2x\r", 7, 0xAA);
  message_warning("bus.ini: [0:4] key colour not understood\n");
  message_set_sink(nullptr, nullptr);
  message_text("dropped\n");
  message_warning("dropped\n");
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(int(MESSAGE_OUTPUT), "Cannot open " + path + "\n"));
  EXPECT_EQ(seen[1], std::make_pair(int(MESSAGE_OUTPUT), std::string("07:aa\r")));
  EXPECT_EQ(seen[2].first, MESSAGE_WARNING);
}
