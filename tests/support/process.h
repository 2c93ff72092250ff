// SPDX-License-Identifier: MIT
// Running a program (build/kestrel above all) as a process from a test.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct ProcessOptions {
  std::vector<std::string> env;  // "NAME=value" entries added to (or replacing) the environment
  std::string cwd;               // working folder; empty: the test's own
  std::string stdin_data;        // written to standard input at the start
  bool keep_stdin_open = false;  // leave standard input open after stdin_data (else closed)
  // Once standard output has shown trigger_text: write trigger_input to
  // standard input and/or send trigger_signal (each once).
  std::string trigger_text;
  std::string trigger_input;
  int trigger_signal = 0;
  // Called then (once), while the child runs on: to do something at that
  // point of its run, such as starting another process.
  std::function<void()> trigger_call;
  long long file_size_limit = -1;  // RLIMIT_FSIZE in bytes for the child (SIGXFSZ ignored); -1: none
  long long memory_limit = -1;     // RLIMIT_AS in bytes for the child; -1: none
  int timeout_s = 300;             // the child is killed after this
};

struct ProcessResult {
  int exit_code = -1;    // exit status, or -1 when killed by a signal
  int term_signal = 0;   // the signal that ended it, or 0
  bool timed_out = false;
  double trigger_to_end_s = -1;  // seconds from the trigger to the child's end; -1: never triggered
  std::string out;       // standard output
  std::string err;       // standard error
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options = ProcessOptions());

// build/kestrel with simulated time (KESTREL_CLOCK=simulated), plus options.env.
// Every transfer report the run wrote is checked against the published
// schema: one that does not conform makes the exit code kReportSchemaExit,
// with what is wrong at the end of out, so that no test passes over it.
const int kReportSchemaExit = 99;
ProcessResult run_kestrel(const std::vector<std::string>& args,
                          const ProcessOptions& options = ProcessOptions());

// Path of a product in the build folder, e.g. build_path("kestrel").
std::string build_path(const std::string& name);
