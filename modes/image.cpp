// /BITTERN, /BUNTING and /PINTAIL: raw frames from tape to an image file,
// from an image file to tape, and from tape to tape.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "datframe/dat_frame.h"
#include "datframe/frame_info.h"
#include "modes/frame_source.h"
#include "modes/mode_io.h"
#include "modes/modes.h"
#include "modes/run_report.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

// One frame passing through a mode: the frame, what it is, and whether the
// mode ends after this pass.
struct Pass {
  RunSettings* s;
  FrameSource* source;
  DatFrame frame;
  FrameInfo info;
  FrameEvents events;
  bool stop = false;
  FrameRead read{};
  TransferReport* report = nullptr;  // /REPORT
};

// Reads the next frame; a read that fails ends the pass (in the report: an
// unreadable frame, unless the recorded data has ended).
uint32_t read_input(Pass* p) {
  p->read = read_next_frame(p->source, &p->frame);
  if (!tape_read_ok(p->read.result)) report_read_that_ends_run(p->report, p->read.result);
  return p->read.result;
}

// /REREAD: a frame that stayed unreadable through every pass is kept in the
// image as the stand-in the source put in its place (silence, both channels
// flagged, its absolute time), and listed. false for any other failed read.
bool stand_in_kept(const Pass* p, uint32_t result) {
  if (!p->s->reread_arg || tape_status(result) != TAPE_MEDIUM_ERROR) return false;
  FrameInfo info = decode_frame(&p->frame);
  uint32_t t = info.absolute.code;
  if (info.absolute.valid)
    std::printf("\n - unreadable after every re-read: frame at %.2x:%.2x:%.2x:%.2x kept as a silent stand-in\n",
                t >> 24, (t >> 16) & 0xFF, (t >> 8) & 0xFF, t & 0xFF);
  else
    std::printf("\n - unreadable after every re-read: frame kept as a silent stand-in\n");
  return true;
}

uint32_t write_output(const Pass* p) {
  const RunSettings* s = p->s;
  return scsi_write_block(s->output_adapter, s->output_target, s->output_lun, &p->frame, DAT_FRAME_BYTES);
}

void take(Pass* p) {
  if (take_read_frame(&p->frame, p->s, &p->info, &p->events)) p->stop = true;
  transfer_report_frame(p->report, &p->info, &p->events, p->read.reads, p->read.kept);
}

// Reads and takes the first frame, which the caller passes on like every
// other. 0, or 1 when it cannot be read.
int read_first_frame(Pass* p) {
  reset_frame_analysis(p->s);
  uint32_t result = read_input(p);
  if (!tape_read_ok(result) && !stand_in_kept(p, result)) {
    std::printf("read audio block failed\n");
    return 1;
  }
  take(p);
  p->stop = false;
  return 0;
}

// Shows a frame that was taken and writes it to the output drive; a failed
// write says so with message, on a line of its own, and stops the loop.
void pass_to_output(Pass* p, const char* message) {
  print_subcode(p->s);
  if (write_output(p) != 0) {
    std::printf("\n%s", message);
    p->stop = true;
    transfer_report_incomplete(p->report);
  }
}

// Whether the loop ends after this pass: on a stop that stands after the
// frame was taken, or on ESC read at the top of the pass (/STOPEOT drops
// the stop of a blank stretch, but the user's is not one of them).
bool pass_ends(Pass* p, bool esc) {
  if (esc) p->stop = true;
  if (esc) transfer_report_incomplete(p->report);
  return p->stop;
}

void image_name(const RunSettings* s, char* name, size_t size) {
  std::snprintf(name, size, "%s.img", s->base_name);
}

}  // namespace

namespace {

int dump_from(Pass* p) {
  RunSettings* s = p->s;
  if (read_first_frame(p) != 0) return 1;
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  std::printf("Saving DAT tape in IMG file:%s\n", name);
  FILE* image = std::fopen(name, "w+b");
  if (!image) {
    report_open_failure(name);
    return 1;
  }
  use_large_buffer(image);
  keep_valid_on_abrupt_exit(image, ABRUPT_EXIT_IMAGE);
  bool write_failed = false;
  bool have_frame = true;  // the first frame, read above, is saved first
  for (;;) {
    bool esc = esc_pressed();
    uint32_t result = have_frame ? 0 : read_input(p);
    if (!have_frame && !tape_read_ok(result) && !stand_in_kept(p, result)) {
      p->stop = true;
    } else {
      if (!have_frame) take(p);
      have_frame = false;
      print_subcode(s);
      errno = 0;
      if (std::fwrite(&p->frame, 1, DAT_FRAME_BYTES, image) != DAT_FRAME_BYTES) {
        report_write_failure(name);
        write_failed = true;
        break;
      }
      transfer_report_written(p->report, name, -1, 0, nullptr, 0);
    }
    if (pass_ends(p, esc)) break;
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
    transfer_report_file(p->report, name, false);
    return 1;
  }
  int result = close_output_file(image, name) != 0 ? 1 : 0;
  transfer_report_file(p->report, name, false);
  return result;
}

}  // namespace

int dump_image(RunSettings* s) {
  FrameSource source;
  if (open_frame_source(&source, s) != 0) return 1;
  Pass pass{s, &source, {}, {}, {}};
  pass.report = open_run_report(s, "BITTERN", s->base_name);
  int result = dump_from(&pass);
  close_frame_source(&source);
  if (result != 0) transfer_report_incomplete(pass.report);
  return close_run_report(pass.report, result);
}

int restore_image(RunSettings* s) {
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  std::printf("Copying IMG file: %s to DAT tape\n", name);
  // Only read: an image kept read-only restores as well.
  FILE* image = std::fopen(name, "rb");
  if (!image) {
    report_open_failure(name);
    return 1;
  }
  Pass pass{s, nullptr, {}, {}, {}};
  Pass* p = &pass;
  reset_frame_analysis(s);
  bool read_failed = false;
  for (;;) {
    bool esc = esc_pressed();
    std::memset(&p->frame, 0, sizeof p->frame);
    errno = 0;
    if (std::fread(&p->frame, 1, DAT_FRAME_BYTES, image) != DAT_FRAME_BYTES) {
      // The end of the image, or a short last record; but an image that
      // cannot be read is not an image that has ended.
      if (std::ferror(image)) {
        report_read_failure(name);
        read_failed = true;
      }
      p->stop = true;
    } else {
      take(p);
      pass_to_output(p, "write block fail\n");
    }
    if (pass_ends(p, esc)) break;
  }
  std::fclose(image);
  return read_failed ? 1 : 0;
}

int copy_tape(RunSettings* s) {
  FrameSource source;
  if (open_frame_source(&source, s) != 0) return 1;
  Pass pass{s, &source, {}, {}, {}};
  Pass* p = &pass;
  p->report = open_run_report(s, "PINTAIL", "PINTAIL");
  if (read_first_frame(p) != 0) {
    close_frame_source(&source);
    transfer_report_incomplete(p->report);
    return close_run_report(p->report, 1);
  }
  bool have_frame = true;  // the first frame, read above, is copied first
  for (;;) {
    bool esc = esc_pressed();
    if (!have_frame && !tape_read_ok(read_input(p))) {
      std::printf("\nblock read fail\n");
      p->stop = true;
    } else {
      if (!have_frame) take(p);
      have_frame = false;
      pass_to_output(p, "block write fail\n");
    }
    if (pass_ends(p, esc)) break;
  }
  close_frame_source(&source);
  return close_run_report(p->report, 0);
}
