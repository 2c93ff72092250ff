// /BITTERN, /BUNTING and /PINTAIL: raw frames from tape to an image file,
// from an image file to tape, and from tape to tape.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "datframe/dat_frame.h"
#include "modes/mode_io.h"
#include "modes/modes.h"
#include "scsi/tape_commands.h"

namespace {

void reset_subcode_state(RunSettings* s) {
  s->stop_requested = 0;
  s->no_subcode = 1;
  s->last_program = 0;
  s->prog_time = 0;
  s->abs_time = 0;
}

uint32_t read_input(const RunSettings* s, DatFrame* frame) {
  std::memset(frame, 0, sizeof *frame);
  return scsi_read_block(s->input_adapter, s->input_target, s->input_lun, frame, DAT_FRAME_BYTES);
}

uint32_t write_output(const RunSettings* s, const DatFrame* frame) {
  return scsi_write_block(s->output_adapter, s->output_target, s->output_lun, frame, DAT_FRAME_BYTES);
}

// Reads and analyses the first frame, which the caller passes on like every
// other. 0, or 1 when it cannot be read.
int read_first_frame(RunSettings* s, DatFrame* frame) {
  if (!tape_read_ok(read_input(s, frame))) {
    std::printf("read audio block failed\n");
    return 1;
  }
  analyze_frame(frame, s);
  s->stop_requested = 0;
  return 0;
}

// Shows an analysed frame and writes it to the output drive; a failed write
// says so with message, on a line of its own, and stops the loop.
void pass_to_output(RunSettings* s, const DatFrame* frame, const char* message) {
  print_subcode(s);
  if (write_output(s, frame) != 0) {
    std::printf("\n%s", message);
    s->stop_requested = 1;
  }
}

// Whether the loop ends after this pass: on a stop that stands after the
// frame's analysis, or on ESC read at the top of the pass (the analysis
// drops every stop under /STOPEOT, but the user's is not one of them).
bool pass_ends(RunSettings* s, bool esc) {
  if (esc) s->stop_requested = 1;
  return s->stop_requested != 0;
}

void image_name(const RunSettings* s, char* name, size_t size) {
  std::snprintf(name, size, "%s.img", s->base_name);
}

}  // namespace

int dump_image(RunSettings* s) {
  DatFrame frame;
  reset_subcode_state(s);
  if (read_first_frame(s, &frame) != 0) return 1;
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  std::printf("Saving DAT tape in IMG file:%s\n", name);
  FILE* image = std::fopen(name, "w+b");
  if (!image) {
    std::printf("Cannot open %s\n", name);
    return 1;
  }
  use_large_buffer(image);
  keep_valid_on_abrupt_exit(image, ABRUPT_EXIT_IMAGE);
  bool write_failed = false;
  bool have_frame = true;  // the first frame, read above, is saved first
  for (;;) {
    bool esc = esc_pressed();
    if (!have_frame && !tape_read_ok(read_input(s, &frame))) {
      s->stop_requested = 1;
    } else {
      if (!have_frame) analyze_frame(&frame, s);
      have_frame = false;
      print_subcode(s);
      errno = 0;
      if (std::fwrite(&frame, 1, DAT_FRAME_BYTES, image) != DAT_FRAME_BYTES) {
        report_write_failure(name);
        write_failed = true;
        break;
      }
    }
    if (pass_ends(s, esc)) break;
  }
  errno = 0;
  if (!write_failed && std::fflush(image) != 0) {
    report_write_failure(name);
    write_failed = true;
  }
  if (write_failed) {
    // Only whole records stay in the image.
    long long size = written_size_after_failure(image);
    if (size < 0 || ftruncate(fileno(image), size / DAT_FRAME_BYTES * DAT_FRAME_BYTES) != 0)
      report_write_failure(name);
    close_stream(image, close_file);
    return 1;
  }
  return close_output_file(image, name) != 0 ? 1 : 0;
}

int restore_image(RunSettings* s) {
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  std::printf("Copying IMG file: %s to DAT tape\n", name);
  // Only read: an image kept read-only restores as well.
  FILE* image = std::fopen(name, "rb");
  if (!image) {
    std::printf("Cannot open %s\n", name);
    return 1;
  }
  reset_subcode_state(s);
  DatFrame frame;
  bool read_failed = false;
  for (;;) {
    bool esc = esc_pressed();
    std::memset(&frame, 0, sizeof frame);
    errno = 0;
    if (std::fread(&frame, 1, DAT_FRAME_BYTES, image) != DAT_FRAME_BYTES) {
      // The end of the image, or a short last record; but an image that
      // cannot be read is not an image that has ended.
      if (std::ferror(image)) {
        report_read_failure(name);
        read_failed = true;
      }
      s->stop_requested = 1;
    } else {
      analyze_frame(&frame, s);
      pass_to_output(s, &frame, "write block fail\n");
    }
    if (pass_ends(s, esc)) break;
  }
  std::fclose(image);
  return read_failed ? 1 : 0;
}

int copy_tape(RunSettings* s) {
  DatFrame frame;
  reset_subcode_state(s);
  if (read_first_frame(s, &frame) != 0) return 1;
  bool have_frame = true;  // the first frame, read above, is copied first
  for (;;) {
    bool esc = esc_pressed();
    if (!have_frame && !tape_read_ok(read_input(s, &frame))) {
      std::printf("\nblock read fail\n");
      s->stop_requested = 1;
    } else {
      if (!have_frame) analyze_frame(&frame, s);
      have_frame = false;
      pass_to_output(s, &frame, "block write fail\n");
    }
    if (pass_ends(s, esc)) break;
  }
  return 0;
}
