// SPDX-License-Identifier: MIT
#include "control/run_sequence.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "control/command_line.h"
#include "control/drive_advice.h"
#include "base/run_settings.h"
#include "datframe/dat_frame.h"
#include "modes/modes.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "report/transfer_report.h"
#include "scsi/aspi_call.h"
#include "scsi/drive_setup.h"
#include "scsi/seek.h"

namespace {

const uint32_t kPauseMs = 2000;  // between the set-up and the seek or the mode

RunVerdict run_mode(RunSettings* settings, PlaybackStaging* staging) {
  if (settings->kestrel_arg) return extract_tracks(settings, staging);
  if (settings->goshawk_arg) return record_to_tape(settings);
  if (settings->bittern_arg) return dump_image(settings);
  if (settings->bunting_arg) return restore_image(settings);
  if (settings->pintail_arg) return copy_tape(settings);
  if (settings->rescue_arg) return rescue_image(settings);
  return list_programs(settings);
}

// The exit code of what the mode's run came to.
int exit_code_of(RunVerdict verdict) {
  switch (verdict) {
    case RUN_CLEAN: return EXIT_DONE;
    case RUN_DAMAGED: return EXIT_DAMAGED;
    case RUN_INCOMPLETE: break;
  }
  return EXIT_MODE_FAILED;
}

// Whether the mode that runs writes to tape from where the output tape stands.
bool writes_where_the_tape_stands(const RunSettings* s) {
  if (s->kestrel_arg) return false;
  if (s->goshawk_arg) return true;
  return !s->bittern_arg && s->bunting_arg;
}

// Steps 4 to 14; the caller releases the ASPI layer and the records.
// set_up is true while a drive may be set up and not yet torn down, for the
// tear-down when memory runs out; the run then returns without tearing them
// down itself.
int run_steps(int argc, char** argv, CommandForm form, RunSettings* settings, PlaybackStaging* staging,
              bool* set_up) {
  if (form == FORM_VERB) {
    // The verbs' front end has checked its options and said what was wrong;
    // the switches it made of them are parsed as they stand.
    remember_report_arguments(argc, argv);
    if (parse_switches(argc, argv, settings) != 0) return EXIT_BAD_COMMAND_LINE;
  } else if (argc < 3) {  // the program name and at least two arguments
    std::printf("Missing command line parameters....\n");
    print_usage();
    return EXIT_MISSING_ARGUMENTS;
  } else {
    remember_report_arguments(argc, argv);  // as typed: the parser upper-cases them
    if (parse_command_line(argc, argv, settings) != 0) {
      std::printf("Problem parsing command line\n");
      return EXIT_BAD_COMMAND_LINE;
    }
  }
  if (settings->fromimage_arg) {
    // Frames from an image file: no provider and no drive take part.
    build_frame_tables();
    return exit_code_of(run_mode(settings, staging));
  }
  // The provider traces every command when KESTREL_TRACE names a file.
  if (settings->trace_arg) setenv("KESTREL_TRACE", settings->trace_path, 1);
  if (load_ASPI() <= 0) {
    if (memory_has_run_out()) return EXIT_NO_MEMORY;
    std::printf("No ASPI drivers found\n");
    std::fputs(no_adapter_advice(), stdout);
    return EXIT_NO_ASPI;
  }
  *set_up = true;
  if (!configure_drives(settings)) {
    if (memory_has_run_out()) return EXIT_NO_MEMORY;
    std::printf("Drive didn't initialize\n");
    return EXIT_DRIVE_SETUP;
  }
  // Ctrl-C (or SIGTERM) during the set-up, the rewind, the pause or the seek
  // ends the run there: each of them stops at once, and no mode begins (a
  // mode would take it as ESC only after its first frame, and a recording
  // would already have written its lead-in over the tape).
  bool sought = true;
  if (!console_interrupted()) rewind_drives(settings);
  if (console_sleep_ms(kPauseMs) == 0 && settings->seek_arg)
    sought = seek_tape(input_drive(settings), settings);
  if (memory_has_run_out()) return EXIT_NO_MEMORY;
  if (console_interrupted()) {
    std::printf("Interrupted before the mode began\n");
    *set_up = false;
    close_drives(settings);
    return EXIT_MODE_FAILED;
  }
  if (!sought) {
    std::printf("Drive didn't complete seek\n");
    // Reading from where the tape stands loses nothing; writing there would
    // write over what the position was meant to keep.
    if (writes_where_the_tape_stands(settings)) {
      std::printf("Nothing is written after a failed seek\n");
      *set_up = false;
      close_drives(settings);
      return EXIT_MODE_FAILED;
    }
  }
  build_frame_tables();
  int exit_code = exit_code_of(run_mode(settings, staging));
  if (memory_has_run_out()) return EXIT_NO_MEMORY;
  *set_up = false;  // torn down once, also when memory runs out in the tear-down
  close_drives(settings);
  return exit_code;
}

// The steps, with memory that runs out anywhere in the run (a container that
// cannot grow throws; the ASPI layer and the libraries that cannot throw
// record it) ending it as out of memory, the drives torn down.
int run_steps_within_memory(int argc, char** argv, CommandForm form, RunSettings* settings,
                            PlaybackStaging* staging) {
  bool set_up = false;
  int exit_code = EXIT_NO_MEMORY;
  try {
    exit_code = run_steps(argc, argv, form, settings, staging, &set_up);
  } catch (const std::bad_alloc&) {
    memory_ran_out();
  }
  if (!memory_has_run_out()) return exit_code;
  std::printf("\nOut of memory\n");
  if (set_up) close_drives(settings);
  return EXIT_NO_MEMORY;
}

}  // namespace

int run_kestrel(int argc, char** argv) { return run_kestrel_as(argc, argv, FORM_SLASH); }

int run_kestrel_as(int argc, char** argv, CommandForm form) {
  auto* settings = static_cast<RunSettings*>(std::calloc(1, sizeof(RunSettings)));
  if (!settings) {
    std::printf("MAIN-dat memory alloc failed\n");
    return EXIT_NO_MEMORY;
  }
  auto* staging = static_cast<PlaybackStaging*>(std::calloc(1, sizeof(PlaybackStaging)));
  if (!staging) {
    std::printf("MAIN-PAR Memory alloc failed\n");
    std::free(settings);
    return EXIT_NO_MEMORY;
  }
  if (form == FORM_SLASH) std::printf("KESTREL - version 1.3b\n");
  int exit_code = run_steps_within_memory(argc, argv, form, settings, staging);
  unload_ASPI();
  std::free(staging);
  std::free(settings);
  std::fflush(stdout);
  return exit_code;
}
