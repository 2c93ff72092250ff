// SPDX-License-Identifier: MIT
// /BITTERN, /BUNTING and /PINTAIL: raw frames from tape to an image file,
// from an image file to tape, and from tape to tape.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "datframe/image_records.h"
#include "datframe/rescue_map.h"
#include "sources/frame_source.h"
#include "modes/mode_io.h"
#include "platform/console.h"
#include "sinks/image_writer.h"
#include "platform/file_io.h"
#include "modes/modes.h"
#include "modes/run_report.h"
#include "scsi/aspi_call.h"
#include "scsi/seek.h"
#include "scsi/tape_commands.h"
#include "scsi/tape_status.h"

namespace {

// The map is written again after this many records (30 s of tape) and at the end.
const size_t kMapEvery = 1000;

// The map of a dump beside its image, and how far it was last written.
struct DumpMap {
  RescueMap map;
  std::string path;
  int pass = 0;
  size_t since = 0;     // records taken since the map was last written
  bool failed = false;  // it could not be written (said): the dump goes on without it
};

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
  DumpMap* map = nullptr;  // /BITTERN: the map beside the image
  bool at_end = false;     // the reading came to the end of the tape's recording
  bool interrupted = false;
  size_t settled = 0;      // records in the image before the stand-ins an interrupt left unplaced
  bool resuming = false;   // the first frame is still to be read (a dump going on)
};

// Takes a frame read, or the stand-in /REREAD gave for one it could not
// read (as the frame it stands for: one without a time counts as blank
// tape, as the frames around it may be).
void take(Pass* p) {
  if (take_read_frame(&p->frame, p->s, &p->info, &p->events)) p->stop = p->at_end = true;
  if (p->read.stand_in)
    record_unreadable(&p->run, p->read.result);
  else
    record_frame(&p->run, &p->info, &p->events, &p->read);
}

// Writes the map again, the image's records on the disk first.
void write_map(Pass* p) {
  DumpMap* m = p->map;
  m->since = 0;
  if (m->failed || image_writer_sync(p->image) != 0) return;
  rescue_map_name_tape(&m->map);
  if (int error = rescue_map_write(&m->map, m->path)) {
    std::printf("\n - %s cannot be written (%s): the dump goes on without it\n", m->path.c_str(), std::strerror(error));
    m->failed = true;
  }
}

// Writes a frame to where the frames go, read reads times. 0, or -1 after
// saying that the write failed (the run then ends).
int put(Pass* p, const DatFrame* frame, int reads = 1) {
  if (p->image) {
    if (image_writer_put(p->image, frame) != 0) {
      p->write_failed = true;
      return -1;
    }
    transfer_report_written(p->run.report, p->name, -1, 0, nullptr, 0);
    if (p->map) {
      rescue_map_take(&p->map->map, p->map->map.records.size(), frame, reads, p->map->pass);
      if (++p->map->since >= kMapEvery) write_map(p);
    }
    return 0;
  }
  if (!tape_completed(scsi_write_block(output_drive(p->s), frame, DAT_FRAME_BYTES))) {
    std::printf("\n%s", p->write_fail);
    p->write_failed = true;
    return -1;
  }
  return 0;
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
              frame_time_text(place.time).c_str(), p->kept);
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
  put(p, &p->frame, p->read.reads);
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
                  frame_time_text(time).c_str(), p->kept);
    else
      std::printf("\n - unreadable after every re-read: frame %s as a silent stand-in\n", p->kept);
    print_subcode(p->s);
    if (put(p, &p->frame, p->read.reads) == 0) ++p->stand_ins;
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
    p->at_end = true;
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
    if (!first || p->resuming) {
      p->read = read_next_frame(p->source, &p->frame);
      if (tape_read_ok(p->read.result) || p->read.stand_in) take(p);
    }
    if (tape_read_ok(p->read.result))
      pass_read_frame(p);
    else
      pass_failed_read(p);
    if (esc) {
      p->stop = true;
      p->interrupted = true;
      record_incomplete(&p->run);
    }
    if (p->write_failed) break;
    if (p->stop) {
      // Where the reading was cut off, the frames after the stand-ins are
      // still to be read: the map leaves them for the dump that goes on.
      if (p->map) p->settled = p->map->map.records.size();
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

// The drive of a pass, as the map names it: vendor, product, revision and address.
void describe_drive(const RunSettings* s, char* text, size_t size) {
  char inquiry[64];
  describe_input_drive(s, inquiry, sizeof inquiry);
  std::snprintf(text, size, "%s at %d:%d", inquiry, s->input_adapter, s->input_target);
}

// The tape in the drive shown to be the one the image holds, and positioned
// after the image's first records records: a LOCATE to a little before the
// last record with a time, then read forward, every frame read matched to
// the image by its time and program (and, where both copies are clean, by
// its bytes). 0; 1 after saying why not; 2 on ESC.
int position_after(Pass* p, FILE* image, size_t records, const char* name) {
  const size_t kWindow = 64;
  size_t anchor = records;
  std::vector<DatFrame> window;  // records [from, anchor]
  size_t from = records;
  DatFrame record;
  for (size_t i = records; i-- > 0 && records - i <= kWindow * 4;) {
    if (!image_record_read_at(image, i, &record)) break;
    FrameInfo info = decode_frame(&record);
    if (info.absolute.valid && !frame_is_stand_in(&record)) {
      anchor = i;
      break;
    }
  }
  if (anchor == records) {
    std::printf("%s: no frame near where the dump stopped carries a time to find it by: the dump cannot go on (/OVERWRITE "
                "dumps the tape again)\n", name);
    return 1;
  }
  from = anchor > kWindow ? anchor - kWindow : 0;
  window.resize(anchor - from + 1);
  std::vector<FrameKey> keys(window.size());
  for (size_t i = 0; i < window.size(); ++i) {
    if (!image_record_read_at(image, from + i, &window[i])) {
      say_read_failure(name);
      return 1;
    }
    FrameInfo info = decode_frame(&window[i]);
    keys[i] = frame_key(&info);
  }
  // Aim a few frames read with a time before the anchor.
  auto timed = [&](size_t i) { return keys[i].time >= 0 && !frame_is_stand_in(&window[i]); };
  size_t aim = window.size() - 1;
  for (int back = 0; aim > 0 && back < 4;)
    if (timed(--aim)) ++back;
  while (!timed(aim)) ++aim;
  const DriveAddress d = p->source->drive.address;
  char when[16];
  dat_frames_text(static_cast<uint64_t>(keys.back().time), when, sizeof when);
  std::printf("Going on with the dump in %s after %zu frames, from %s\n", name, records, when);
  if (!tape_completed(locate_time(d, SEEK_ABSTIME, keys[aim].time))) {
    std::printf("%s: the drive did not go to %s: the dump cannot go on\n", name, when);
    return 1;
  }
  SearchEnd end = wait_for_search(d, 180000, esc_pressed);
  if (end == SEARCH_STOPPED) return 2;
  if (end != SEARCH_ARRIVED) {
    std::printf("%s: the drive did not go to %s: the dump cannot go on\n", name, when);
    return 1;
  }
  auto refuse = [&](const char* why) {
    std::printf("%s was dumped from another tape (%s near %s): nothing is changed\n", name, why, when);
    return 1;
  };
  // The frames from the aim on are to be the image's, one for one: a frame
  // without a time, or one read now or then as unreadable, stands for its
  // record; a copy clean now and then is to be the same bytes. Frames before
  // the aim (a LOCATE stops a little early) are passed over.
  auto same = [&](size_t i, const DatFrame& frame, const FrameKey& key) {
    if (!frame_keys_match(&keys[i], &key)) return false;
    return record_rank(&window[i]) != COPY_CLEAN || record_rank(&frame) != COPY_CLEAN ||
           std::memcmp(&window[i], &frame, sizeof frame) == 0;
  };
  size_t next = 0;  // the record the next frame is to be; 0: not yet found the aim
  for (size_t n = 0; n < window.size() + 400 && next < window.size(); ++n) {
    if (esc_pressed()) return 2;
    DatFrame frame;
    FrameRead read = read_drive_frame(&p->source->drive, &frame);
    bool unreadable = tape_status(read.result) == TAPE_MEDIUM_ERROR;
    if (!tape_read_ok(read.result) && !unreadable) return refuse("the tape ends");
    FrameInfo info = decode_frame(&frame);
    FrameKey key = frame_key(&info);
    if (next > 0) {
      if (unreadable || keys[next].time < 0 || frame_is_stand_in(&window[next]) || same(next, frame, key)) {
        ++next;
        continue;
      }
      if (key.time == keys[next].time)
        return refuse(frame_keys_match(&keys[next], &key) ? "its audio differs" : "its programs differ");
      next = 0;  // out of step: looked for again
    }
    if (!unreadable && same(aim, frame, key)) next = aim + 1;
  }
  if (next < window.size()) return refuse("the frame where it stopped is not there");
  // The records after the anchor carry no time: counted as they pass.
  for (size_t i = anchor + 1; i < records; ++i) {
    DatFrame frame;
    read_drive_frame(&p->source->drive, &frame);
  }
  return 0;
}

// The records of the image so far, taken again as the frames they are: the
// state the reading goes on from (the blank stretch under way, the frame a
// stand-in is placed after, the tally and the report).
int replay_records(Pass* p, FILE* image, size_t records) {
  reset_frame_analysis(p->s);
  std::rewind(image);
  for (size_t i = 0; i < records; ++i) {
    if (image_record_read(image, &p->frame).outcome != IMAGE_RECORD_WHOLE) return 1;
    bool stand_in = frame_is_stand_in(&p->frame);
    p->read = FrameRead{stand_in ? ASPI_RESULT_UNREADABLE : ASPI_RESULT_GOOD, 1, 1, stand_in ? 1 : 0};
    take_frame(&p->frame, p->s, &p->info, &p->events);  // taken without a word: the console said it the first time
    if (stand_in)
      record_unreadable(&p->run, p->read.result);
    else
      record_frame(&p->run, &p->info, &p->events, &p->read);
    transfer_report_written(p->run.report, p->name, -1, 0, nullptr, 0);
    if (stand_in) {
      ++p->stand_ins;
      continue;
    }
    p->last_key = frame_key(&p->info);
    p->like = p->frame;
    p->have_like = true;
  }
  p->stop = p->at_end = false;
  return 0;
}

// Opens the image to go on after the records the map holds: the tape shown
// to be the same and positioned, the records taken again. 0; 1 after saying
// why not, nothing changed.
int resume_dump(Pass* p, ImageWriter* image, const char* name) {
  size_t records = p->map->map.records.size();
  FILE* file = std::fopen(name, "rb");
  if (!file) {
    say_open_failure(name);
    return 1;
  }
  struct stat st{};
  if (fstat(fileno(file), &st) != 0 || static_cast<uint64_t>(st.st_size) < records * DAT_FRAME_BYTES) {
    std::printf("%s holds fewer frames than %s lists: the dump cannot go on (/OVERWRITE dumps the tape again)\n",
                name, p->map->path.c_str());
    std::fclose(file);
    return 1;
  }
  int placed = position_after(p, file, records, name);
  int replayed = placed == 0 ? replay_records(p, file, records) : 0;
  std::fclose(file);
  if (placed == 2) std::printf("\n - interrupted before the dump went on: nothing is changed\n");
  if (placed != 0 || replayed != 0) return 1;
  if (image_writer_resume(image, name, records) != 0) return 1;
  char drive[96];
  describe_drive(p->s, drive, sizeof drive);
  p->map->pass = rescue_map_add_pass(&p->map->map, "resume", drive);
  p->resuming = true;
  return 0;
}

int dump_from(Pass* p, DumpMap* map) {
  RunSettings* s = p->s;
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  ImageWriter image;
  p->name = name;
  p->map = map;
  if (!map->map.records.empty()) {
    p->image = &image;
    int refused = resume_dump(p, &image, name);
    p->image = nullptr;
    if (refused) return 1;
  } else {
    if (read_first_frame(p) != 0) return 1;
    std::printf("Saving DAT tape in IMG file:%s\n", name);
    char drive[96];
    describe_drive(s, drive, sizeof drive);
    map->map = RescueMap{};
    map->pass = rescue_map_add_pass(&map->map, "dump", drive);
    // The map comes before the image: a dump killed before its first
    // checkpoint leaves a map that lists nothing read, and goes on from the start.
    if (int error = rescue_map_write(&map->map, map->path)) {
      std::printf("\n - %s cannot be written (%s): the dump goes on without it\n", map->path.c_str(),
                  std::strerror(error));
      map->failed = true;
    }
    if (image_writer_create(&image, name) != 0) {
      if (!map->failed) std::remove(map->path.c_str());  // no image, nothing for it to list
      return 1;
    }
  }
  p->image = &image;
  pass_frames(p);
  if (p->interrupted) map->map.records.resize(std::min(map->map.records.size(), p->settled));
  map->map.finished = p->at_end && !p->interrupted && !p->write_failed && !frame_source_incomplete(p->source);
  image_writer_sync(&image);
  p->image = nullptr;
  int result = image_writer_finish(&image);
  // After a failed write only the whole records stay: the map holds no more.
  struct stat st{};
  if (stat(name, &st) == 0 && map->map.records.size() * DAT_FRAME_BYTES > static_cast<uint64_t>(st.st_size))
    map->map.records.resize(static_cast<size_t>(st.st_size) / DAT_FRAME_BYTES);
  if (!map->failed) {
    rescue_map_name_tape(&map->map);
    if (int error = rescue_map_write(&map->map, map->path)) {
      std::printf("\n - %s cannot be written (%s)\n", map->path.c_str(), std::strerror(error));
      result = 1;
    }
  }
  if (!map->map.finished && !p->write_failed)
    std::printf("\n - the dump is not finished: %s keeps where it stopped, and the same command goes on from there\n",
                map->path.c_str());
  transfer_report_file(p->run.report, name, false);
  // What the image does not hold: the drive, the time, the options, the report.
  write_image_record(&p->run, s, name);
  return result;
}

// What an earlier dump under the name allows: going on with it (its map
// into *map), a new dump, or nothing, said. 0 to dump, 1 refused.
int earlier_dump(const RunSettings* s, DumpMap* map) {
  char name[KESTREL_BASE_NAME_SIZE + 8];
  image_name(s, name, sizeof name);
  map->path = rescue_map_path(name);
  // An image without a whole record holds nothing to lose.
  struct stat st{};
  bool image = stat(name, &st) == 0 && st.st_size >= static_cast<off_t>(DAT_FRAME_BYTES);
  std::string why;
  int read = rescue_map_read(map->path, &map->map, &why);
  if (s->overwrite_arg) {
    map->map = RescueMap{};
    return 0;
  }
  if (read == ENOENT) {
    map->map = RescueMap{};
    if (!image) return 0;
    std::printf("%s exists and has no map: it is kept as it is (/OVERWRITE dumps the tape again over it)\n", name);
    return 1;
  }
  if (read != 0) {
    std::printf("%s cannot be read (%s): %s is kept as it is (/OVERWRITE dumps the tape again over it)\n",
                map->path.c_str(), read == EINVAL ? why.c_str() : std::strerror(read), name);
    return 1;
  }
  if (map->map.finished) {
    std::printf("%s holds a finished dump: it is kept as it is (/OVERWRITE dumps the tape again over it)\n", name);
    return 1;
  }
  if (!image) map->map = RescueMap{};  // nothing to go on with
  return 0;
}

}  // namespace

RunVerdict dump_image(RunSettings* s) {
  DumpMap map;
  if (earlier_dump(s, &map) != 0) return RUN_INCOMPLETE;
  FrameSource source;
  if (open_frame_source(&source, s) != 0) return RUN_INCOMPLETE;
  Pass pass;
  pass.s = s;
  pass.source = &source;
  open_run_record(&pass.run, s, "BITTERN", s->base_name);
  int result = dump_from(&pass, &map);
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
