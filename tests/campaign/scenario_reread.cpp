// SPDX-License-Identifier: MIT
// /BITTERN and /KESTREL /REREAD runs: frames that misread now and then
// (damaged or unreadable), LOCATEs that stop early, sometimes a Ctrl-C.
// Whatever the re-reads find, the image (or the WAV file of a plain
// recording) holds the tape's frames in order, each once: a record is the
// frame, a damaged copy of a flaky one, or the stand-in of an unreadable one
// that no pass could read. The exit code is 5 when a record is damaged or a
// stand-in, 6 when the run was cut short.
//
// kestrel-merge runs: images of one tape (stretches of it, each damaged
// elsewhere) whose times repeat a frame, hold a stray one, skip a stretch,
// or fall back where a re-recorded cassette's older recording follows the
// new lead-out. The merged image holds every frame the images have once, in
// tape order, each the best of its copies; images without a frame in common
// are refused and nothing is written.
#include <algorithm>
#include <cstring>
#include <set>

#include "datframe/frame_build.h"
#include "datframe/frame_copy.h"
#include "datframe/frame_info.h"
#include "tests/campaign/scenarios.h"
#include "tests/support/temp_dir.h"

namespace {

// A damaged copy as the virtual drive gives it.
DatFrame damaged_copy(DatFrame frame) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(&frame);
  for (size_t i = 1; i < DAT_AUDIO_BYTES; i += 7) bytes[i] ^= 0x40;
  frame.interpolate_flags |= 0x60;
  return frame;
}

bool is_stand_in(const DatFrame& record) {
  if (record.interpolate_flags != 0x60) return false;
  return std::all_of(std::begin(record.audio), std::end(record.audio), [](uint8_t b) { return b == 0; });
}

// What a frame of a merge tape is to the order of the times.
enum MergePlace {
  PLACE_IN_ORDER,   // its time follows the frame before it
  PLACE_RUN_START,  // the first after a skipped stretch or where the time falls back
  PLACE_ODD,        // a repeated or a stray frame
  PLACE_BLANK,      // blank tape: no pack, no time
};

struct MergeTape {
  std::vector<DatFrame> frames;
  std::vector<MergePlace> places;
};

// The frame with its audio altered: another frame of the same subcode.
DatFrame altered_audio(DatFrame frame) {
  for (size_t i = 3; i < DAT_AUDIO_BYTES; i += 11) frame.audio[i] ^= 0x33;
  return frame;
}

// The frame with another absolute time in its pack (the tape's frames carry
// it in slot 2).
DatFrame retimed(DatFrame frame, int64_t time) {
  frame_set_time_pack(&frame, 2, PACK_ITEM_ABSOLUTE_TIME, frame.sid_pno1 >> 4 << 8 | frame.sid_pno23, 0x01,
                      frames_time_code(time));
  frame_set_pack_parity(&frame);
  return frame;
}

void append(MergeTape* t, const std::vector<DatFrame>& frames, MergePlace first, MergePlace rest) {
  for (size_t i = 0; i < frames.size(); ++i) {
    t->frames.push_back(frames[i]);
    t->places.push_back(i == 0 ? first : rest);
  }
}

// An in-order frame at least margin frames from either end, or -1.
int in_order_frame(Rng* rng, const MergeTape& t, int margin) {
  for (int tries = 0; tries < 50; ++tries) {
    int i = rng_range(rng, margin, static_cast<int>(t.frames.size()) - 1 - margin);
    if (i >= margin && t.places[static_cast<size_t>(i)] == PLACE_IN_ORDER) return i;
  }
  return -1;
}

MergeTape draw_merge_tape(Rng* rng, Verdict* v) {
  MergeTape t;
  Tape tape;
  if (rng_chance(rng, 0.3)) {
    tape_blank(&tape, rng_range(rng, 1, 40));
    append(&t, tape.frames, PLACE_BLANK, PLACE_BLANK);
  }
  int programs = rng_range(rng, 1, 3);
  for (int p = 1; p <= programs; ++p) {
    size_t first = tape_record(&tape, Recording{.program = p}, rng_range(rng, 40, 400));
    append(&t, std::vector<DatFrame>(tape.frames.begin() + static_cast<long>(first), tape.frames.end()),
           PLACE_IN_ORDER, PLACE_IN_ORDER);
    if (p < programs && rng_chance(rng, 0.3)) {
      first = tape_blank(&tape, rng_range(rng, 1, 90));  // blank tape does not move the time on
      append(&t, std::vector<DatFrame>(tape.frames.begin() + static_cast<long>(first), tape.frames.end()),
             PLACE_BLANK, PLACE_BLANK);
    }
  }
  if (rng_chance(rng, 0.35)) {
    int at = in_order_frame(rng, t, 5);
    int gap = rng_range(rng, 1, 60);
    if (at >= 0 && static_cast<size_t>(at + gap + 5) < t.frames.size() &&
        std::all_of(t.places.begin() + at, t.places.begin() + at + gap + 2,
                    [](MergePlace p) { return p == PLACE_IN_ORDER; })) {
      t.frames.erase(t.frames.begin() + at + 1, t.frames.begin() + at + 1 + gap);
      t.places.erase(t.places.begin() + at + 1, t.places.begin() + at + 1 + gap);
      t.places[static_cast<size_t>(at + 1)] = PLACE_RUN_START;
      add_fault(v, "skipped stretch", std::to_string(gap) + " frames after frame " + std::to_string(at));
    }
  }
  for (const char* kind : {"repeated frame", "stray frame"}) {
    if (!rng_chance(rng, 0.35)) continue;
    int at = in_order_frame(rng, t, 3);
    if (at < 0 || t.places[static_cast<size_t>(at + 1)] != PLACE_IN_ORDER) continue;
    DatFrame odd = altered_audio(t.frames[static_cast<size_t>(at)]);
    if (kind[0] == 's') odd = retimed(odd, rng_chance(rng, 0.5) ? rng_range(rng, 3000, 9000) : rng_range(rng, 0, at / 2));
    t.frames.insert(t.frames.begin() + at + 1, odd);
    t.places.insert(t.places.begin() + at + 1, PLACE_ODD);
    add_fault(v, kind, "after frame " + std::to_string(at));
  }
  if (rng_chance(rng, 0.3)) {
    // Recorded anew: a lead-out, then the older recording's end, its time
    // falling back, its programs (5, 6) numbered apart.
    uint32_t time = tape.absolute_frames;
    size_t first = tape_record(&tape, Recording{.program = programs}, rng_range(rng, 20, 120));
    tape_mark_lead_out(&tape, first, tape.frames.size());
    append(&t, std::vector<DatFrame>(tape.frames.begin() + static_cast<long>(first), tape.frames.end()),
           PLACE_IN_ORDER, PLACE_IN_ORDER);
    Tape older;
    older.absolute_frames = time > 600 ? time - static_cast<uint32_t>(rng_range(rng, 50, 500)) : time / 2;
    tape_record(&older, Recording{.program = 5}, rng_range(rng, 1, 200));
    tape_record(&older, Recording{.program = 6}, rng_range(rng, 1, 200));
    for (DatFrame& f : older.frames) f = altered_audio(f);
    append(&t, older.frames, PLACE_RUN_START, PLACE_IN_ORDER);
    add_fault(v, "re-recorded cassette", "older recording from frame " + std::to_string(t.frames.size() - older.frames.size()));
  }
  return t;
}

// The rank of a copy by the frame-copy rule, told from its bytes.
int copy_rank_of(const DatFrame& f) {
  if (is_stand_in(f)) return COPY_UNREADABLE;
  if (f.interpolate_flags == 0) return COPY_CLEAN;
  return f.interpolate_flags == 0x40 || f.interpolate_flags == 0x20 ? COPY_ONE_FLAGGED : COPY_BOTH_FLAGGED;
}

// Where an image may begin: an in-order frame (a run's first too), never in
// blank tape or at a stray frame, which would be taken for the first of a run.
int merge_start(Rng* rng, const MergeTape& t, int last) {
  for (int tries = 0; tries < 50; ++tries) {
    int at = rng_range(rng, 1, std::max(1, last));
    MergePlace p = t.places[static_cast<size_t>(at)];
    if (p == PLACE_IN_ORDER || p == PLACE_RUN_START) return at;
  }
  return 0;
}

// Where an image that begins at first may end (the frame after its last),
// in [low, high]: with 20 frames in order at least, and not right after the
// first frame of a run, which nothing after it in the image tells from a
// stray one.
int merge_end(Rng* rng, const MergeTape& t, int first, int low, int high) {
  int in_order = 0, from = first;
  for (; from < static_cast<int>(t.frames.size()) && in_order < 20; ++from)
    in_order += t.places[static_cast<size_t>(from)] == PLACE_IN_ORDER ? 1 : 0;
  low = std::max(low, from);
  for (int tries = 0; low <= high && tries < 50; ++tries) {
    int at = rng_range(rng, low, high);
    int last_timed = at - 1;
    while (last_timed > 0 && t.places[static_cast<size_t>(last_timed)] == PLACE_BLANK) --last_timed;
    if (t.places[static_cast<size_t>(last_timed)] != PLACE_RUN_START) return at;
  }
  return static_cast<int>(t.frames.size());
}

}  // namespace

void scenario_merge(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  MergeTape tape = draw_merge_tape(rng, v);
  int size = static_cast<int>(tape.frames.size());
  struct Slice {
    int first;
    int last;
  };
  std::vector<Slice> slices;
  // The first image from the tape's beginning; the others overlap it by 20
  // frames at least. Now and then two images that share no frame.
  bool apart = rng_chance(rng, 0.1) && size > 300;
  if (apart) {
    int split = merge_end(rng, tape, 0, 100, size - 100);  // where the first ends
    int second = merge_start(rng, tape, size - 20);
    if (second < split) second = split + rng_range(rng, 1, 20);
    while (second < size - 1 && tape.places[static_cast<size_t>(second)] != PLACE_IN_ORDER &&
           tape.places[static_cast<size_t>(second)] != PLACE_RUN_START)
      ++second;
    slices = {{0, split}, {second, size}};
    add_fault(v, "images without a shared frame");
  } else {
    auto end_after = [&](int first) {
      return rng_chance(rng, 0.5) ? size : merge_end(rng, tape, first, first + 20, size);
    };
    slices.push_back({0, end_after(0)});
    int images = rng_range(rng, 2, 3);
    for (int i = 1; i < images; ++i) {
      int first = rng_chance(rng, 0.6) ? 0 : merge_start(rng, tape, slices[0].last - 40);
      slices.push_back({first, end_after(first)});
    }
  }
  std::vector<std::string> args = {"OUT.img"}, files;
  std::vector<std::vector<DatFrame>> images;
  std::string drawn;
  for (size_t i = 0; i < slices.size(); ++i) {
    std::vector<DatFrame> image(tape.frames.begin() + slices[i].first, tape.frames.begin() + slices[i].last);
    int damaged = rng_range(rng, 0, 6);
    for (int d = 0; d < damaged && !image.empty(); ++d) {
      size_t at = static_cast<size_t>(rng_range(rng, 0, static_cast<int>(image.size()) - 1));
      DatFrame& f = image[at];
      MergePlace place = tape.places[at + static_cast<size_t>(slices[i].first)];
      int kind = rng_range(rng, 0, 3);
      if (kind == 3 && place != PLACE_BLANK && d < 2) {
        FrameInfo info = decode_frame(&f);
        FrameKey key = frame_key(&info);
        DatFrame like = f;
        frame_make_stand_in(&f, &key, &like);
      } else {
        f = altered_audio(f);
        f.interpolate_flags = kind == 1 ? 0x40 : kind == 2 ? 0x20 : 0x60;
      }
      // Appended piece by piece: g++ 12 at -O2 takes `" " + std::to_string(...)` for an overlapping
      // copy (-Wrestrict), which fails the Release build that warns nothing.
      drawn += ' ';
      drawn += std::to_string(i + 1);
      drawn += ':';
      drawn += std::to_string(at + static_cast<size_t>(slices[i].first));
    }
    // A time pack damaged in this copy alone, amid frames in order.
    if (rng_chance(rng, 0.2) && image.size() > 20) {
      size_t at = static_cast<size_t>(rng_range(rng, 5, static_cast<int>(image.size()) - 6));
      size_t on_tape = at + static_cast<size_t>(slices[i].first);
      bool amid = true;
      for (size_t k = on_tape - 2; k <= on_tape + 2; ++k) amid = amid && tape.places[k] == PLACE_IN_ORDER;
      if (amid) {
        image[at] = retimed(image[at], time_code_frames(decode_frame(&image[at]).absolute.code) + 5000);
        drawn += " time " + std::to_string(i + 1) + ":" + std::to_string(on_tape);
      }
    }
    std::string name = std::to_string(i + 1) + ".img";
    Tape written;
    written.frames = image;
    tape_write(written, dir + "/" + name);
    args.push_back(name);
    files.push_back(name);
    images.push_back(image);
  }
  std::string layout;
  for (const Slice& s : slices) layout += " [" + std::to_string(s.first) + "," + std::to_string(s.last) + ")";
  add_fault(v, "merged images", layout + " damaged" + drawn);
  *describe = "kestrel-merge OUT.img";
  for (size_t i = 1; i < args.size(); ++i) *describe += " " + args[i];

  ProcessOptions options;
  options.cwd = dir;
  options.timeout_s = 120;
  ProcessResult result = run_process(build_path("kestrel-merge"), args, options);
  check(v, !result.timed_out && result.term_signal == 0, "kestrel-merge did not end by itself");
  if (apart) {
    check(v, result.exit_code == 1, "exit code " + std::to_string(result.exit_code) + ", expected 1");
    check(v, result.err.find("kestrel-merge: 2.img shares no frame with 1.img") != std::string::npos,
          "the refusal was not said: " + result.err.substr(0, 300));
    check_files(v, dir, files);
    return;
  }
  check(v, result.exit_code == 0, "exit code " + std::to_string(result.exit_code) + ", expected 0: " +
                                      result.err.substr(0, 300));
  check(v, result.err.empty(), "standard error: " + result.err.substr(0, 300));
  // Every frame any image has, once, in tape order: the best copy, among
  // equals the first image's.
  std::vector<DatFrame> expected;
  for (int at = 0; at < size; ++at) {
    const DatFrame* best = nullptr;
    for (size_t i = 0; i < slices.size(); ++i) {
      if (at < slices[i].first || at >= slices[i].last) continue;
      const DatFrame& copy = images[i][static_cast<size_t>(at - slices[i].first)];
      if (!best || copy_rank_of(copy) > copy_rank_of(*best)) best = &copy;
    }
    if (best) expected.push_back(*best);
  }
  size_t partial = 0;
  std::vector<DatFrame> merged = read_frames(dir + "/OUT.img", &partial);
  size_t bad = merged.size();
  for (size_t i = 0; i < merged.size() && i < expected.size() && bad == merged.size(); ++i)
    if (std::memcmp(&merged[i], &expected[i], sizeof(DatFrame)) != 0) bad = i;
  check(v, partial == 0 && merged.size() == expected.size(),
        "OUT.img holds " + std::to_string(merged.size()) + " frames, expected " + std::to_string(expected.size()));
  check(v, bad == merged.size(), "OUT.img record " + std::to_string(bad) + " is not the best copy of the frame there");
  files.insert(files.end(), {"OUT.img", "OUT.json", "OUT.map"});
  check_files(v, dir, files);
}

void scenario_reread(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  // /KESTREL reads a plain recording (48 kHz, no blank tape) into one WAV
  // file whose every frame is 5760 bytes of its audio.
  bool wav = rng_chance(rng, 0.4);
  if (wav) {
    tape_record(&bus.input, Recording{.program = 1}, rng_range(rng, 40, 900));
    if (rng_chance(rng, 0.5)) tape_record(&bus.input, Recording{.program = 2}, rng_range(rng, 1, 400));
  } else {
    bus.input = random_tape(rng);
  }
  int frames = static_cast<int>(bus.input.frames.size());
  bool stopeot = !wav && rng_chance(rng, 0.4);
  int passes = rng_range(rng, 1, 8);
  RunPlan plan;
  plan.args = {wav ? "/KESTREL" : "/BITTERN", "RR", "/INPUTID", "0:4", "/REREAD", std::to_string(passes)};
  if (stopeot) plan.args.push_back("/STOPEOT");
  BusKeys keys = {{"cassette", "tape.dat"}, {"seed", std::to_string(rng_range(rng, 0, 1 << 30))}};
  // Flaky frames alone and in clusters, some never readable.
  std::set<size_t> flaky, unreadable;
  std::string flaky_list, unreadable_list;
  // Now and then a repeated frame (the time of the frame before it given
  // again) between two flaky ones: the passes that read it must take it for
  // itself, never for the frame whose time it repeats.
  if (frames > 3 && rng_chance(rng, 0.25)) {
    size_t at = static_cast<size_t>(rng_range(rng, 1, frames - 2));
    DatFrame& frame = bus.input.frames[at];
    const DatFrame& before = bus.input.frames[at - 1];
    if (decode_frame(&before).absolute.valid && decode_frame(&frame).absolute.valid) {
      frame = altered_audio(before);
      flaky.insert({at - 1, at + 1});
      flaky_list += std::to_string(at - 1) + ":1 " + std::to_string(at + 1) + " ";
      add_fault(v, "repeated frame", "at frame " + std::to_string(at));
    }
  }
  int clusters = rng_range(rng, 1, 6);
  for (int c = 0; c < clusters; ++c) {
    int at = rng_chance(rng, 0.2) ? rng_range(rng, 0, 3) : rng_range(rng, 0, frames - 1);
    int length = rng_chance(rng, 0.5) ? 1 : rng_range(rng, 2, 12);
    std::string p = rng_chance(rng, 0.3) ? ":1" : rng_chance(rng, 0.5) ? "" : ":0.8";
    bool never = rng_chance(rng, 0.3);
    for (int i = at; i < std::min(at + length, frames); ++i) {
      if (flaky.count(static_cast<size_t>(i)) || unreadable.count(static_cast<size_t>(i))) continue;
      // The image keeps a stand-in for a frame no pass reads; a WAV file
      // ends before it, which is not what is checked here.
      bool gone = never && i > 0 && !wav;
      (gone ? unreadable : flaky).insert(static_cast<size_t>(i));
      (gone ? unreadable_list : flaky_list) += std::to_string(i) + p + " ";
    }
  }
  if (!flaky_list.empty()) keys.push_back({"flaky", flaky_list});
  if (!unreadable_list.empty()) keys.push_back({"flaky_unreadable", unreadable_list});
  int slop = rng_range(rng, 0, 8);
  keys.push_back({"locate_slop", std::to_string(slop)});
  add_fault(v, "flaky frames", flaky_list + "/ unreadable " + unreadable_list);
  add_fault(v, "locate slop", std::to_string(slop));
  bool interrupted = rng_chance(rng, 0.2);
  if (interrupted) {
    int at = rng_range(rng, 1, frames * 2 + 5);
    plan.bus_keys.push_back({"interrupt_at", std::to_string(at)});
    add_fault(v, "SIGINT", "at transfer " + std::to_string(at));
  }
  plan.drives = {{"0:4", keys}};
  std::vector<std::string> files = {"bus.ini"};
  files.insert(files.end(), wav ? std::initializer_list<std::string>{"RR001.wav", "RR001.log"}
                                : std::initializer_list<std::string>{"RR.img", "RR.map"});
  put_input_tape(bus, dir, "tape.dat", &files);
  *describe = plan.describe();

  // The frames a run without any misread saves.
  std::vector<size_t> saved;
  if (wav) {
    for (size_t i = 0; i < bus.input.frames.size(); ++i) saved.push_back(i);
  } else {
    saved = model_dump(stopeot, &bus, "RR.img", false).saved;
  }
  ProcessResult result = run_plan(plan, dir);
  if (!wav && file_exists(dir + "/RR.img.json")) files.push_back("RR.img.json");  // the image's own account

  size_t partial = 0;
  std::vector<DatFrame> records;
  if (wav) {
    // The WAV file's frames as records with the tape's subcode, to be
    // checked as the image's are.
    WavFile file = read_wav(dir + "/RR001.wav");
    check(v, file.valid, "RR001.wav: the header does not agree with the file");
    partial = file.data.size() % DAT_AUDIO_BYTES;
    for (size_t i = 0; (i + 1) * DAT_AUDIO_BYTES <= file.data.size(); ++i) {
      DatFrame record = i < saved.size() ? bus.input.frames[i] : DatFrame{};
      std::memcpy(record.audio, file.data.data() + i * DAT_AUDIO_BYTES, DAT_AUDIO_BYTES);
      // Altered samples of a flaky frame: a damaged copy, both channels flagged.
      if (flaky.count(i) && std::memcmp(record.audio, bus.input.frames[i].audio, DAT_AUDIO_BYTES) != 0)
        record.interpolate_flags |= 0x60;
      records.push_back(record);
    }
  } else {
    records = read_frames(dir + "/RR.img", &partial);
  }
  check(v, partial == 0, "the output ends in a part of a frame");
  if (interrupted)
    check(v, records.size() <= saved.size(), "more frames than the tape has to give");
  else
    check(v, records.size() == saved.size(),
          "the output holds " + std::to_string(records.size()) + " frames, expected " + std::to_string(saved.size()));
  size_t bad = records.size();
  for (size_t i = 0; i < records.size() && i < saved.size() && bad == records.size(); ++i) {
    size_t index = saved[i];
    const DatFrame& want = bus.input.frames[index];
    bool same = std::memcmp(&records[i], &want, sizeof want) == 0;
    if (!same && flaky.count(index)) {
      DatFrame copy = damaged_copy(want);
      same = std::memcmp(&records[i], &copy, sizeof copy) == 0;
    }
    if (!same && unreadable.count(index)) same = is_stand_in(records[i]);
    if (!same) bad = i;
  }
  check(v, bad == records.size(),
        "record " + std::to_string(bad) + " is not the tape's frame there: a frame lost, doubled or out of order");
  check_files(v, dir, files);
  bool damaged = std::any_of(records.begin(), records.end(), [](const DatFrame& r) { return r.interpolate_flags; });
  int expected = exit_code_of(false, damaged);
  // A Ctrl-C may come after the last record, and still end the run early.
  if (interrupted && (result.exit_code == 6 || records.size() < saved.size())) expected = 6;
  check_process(v, result, expected);
}
