// /BITTERN, /BUNTING and /PINTAIL: raw frames from tape to an image file,
// from an image file to tape, and from tape to tape.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "datframe/dat_frame.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "datframe/image_records.h"
#include "sources/frame_source.h"
#include "modes/mode_io.h"
#include "platform/console.h"
#include "sinks/image_writer.h"
#include "platform/file_io.h"
#include "modes/modes.h"
#include "modes/run_report.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

// One frame passing through a mode: the frame, what it is, and whether the
// mode ends after this pass.
struct Pass {
  RunSettings* s = nullptr;
  FrameSource* source = nullptr;  // none: the frames come from an image file
  DatFrame frame{};
  FrameInfo info{};
  FrameEvents events{};
  bool stop = false;
  FrameRead read{};
  RunRecord run;  // the tally of the run, and its report (/REPORT)
  // Where the frames go: the image file (name, file) or the output drive.
  const char* name = nullptr;
  ImageWriter* image = nullptr;
  bool write_failed = false;
  const char* kept = "kept";  // what happens to a stand-in: "kept" in the image, "written" to tape
  const char* write_fail = "block write fail\n";  // said when the output drive refuses a frame
  // /STOPEOT: the frames no read could give since the last frame read. Their
  // stand-ins wait for the frame after them, which tells where they lie.
  int64_t waiting = 0;
  FrameKey last_key{-1, -1};  // the last frame read
  DatFrame like{};            // and the frame itself, whose main ID a stand-in takes
  bool have_like = false;
  int64_t stand_ins = 0;  // frames passed on as stand-ins
};

// Takes a frame read, or the stand-in /REREAD gave for one it could not
// read (as the frame it stands for: one without a time counts as blank
// tape, as the frames around it may be).
void take(Pass* p) {
  if (take_read_frame(&p->frame, p->s, &p->info, &p->events)) p->stop = true;
  if (p->read.stand_in)
    record_unreadable(&p->run, p->read.result);
  else
    record_frame(&p->run, &p->info, &p->events, &p->read);
}

// Writes a frame to where the frames go. 0, or -1 after saying that the
// write failed (the run then ends).
int put(Pass* p, const DatFrame* frame) {
  if (p->image) {
    if (image_writer_put(p->image, frame) != 0) {
      p->write_failed = true;
      return -1;
    }
    transfer_report_written(p->run.report, p->name, -1, 0, nullptr, 0);
    return 0;
  }
  if (!tape_completed(scsi_write_block(output_drive(p->s), frame, DAT_FRAME_BYTES))) {
    std::printf("\n%s", p->write_fail);
    p->write_failed = true;
    return -1;
  }
  return 0;
}

std::string time_text(int64_t time) {
  if (time < 0) return "(no time)";
  char text[16];
  dat_frames_text(static_cast<uint64_t>(time), text, sizeof text);
  return text;
}

// The stand-ins of the frames waiting, placed by the frames around them:
// the last frame read and after (nullptr: none follows). 0, or -1 when a
// write failed.
int put_waiting(Pass* p, const FrameKey* after) {
  if (p->waiting == 0) return 0;
  int64_t count = p->waiting;
  p->waiting = 0;
  FrameKey place = place_unreadable_run(&p->last_key, after, count);
  std::printf("\n - %lld unreadable frames at %s: %s as silent stand-ins\n", static_cast<long long>(count),
              time_text(place.time).c_str(), p->kept);
  for (int64_t i = 0; i < count; ++i) {
    FrameKey key{place.time >= 0 ? place.time + i : -1, place.program};
    DatFrame stand_in;
    frame_make_stand_in(&stand_in, &key, p->have_like ? &p->like : nullptr);
    if (put(p, &stand_in) != 0) return -1;
    ++p->stand_ins;
  }
  return 0;
}

// A frame that was read and taken goes on, after the stand-ins of the
// frames before it that could not be read.
void pass_read_frame(Pass* p) {
  FrameKey key = frame_key(&p->info);
  if (put_waiting(p, &key) != 0) return;
  p->last_key = key;
  p->like = p->frame;
  p->have_like = true;
  print_subcode(p->s);
  put(p, &p->frame);
}

// A read that gave no frame. /REREAD gave a stand-in in its place, which
// goes on at once; under /STOPEOT an unreadable frame waits for the frame
// after it; anything else ends the reading: the end of the recorded data as
// it should, a failure early.
void pass_failed_read(Pass* p) {
  uint32_t result = p->read.result;
  TapeStatus status = tape_status(result);
  if (p->read.stand_in) {
    FrameInfo info = decode_frame(&p->frame);
    int64_t time = info.absolute.valid ? time_code_frames(info.absolute.code) : -1;
    if (time >= 0)
      std::printf("\n - unreadable after every re-read: frame at %s %s as a silent stand-in\n",
                  time_text(time).c_str(), p->kept);
    else
      std::printf("\n - unreadable after every re-read: frame %s as a silent stand-in\n", p->kept);
    print_subcode(p->s);
    if (put(p, &p->frame) == 0) ++p->stand_ins;
    return;
  }
  if (status == TAPE_MEDIUM_ERROR && p->s->stopeot_arg) {
    record_unreadable(&p->run, result);
    ++p->waiting;
    return;
  }
  p->stop = true;
  if (status == TAPE_END_OF_DATA && !frame_source_incomplete(p->source)) {
    std::printf("\n - end of the recorded data\n");
    return;
  }
  if (status == TAPE_END_OF_DATA) return;  // the source said why it gives no more
  if (!p->image) std::printf("\nblock read fail\n");
  if (status == TAPE_MEDIUM_ERROR)
    std::printf("\n - a frame could not be read (0x%.8x): reading ends here; with /STOPEOT it reads on past such "
                "frames\n",
                result);
  else if (const char* lost = tape_lost_place(status))
    std::printf("\n - %s (0x%.8x)\n", lost, result);
  else
    std::printf("\n - the read failed (0x%.8x): reading ends here\n", result);
  record_read_that_ends_run(&p->run, result);
}

// Reads the first frame, which the loop then passes on like every other.
// 0, or 1 when it cannot be read (and no stand-in stands for it).
int read_first_frame(Pass* p) {
  reset_frame_analysis(p->s);
  p->read = read_next_frame(p->source, &p->frame);
  if (tape_read_ok(p->read.result) || p->read.stand_in) {
    take(p);
    p->stop = false;
    return 0;
  }
  record_read_that_ends_run(&p->run, p->read.result);
  if (const char* lost = tape_lost_place(tape_status(p->read.result)))
    std::printf(" - %s (0x%.8x)\n", lost, p->read.result);
  else
    std::printf("read audio block failed\n");
  return 1;
}

// The frames of the input tape, from the one read first, to where the
// frames go; until a blank stretch (but with /STOPEOT), the end of the
// recorded data, a failed read or write, or ESC.
void pass_frames(Pass* p) {
  for (bool first = true;; first = false) {
    // ESC, read at the top of the pass, ends the loop after it (/STOPEOT
    // drops the stop of a blank stretch, but the user's is not one of them).
    bool esc = esc_pressed();
    if (!first) {
      p->read = read_next_frame(p->source, &p->frame);
      if (tape_read_ok(p->read.result) || p->read.stand_in) take(p);
    }
    if (tape_read_ok(p->read.result))
      pass_read_frame(p);
    else
      pass_failed_read(p);
    if (esc) {
      p->stop = true;
      record_incomplete(&p->run);
    }
    if (p->write_failed) break;
    if (p->stop) {
      put_waiting(p, nullptr);  // nothing follows them
      break;
    }
  }
  if (p->write_failed) record_incomplete(&p->run);
  if (frame_source_incomplete(p->source)) record_incomplete(&p->run);
  if (p->stand_ins > 0)
    std::printf("\n - %lld frames could not be read: %s a silent stand-in for each\n",
                static_cast<long long>(p->stand_ins), p->image ? "the image keeps" : "the copy holds");
}

void image_name(const RunSettings* s, char* name, size_t size) {
  std::snprintf(name, size, "%s.img", s->base_name);
}

int dump_from(Pass* p) {
  RunSettings* s = p->s;
  if (read_first_frame(p) != 0) return 1;
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  std::printf("Saving DAT tape in IMG file:%s\n", name);
  ImageWriter image;
  if (image_writer_create(&image, name) != 0) return 1;
  p->name = name;
  p->image = &image;
  pass_frames(p);
  p->image = nullptr;
  int result = image_writer_finish(&image);
  transfer_report_file(p->run.report, name, false);
  return result;
}

}  // namespace

RunVerdict dump_image(RunSettings* s) {
  FrameSource source;
  if (open_frame_source(&source, s) != 0) return RUN_INCOMPLETE;
  Pass pass;
  pass.s = s;
  pass.source = &source;
  open_run_record(&pass.run, s, "BITTERN", s->base_name);
  int result = dump_from(&pass);
  close_frame_source(&source);
  return close_run_record(&pass.run, result);
}

RunVerdict restore_image(RunSettings* s) {
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  std::printf("Copying IMG file: %s to DAT tape\n", name);
  // Only read: an image kept read-only restores as well.
  FILE* image = std::fopen(name, "rb");
  if (!image) {
    say_open_failure(name);
    return RUN_INCOMPLETE;
  }
  Pass pass;
  pass.s = s;
  Pass* p = &pass;
  p->write_fail = "write block fail\n";
  reset_frame_analysis(s);
  for (;;) {
    bool esc = esc_pressed();
    ImageRecordRead got = image_record_read(image, &p->frame);
    if (got.outcome != IMAGE_RECORD_WHOLE) {
      // The end of the image; but an image that cannot be read, or whose
      // last record is cut short, is not an image that has ended.
      if (got.outcome == IMAGE_RECORD_FAILED) {
        say_read_failure(name);
        record_incomplete(&p->run);
      } else if (got.outcome == IMAGE_RECORD_CUT_SHORT) {
        std::printf("\n - %s ends in a short record of %zu bytes, less than a frame: it is not written, and the "
                    "run ends as failed\n",
                    name, got.bytes);
        record_incomplete(&p->run);
      }
      p->stop = true;
    } else {
      // A stand-in the dump kept is written back as it is: a frame that
      // could not be read.
      p->read.stand_in = frame_is_stand_in(&p->frame);
      take(p);
      print_subcode(s);
      if (put(p, &p->frame) != 0) {
        p->stop = true;
        record_incomplete(&p->run);
      }
    }
    if (esc) {
      p->stop = true;
      record_incomplete(&p->run);
    }
    if (p->stop) break;
  }
  std::fclose(image);
  return close_run_record(&p->run, 0);
}

RunVerdict copy_tape(RunSettings* s) {
  FrameSource source;
  if (open_frame_source(&source, s) != 0) return RUN_INCOMPLETE;
  Pass pass;
  pass.s = s;
  pass.source = &source;
  Pass* p = &pass;
  p->kept = "written";
  open_run_record(&p->run, s, "PINTAIL", "PINTAIL");
  int result = read_first_frame(p);
  if (result == 0) pass_frames(p);
  close_frame_source(&source);
  return close_run_record(&p->run, result);
}
