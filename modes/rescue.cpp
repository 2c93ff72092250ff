// SPDX-License-Identifier: MIT
// /RESCUE NAME: a later pass over a dumped tape that reads again only the
// frames NAME.map lists as damaged or unreadable, on this drive or another.
// The stretches are visited in tape order, near ones joined, each approached
// by an audio LOCATE to a few frames before it; the best copy of every frame
// (the rule of re-reading and merging) is kept in its place in NAME.img, and
// the map records the pass and what it saw.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "datframe/image_records.h"
#include "datframe/rescue_map.h"
#include "modes/mode_io.h"
#include "modes/modes.h"
#include "modes/run_report.h"
#include "platform/console.h"
#include "platform/file_io.h"
#include "scsi/aspi_call.h"
#include "scsi/seek.h"
#include "scsi/tape_status.h"
#include "sources/drive_frames.h"

namespace {

const size_t kJoin = DAMAGED_STRETCH_GAP;  // damaged records this close are read in one go
const int kLead = 4;                       // a LOCATE aims this many timed records before a stretch
const size_t kOverrun = 40;                // frames read beyond what a stretch should take before giving up
const uint32_t kLocateWaitMs = 180000;

struct Stretch {
  size_t first, last;  // records of the image
  size_t damaged;      // records of it listed as damaged
};

struct Rescue {
  RunSettings* s;
  DriveFrames drive;
  RescueMap map;
  std::string map_path;
  const char* name;  // of the image
  FILE* image = nullptr;
  int pass = 0;
  size_t recovered = 0;
  bool other_tape = false;
};

// The damaged records with a time to find them by, as stretches in tape
// order, near ones joined.
std::vector<Stretch> damaged_stretches(const RescueMap& map, size_t* untimed) {
  std::vector<Stretch> out;
  *untimed = 0;
  for (size_t i = rescue_map_next_damaged(&map, 0); i < map.records.size(); i = rescue_map_next_damaged(&map, i + 1)) {
    if (map.records[i].time < 0) {
      ++*untimed;
      continue;
    }
    if (!out.empty() && i - out.back().last <= kJoin) {
      out.back().last = i;
      ++out.back().damaged;
    } else {
      out.push_back(Stretch{i, i, 1});
    }
  }
  return out;
}

bool put_record(Rescue* r, size_t index, const DatFrame* record) {
  if (fseeko(r->image, static_cast<off_t>(index * DAT_FRAME_BYTES), SEEK_SET) != 0 ||
      !image_record_write(r->image, record) || std::fflush(r->image) != 0) {
    say_write_failure(r->name);
    return false;
  }
  return true;
}

// One stretch read again. The frames now clean, -1 when the drive did not go
// there or a write failed, -2 on ESC, -3 when the tape is not the image's.
int read_stretch(Rescue* r, const Stretch& st) {
  const std::vector<MapRecord>& m = r->map.records;
  size_t aim = st.first;
  for (int back = 0; aim > 0 && back < kLead;)
    if (m[--aim].time >= 0 && !map_state_damaged(m[aim].state)) ++back;
  while (m[aim].time < 0) ++aim;
  std::vector<DatFrame> kept(st.last - aim + 1);
  std::vector<FrameKey> keys(kept.size());
  std::vector<bool> target(kept.size());
  for (size_t j = 0; j < kept.size(); ++j) {
    if (!image_record_read_at(r->image, aim + j, &kept[j])) {
      say_read_failure(r->name);
      return -1;
    }
    FrameInfo info = decode_frame(&kept[j]);
    keys[j] = frame_key(&info);
    target[j] = map_state_damaged(m[aim + j].state);
  }
  const DriveAddress d = r->drive.address;
  if (!tape_completed(locate_time(d, SEEK_ABSTIME, m[aim].time))) return -1;
  SearchEnd end = wait_for_search(d, kLocateWaitMs, esc_pressed);
  if (end == SEARCH_STOPPED) return -2;
  if (end != SEARCH_ARRIVED) return -1;
  int clean = 0;
  int64_t previous = -1;
  size_t next = 0;  // records before this one have been read (the tape runs forward)
  for (size_t n = 0; n < kept.size() + kOverrun && next < kept.size(); ++n) {
    if (esc_pressed()) return -2;
    DatFrame copy;
    FrameRead read = read_drive_frame(&r->drive, &copy);
    bool readable = tape_read_ok(read.result);
    if (!readable && tape_status(read.result) != TAPE_MEDIUM_ERROR) break;  // the end of the data, or worse
    FrameKey key{previous >= 0 ? previous + 1 : -1, -1};
    if (readable) {
      FrameInfo info = decode_frame(&copy);
      key = frame_key(&info);
    }
    previous = key.time;
    size_t j = next;
    while (j < kept.size() && !frame_keys_match(&keys[j], &key)) ++j;
    if (j == kept.size()) {
      if (key.time > keys.back().time) break;  // past the stretch
      continue;
    }
    next = j + 1;
    if (!target[j]) {
      // A frame both copies of which are clean is the same bytes on the same tape.
      if (readable && record_rank(&kept[j]) == COPY_CLEAN && copy_rank(1, copy.interpolate_flags) == COPY_CLEAN &&
          std::memcmp(&kept[j], &copy, sizeof copy) != 0)
        return -3;
      continue;
    }
    if (copy_rank(readable ? 1 : 0, copy.interpolate_flags) > record_rank(&kept[j])) {
      bool was_damaged = map_state_damaged(map_state_of(&kept[j]));
      kept[j] = copy;
      if (!put_record(r, aim + j, &copy)) return -1;
      if (was_damaged && !map_state_damaged(map_state_of(&copy))) ++clean;
    }
    rescue_map_read_again(&r->map, aim + j, readable ? &copy : nullptr, &kept[j], r->pass);
  }
  return clean;
}

// The image's records and the map on the disk, the records first.
bool save(Rescue* r) {
  if (std::fflush(r->image) != 0 || fsync(fileno(r->image)) != 0) {
    say_write_failure(r->name);
    return false;
  }
  if (int error = rescue_map_write(&r->map, r->map_path)) {
    std::printf("\n - %s cannot be written (%s)\n", r->map_path.c_str(), std::strerror(error));
    return false;
  }
  return true;
}

// With /REPORT, NAME-passN.json (.html, .sha256): the image as this pass
// leaves it, frame by frame, with the map's passes and whose each damaged
// frame is; frames made clean by some pass are listed as recovered. The
// report of the dump, a reading of the tape, is not written over.
RunVerdict report_pass(Rescue* r, int result) {
  std::string name = std::string(r->s->base_name) + "-pass" + std::to_string(r->pass);
  RunRecord run;
  open_run_record(&run, r->s, "RESCUE", name.c_str());
  transfer_report_map(run.report, &r->map);
  FrameTracker tracker{};
  DatFrame record;
  for (size_t i = 0; run.report && i < r->map.records.size(); ++i) {
    if (!image_record_read_at(r->image, i, &record)) {
      say_read_failure(r->name);
      result = 1;
      break;
    }
    const MapRecord& m = r->map.records[i];
    if (m.state == MAP_UNREADABLE) {
      record_unreadable(&run, ASPI_RESULT_UNREADABLE);
      continue;
    }
    FrameInfo info = decode_frame(&record);
    FrameEvents events = track_frame(&tracker, &info);
    bool recovered = m.state == MAP_GOOD && m.damaged != 0;
    FrameRead read{ASPI_RESULT_GOOD, recovered ? m.reads : 1, recovered ? m.reads : 1, 0};
    record_frame(&run, &info, &events, &read);
  }
  return close_run_record(&run, result);
}

}  // namespace

RunVerdict rescue_image(RunSettings* s) {
  Rescue rescue;
  Rescue* r = &rescue;
  r->s = s;
  r->drive = input_drive_frames(s);
  char name[KESTREL_BASE_NAME_SIZE + 8];
  std::snprintf(name, sizeof name, "%s.img", s->base_name);
  r->name = name;
  r->map_path = rescue_map_path(name);
  std::string why;
  if (int error = rescue_map_read(r->map_path, &r->map, &why)) {
    std::printf("%s cannot be read (%s): /RESCUE reads again what the map of a dump lists\n", r->map_path.c_str(),
                error == EINVAL ? why.c_str() : std::strerror(error));
    return RUN_INCOMPLETE;
  }
  r->image = std::fopen(name, "r+b");
  if (!r->image) {
    say_open_failure(name);
    return RUN_INCOMPLETE;
  }
  size_t untimed = 0;
  std::vector<Stretch> stretches = damaged_stretches(r->map, &untimed);
  size_t damaged = untimed;
  for (const Stretch& st : stretches) damaged += st.damaged;
  char drive[96], inquiry[64];
  describe_input_drive(s, inquiry, sizeof inquiry);
  std::snprintf(drive, sizeof drive, "%s at %d:%d", inquiry, s->input_adapter, s->input_target);
  r->pass = rescue_map_add_pass(&r->map, "rescue", drive);
  std::printf("Rescue pass %d over %s: %zu damaged frames in %zu stretches, read again on %s\n", r->pass, name,
              damaged, stretches.size(), drive);
  if (untimed > 0) std::printf(" - %zu damaged frames carry no absolute time: they cannot be found again\n", untimed);
  bool failed = r->pass == 0 || !save(r);
  for (const Stretch& st : stretches) {
    if (failed) break;
    int clean = read_stretch(r, st);
    if (clean == -2) {
      std::printf("\n - interrupted: the stretches read so far are kept\n");
      failed = true;
    } else if (clean == -3) {
      std::printf("\n - %s was dumped from another tape (its frames differ near %s): nothing more is changed\n",
                  name, frame_time_text(r->map.records[st.first].time).c_str());
      failed = true;
    } else if (clean < 0) {
      std::printf("\n - the stretch at %s could not be read again\n", frame_time_text(r->map.records[st.first].time).c_str());
    } else {
      r->recovered += static_cast<size_t>(clean);
      std::printf(" - stretch at %s: %zu damaged frames, %d now clean\n",
                  frame_time_text(r->map.records[st.first].time).c_str(), st.damaged, clean);
    }
    if (!save(r)) failed = true;
  }
  size_t left = 0;
  for (const MapRecord& m : r->map.records) left += map_state_damaged(m.state) ? 1 : 0;
  std::printf("\n - rescue pass %d: %zu of %zu damaged frames now clean, %zu left; %s records the pass\n", r->pass,
              r->recovered, damaged, left, r->map_path.c_str());
  MapDamage whose = rescue_map_damage(&r->map);
  std::string passes;
  for (size_t p = 0; p < whose.per_pass.size(); ++p)
    passes += (p ? ", " : "") + std::to_string(p + 1) + ": " + std::to_string(whose.per_pass[p]);
  std::printf(" - whose damage: %zu frames the tape's (damaged on every pass), %zu the drives' (read clean on another "
              "pass or drive), %zu read on one pass only; damaged frames per pass %s\n",
              whose.tapes, whose.drives, whose.one_pass, passes.c_str());
  RunVerdict verdict = failed ? RUN_INCOMPLETE : left > 0 ? RUN_DAMAGED : RUN_CLEAN;
  if (r->s->report_arg && r->pass > 0) {
    RunVerdict reported = report_pass(r, failed ? 1 : 0);
    if (reported == RUN_INCOMPLETE) verdict = RUN_INCOMPLETE;
  }
  std::fclose(r->image);
  return verdict;
}
