// SPDX-License-Identifier: MIT
#include "tests/support/process.h"

#include "tests/support/report_schema.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace {

void set_env_entry(std::vector<std::string>* env, const std::string& entry) {
  std::string name = entry.substr(0, entry.find('=') + 1);
  for (std::string& e : *env) {
    if (e.compare(0, name.size(), name) == 0) {
      e = entry;
      return;
    }
  }
  env->push_back(entry);
}

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the child closed its end
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string build_path(const std::string& name) { return std::string(KESTREL_BUILD_DIR) + "/" + name; }

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options) {
  ProcessResult result;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const std::string& entry : options.env) set_env_entry(&env, entry);

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) return result;
  signal(SIGPIPE, SIG_IGN);
  // What fits into the pipe is there before the child starts, so the child
  // finds it at its first look; the rest is written as the child reads.
  size_t preloaded = 0;
  fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  while (preloaded < options.stdin_data.size()) {
    ssize_t n = write(in_pipe[1], options.stdin_data.data() + preloaded, options.stdin_data.size() - preloaded);
    if (n <= 0) break;
    preloaded += static_cast<size_t>(n);
  }
  fcntl(in_pipe[1], F_SETFL, 0);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (options.file_size_limit >= 0) {
      rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);
    }
    if (options.memory_limit >= 0) {
      rlimit limit{static_cast<rlim_t>(options.memory_limit), static_cast<rlim_t>(options.memory_limit)};
      setrlimit(RLIMIT_AS, &limit);
    }
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) return result;

  write_all(in_pipe[1], options.stdin_data.substr(preloaded));
  bool stdin_open = true;
  bool triggered = options.trigger_text.empty();
  double triggered_at = -1;
  auto maybe_close_stdin = [&] {
    if (stdin_open && !options.keep_stdin_open && triggered) {
      close(in_pipe[1]);
      stdin_open = false;
    }
  };
  maybe_close_stdin();

  double deadline = now_s() + options.timeout_s;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    int ready = poll(fds, 2, 200);
    if (now_s() > deadline) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    if (ready <= 0) continue;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
    }
    if (!triggered && result.out.find(options.trigger_text) != std::string::npos) {
      triggered = true;
      triggered_at = now_s();
      if (!options.trigger_input.empty() && stdin_open) write_all(in_pipe[1], options.trigger_input);
      if (options.trigger_signal) kill(pid, options.trigger_signal);
      if (options.trigger_call) options.trigger_call();
      maybe_close_stdin();
    }
  }
  if (stdin_open) close(in_pipe[1]);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (triggered_at >= 0) result.trigger_to_end_s = now_s() - triggered_at;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

ProcessResult run_kestrel(const std::vector<std::string>& args, const ProcessOptions& options) {
  ProcessOptions with_clock = options;
  with_clock.env.insert(with_clock.env.begin(), "KESTREL_CLOCK=simulated");
  auto start = std::filesystem::file_time_type::clock::now();
  ProcessResult result = run_process(build_path("kestrel"), args, with_clock);
  std::string problems = report_schema_problems(reports_written_since(options.cwd, start));
  if (!problems.empty()) {
    result.out += "\nThe report does not conform to doc/report.schema.json:\n" + problems;
    result.exit_code = kReportSchemaExit;
  }
  return result;
}
