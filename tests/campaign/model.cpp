// SPDX-License-Identifier: MIT
#include "tests/campaign/model.h"

#include <cstdio>
#include <cstring>

#include "base/dat_format.h"
#include "datframe/frame_build.h"
#include "datframe/frame_copy.h"
#include "tests/campaign/campaign.h"

namespace {

const int kBlankStretchEnd = 62;  // the blank frame that ends reading
const int kTrackSplitFrames = 300;

bool has_packs(const DatFrame& frame) {
  for (const uint8_t* pack : frame.pack)
    if (pack[0] >> 4) return true;
  return false;
}

// A recorder's lead-in: program number 0BB in the sub-ID or a time pack.
bool in_lead_in(const DatFrame& frame) {
  if ((frame.sid_pno1 >> 4) == 0 && frame.sid_pno23 == 0xBB) return true;
  for (const uint8_t* pack : frame.pack) {
    int item = pack[0] >> 4;
    if ((item == 1 || item == 2) && (pack[0] & 0x0F) == 0 && pack[1] == 0xBB) return true;
  }
  return false;
}

// The sub-ID's program number when it is a valid one (1 to 799), else 0.
int valid_program(const DatFrame& frame) {
  int hundreds = frame.sid_pno1 >> 4, tens = frame.sid_pno23 >> 4, units = frame.sid_pno23 & 0x0F;
  if (hundreds > 7 || tens > 9 || units > 9) return 0;
  return hundreds * 100 + tens * 10 + units;
}

// Under /STOPEOT, the run ends once the drive has answered this many reads
// in a row with the end of the recorded data.
const int kEndOfDataReads = 62;

std::string rate_text(int rate_code) {
  return rate_code == 1 ? "44100" : rate_code == 2 ? "32000" : "48000";
}

// The mode cannot start or go on: it says why and ends with exit code 6.
template <typename Outcome>
Outcome cannot_go_on(Outcome out, const std::string& message) {
  out.said.push_back(message);
  out.exit_code = 6;
  return out;
}

// Audio bytes of a frame at a rate code for 16-bit (or long-play) samples.
int audio_bytes(int rate_code, bool long_play) {
  switch (rate_code) {
    case 1: return 5292;
    case 2: return long_play ? DAT_LP_PCM_BYTES : 3840;
    default: return DAT_AUDIO_BYTES;
  }
}

}  // namespace

std::string hex_word(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", word);
  return text;
}

std::string hex_word8(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "%.8x", word);
  return text;
}

EarlyOutcome model_early_interruption(bool seek, int poll) {
  EarlyOutcome out;
  const std::string wait = " - waiting (up to 60 seconds) for tape to mount...";
  const std::string ended = "Interrupted before the mode began\n";
  if (!seek) {
    // The wait ends at the interrupt, and the set-up with it.
    out.said = {wait + "interrupted\n" + ended};
    out.not_said = {" - setting drive in audio mode..."};
    return out;
  }
  // Poll 1 finds the tape ready. The seek reads the position once (poll 2);
  // each pass of its watch then polls TEST UNIT READY and reads the position
  // again, with a progress line. The watch ends at its next look at the
  // interrupt: the pause after a TEST UNIT READY that is not ready.
  out.said = {wait + "done\n", "\n" + ended};
  out.not_said = {"Drive didn't complete seek", "Seek failed"};
  out.progress_lines = static_cast<size_t>((poll - 2) / 2);
  return out;
}

int exit_code_of(bool ended_early, bool damaged) { return ended_early ? 6 : damaged ? 5 : 0; }

int exit_code_of(const ReportModel& report) { return exit_code_of(report.ended_early, !report.events.empty()); }

void ReportModel::read(const ReadResult& r, const std::vector<DatFrame>& input) {
  if (r.ok) {
    if (input[r.index].interpolate_flags) events.push_back({frames, "interpolated"});
    ++frames;
  } else if (r.word != kWordEndOfData && r.word != kWordNoTape) {
    events.push_back({frames, "unreadable"});
    ++frames;
  }
}

std::string lost_place_text(uint32_t word) {
  return word == kWordTimedOut ? "the drive did not answer in time: the read ends here"
                               : "a read was cut off on the way (bus reset or short transfer): the place on the "
                                 "tape is not known and the read ends here";
}

ReadResult model_read(ModelBus* bus) {
  ReadResult r;
  if (++bus->reads == bus->lost_at && bus->lost != LOST_SHORT) {
    // Cut off before the drive moved: not a transfer (no SIGINT is raised at it).
    r.lost = true;
    r.word = bus->lost == LOST_HANG ? kWordTimedOut : kWordCutOff;
    return r;
  }
  if (++bus->transfers == bus->interrupt_at) bus->interrupt_pending = true;
  if (!bus->input_tape) {
    r.word = kWordNoTape;
  } else if (!bus->input_audio) {
    r.word = kWordNotAudio;
  } else if (bus->input_position >= bus->input.frames.size()) {
    r.word = kWordEndOfData;
  } else {
    r.index = bus->input_position++;
    r.ok = bus->read_errors.count(r.index) == 0;
    if (!r.ok) r.word = kWordReadError;
    if (r.ok && bus->reads == bus->lost_at) {
      // A frame that came in part.
      r.ok = false;
      r.lost = true;
      r.word = kWordCutOff;
    }
  }
  return r;
}

uint32_t model_write(ModelBus* bus, const DatFrame& frame) {
  if (++bus->transfers == bus->interrupt_at) bus->interrupt_pending = true;
  ++bus->output_writes;
  if (bus->write_protect) return kWordWriteProtect;
  if (!bus->output_audio) return kWordNotAudio;
  if (bus->output_writes == bus->write_error_at) return bus->write_error_word;
  size_t at = bus->output_position;
  if (bus->capacity >= 0 && static_cast<long long>(at) >= bus->capacity) return kWordOverflow;
  if (bus->file_size_limit >= 0 && static_cast<long long>((at + 1) * sizeof(DatFrame)) > bus->file_size_limit)
    return kWordWriteMedium;
  if (at < bus->output.size())
    bus->output[at] = frame;
  else
    bus->output.push_back(frame);
  ++bus->output_position;
  return 0;
}

bool model_esc(ModelBus* bus) {
  ++bus->polls;
  if (bus->interrupt_pending) {
    bus->interrupt_pending = false;
    return true;
  }
  return bus->polls == bus->esc_poll;
}

void model_analyze(ReaderState* s, const DatFrame& frame) {
  s->start_id_found = false;
  if (has_packs(frame)) {
    s->blank_run = 0;
    s->no_subcode = false;
  } else {
    s->no_subcode = true;
    if (++s->blank_run == kBlankStretchEnd) s->stop = true;
  }
  int rate = (frame.main_id_format >> 2) & 3;
  s->rate_changed = rate != s->rate_code;
  s->rate_code = rate;
  s->long_play = (frame.main_id_mode >> 6) == 1;
  if ((frame.sid_control & 0xF0) == 0) {
    s->start_id_seen = false;
  } else if (frame.sid_control & SID_START_ID) {
    s->start_id_found = !s->start_id_seen;
    s->start_id_seen = true;
  }
  if (s->stopeot) s->stop = false;
}

namespace {

ExtractOutcome extract_as_documented(const ExtractSwitches& sw, ModelBus* bus, const std::string& base,
                                     int wav_blocked, int log_blocked) {
  ExtractOutcome out;
  ReaderState s;
  s.stopeot = sw.stopeot;
  const std::vector<DatFrame>& frames = bus->input.frames;
  ReadResult r = model_read(bus);
  out.report.read(r, frames);
  if (!r.ok) {
    return cannot_go_on(out, r.lost ? " - " + lost_place_text(r.word) + "\n" : "first read audio block failed\n");
  }
  model_analyze(&s, frames[r.index]);
  size_t current = r.index;
  if (sw.rewind) {
    while (s.no_subcode || in_lead_in(frames[current])) {
      r = model_read(bus);
      out.report.read(r, frames);
      if (!r.ok) {
        return cannot_go_on(out, r.lost ? " - " + lost_place_text(r.word) + "\n"
                                        : "leadin read audio block failed: 0x" + hex_word8(r.word) + "\n");
      }
      model_analyze(&s, frames[r.index]);
      current = r.index;
      if (model_esc(bus)) {
        out.report.ended_early = true;
        return out;
      }
    }
    out.said.push_back(" - scanning past lead-in: done        \n");
  }
  s.stop = false;
  bool valid = true;
  // A frame that was read is analysed and becomes the current one; one that
  // was not is never analysed or written.
  auto read_next = [&] {
    ReadResult next = model_read(bus);
    out.report.read(next, frames);  // a lost place is the frame that did not come
    valid = next.ok;
    if (next.ok) {
      model_analyze(&s, frames[next.index]);
      current = next.index;
    }
    return next;
  };
  int end_of_data_reads = 0;
  // The frame the start phase ended on is the first written.
  for (int track = 1;; ++track) {
    std::string wav_name = base + track_number(track) + ".wav";
    if (track == wav_blocked) {
      // In the way is a folder of the file's name.
      return cannot_go_on(out, "Cannot open " + wav_name + "\nIs a directory\n");
    }
    ModelTrack t;
    t.number = track;
    t.segments.push_back(Segment{s.rate_code, ""});
    if (track == log_blocked) {
      t.log_created = false;
      out.tracks.push_back(t);
      return cannot_go_on(out, "Cannot open " + base + track_number(track) + ".log\nIs a directory\n");
    }
    s.rate_changed = false;
    s.stop = false;
    s.start_id_found = false;
    int in_file = 0;
    bool audible = false;  // a sample that is not zero since the file began or started over
    int file_program = 0;  // the valid program number of the file's frames (/BYPROGRAM)
    size_t place_bytes = 0;  // the PCM bytes of the frame written last
    while (!s.stop && !(s.start_id_found && sw.startid)) {
      if (valid) {
        const DatFrame& frame = frames[current];
        // Every frame gives its own samples.
        std::string pcm;
        if (s.long_play)
          pcm = tape_pcm(bus->input, current, current + 1);
        else
          pcm.assign(reinterpret_cast<const char*>(frame.audio), static_cast<size_t>(audio_bytes(s.rate_code, false)));
        if (frame.interpolate_flags) {
          t.flags.push_back(frame.interpolate_flags);
          if (sw.errorcorrect && !s.long_play) {
            int repaired = conceal_errors(&frame, reinterpret_cast<uint8_t*>(pcm.data()),
                                          static_cast<int32_t>(pcm.size()), frame.interpolate_flags);
            t.totals.samples_fixed += repaired;
            (repaired > 0 ? t.totals.frames_fixed : t.totals.frames_not_fixed) += 1;
          } else {
            t.totals.frames_not_fixed += 1;
          }
        }
        t.segments.back().audio += pcm;
        t.segments.back().positions += 1;
        t.segments.back().span_samples += static_cast<int64_t>(pcm.size() / 4);
        place_bytes = pcm.size();
        if (pcm.find_first_not_of('\0') != std::string::npos) audible = true;
        ++in_file;
        if (valid_program(frame) != 0) file_program = valid_program(frame);
      }
      r = read_next();
      if (r.ok) {
        end_of_data_reads = 0;
      } else if (r.word == kWordEndOfData) {
        // Said once, as it ends the reading (no failed read).
        if (!sw.stopeot || ++end_of_data_reads >= kEndOfDataReads) {
          s.stop = true;
          out.said.push_back(" - end of the recorded data\n");
        }
      } else if (r.lost) {
        // No frame came and none will from where the drive stands, /STOPEOT or not.
        s.stop = true;
        out.said.push_back(" - " + lost_place_text(r.word) + "\n");
        out.report.ended_early = true;
      } else {
        out.said.push_back("loop2 read audio block failed: " + hex_word(r.word) + "\n");
        ++out.loop_read_failures;
        end_of_data_reads = 0;
        ++t.unreadable;
        // Its place keeps the length of the frame before in silence.
        t.segments.back().audio += std::string(place_bytes, '\0');
        t.segments.back().positions += 1;
        t.segments.back().span_samples += static_cast<int64_t>(place_bytes / 4);
        if (!sw.stopeot) {
          s.stop = true;
          out.report.ended_early = true;  // a frame is missing, and the rest
        }
      }
      if (model_esc(bus)) {
        s.stop = true;
        out.report.ended_early = true;
      }
      if (!valid) continue;
      if (s.start_id_found && in_file < kTrackSplitFrames) s.start_id_found = false;
      // /BYPROGRAM: a new valid program number begins the next file.
      int next_program = valid_program(frames[current]);
      if (sw.byprogram && file_program != 0 && next_program != 0 && next_program != file_program) break;
      if (s.rate_changed) {
        int file_rate = t.segments.back().rate_code;
        if (in_file < kTrackSplitFrames && !audible) {
          // A file of silence starts over at the new rate.
          t.segments.push_back(Segment{s.rate_code, ""});
          in_file = 0;
          s.rate_changed = false;
        } else if (sw.onewav) {
          // Kept in the file, which plays at the wrong speed where the rate differs.
          s.rate_changed = false;
          if (rate_text(s.rate_code) != rate_text(file_rate)) {
            out.said.push_back(" - " + wav_name + " stays at " + rate_text(file_rate) + " Hz across a change to " +
                               rate_text(s.rate_code) + " Hz: from here it plays at the wrong speed\n");
          } else {
            out.said.push_back(" - back to " + rate_text(s.rate_code) + " Hz: from here " + wav_name +
                               " plays at the right speed\n");
          }
        } else {
          break;
        }
      }
    }
    out.tracks.push_back(t);
    if (s.stop) return out;
  }
}

}  // namespace

ExtractOutcome model_extract(const ExtractSwitches& sw, ModelBus* bus, const std::string& base, int wav_blocked,
                             int log_blocked) {
  ExtractOutcome out = extract_as_documented(sw, bus, base, wav_blocked, log_blocked);
  if (out.exit_code == 0) out.exit_code = exit_code_of(out.report);
  return out;
}

namespace {

// The first frame of /BITTERN and /PINTAIL, analysed, and passed on like
// every other. When it cannot be read (the mode cannot start), what is said.
std::string first_frame(ModelBus* bus, ReaderState* s, size_t* index, ReportModel* report) {
  ReadResult r = model_read(bus);
  report->read(r, bus->input.frames);
  if (r.lost) return " - " + lost_place_text(r.word) + " (0x" + hex_word8(r.word) + ")\n";
  if (!r.ok) return "read audio block failed\n";
  model_analyze(s, bus->input.frames[r.index]);
  s->stop = false;
  *index = r.index;
  return "";
}

// The sub-ID's program number, three BCD digits.
int sub_id_program(const DatFrame& frame) { return (frame.sid_pno1 >> 4) << 8 | frame.sid_pno23; }

bool is_number(int program) {
  int hundreds = program >> 8, tens = program >> 4 & 0x0F, units = program & 0x0F;
  return hundreds <= 7 && tens <= 9 && units <= 9 && program != 0;
}

bool is_lead(int program) { return program == PROGRAM_LEAD_IN || program == PROGRAM_LEAD_OUT; }

// The frame's absolute time in frames (its absolute-time pack), -1 when none.
int64_t absolute_time(const DatFrame& frame) {
  int64_t time = -1;
  for (const uint8_t* pack : frame.pack)
    if ((pack[0] >> 4) == PACK_ITEM_ABSOLUTE_TIME) time = dat_frames_of_time_code(pack + 3);
  return time;
}

// The stand-ins of count frames no read could give, which followed the
// frame read before (and the frame read after them: nullptr when none
// followed). They lie one after the other from the time after the frame
// before, when the frame after carries the time that follows them or none
// follows; else their place has no time. Their program number is the number
// (1 to 799) of the frame before, else of the frame after, else the lead-in
// or lead-out of either; the main ID that of the frame before.
std::vector<DatFrame> stand_ins(const DatFrame& before, const DatFrame* after, size_t count, int64_t* first_time) {
  int64_t time = absolute_time(before);
  bool counted = time >= 0 && (!after || absolute_time(*after) == time + static_cast<int64_t>(count) + 1);
  int program = -1;
  const int around[2] = {sub_id_program(before), after ? sub_id_program(*after) : -1};
  for (int p : around)
    if (program < 0 && p >= 0 && is_number(p)) program = p;
  for (int p : around)
    if (program < 0 && is_lead(p)) program = p;
  *first_time = counted ? time + 1 : -1;
  std::vector<DatFrame> out(count);
  for (size_t i = 0; i < count; ++i) {
    FrameKey key{counted ? time + 1 + static_cast<int64_t>(i) : -1, program};
    frame_make_stand_in(&out[i], &key, &before);
  }
  return out;
}

// The loop of /BITTERN and /PINTAIL from the frame read first: each frame
// read goes on through put (false: the write failed, and the run ends), and
// under /STOPEOT each unreadable frame as a stand-in once the frame after
// it tells where it lies; index is the tape frame a frame is or stands for.
template <typename Put>
void pass_frames(bool stopeot, bool copy, ModelBus* bus, ReaderState* s, size_t first, ReportModel* report,
                 std::vector<std::string>* said, Put put) {
  const std::vector<DatFrame>& frames = bus->input.frames;
  size_t last_read = first;
  std::vector<size_t> waiting;
  int written_stand_ins = 0;
  // false when a write failed.
  auto put_waiting = [&](const DatFrame* after) {
    if (waiting.empty()) return true;
    int64_t time = -1;
    std::vector<DatFrame> records = stand_ins(frames[last_read], after, waiting.size(), &time);
    said->push_back(" - " + std::to_string(waiting.size()) + " unreadable frames at " +
                    (time >= 0 ? tape_time_text(static_cast<size_t>(time)) : std::string("(no time)")) + ": " +
                    (copy ? "written" : "kept") + " as silent stand-ins\n");
    for (size_t i = 0; i < records.size(); ++i) {
      if (!put(records[i], waiting[i])) return false;
      ++written_stand_ins;
    }
    waiting.clear();
    return true;
  };
  for (bool have_first = true;; have_first = false) {
    bool esc = model_esc(bus);
    bool stop = false, write_failed = false;
    if (have_first) {
      write_failed = !put(frames[first], first);
    } else {
      ReadResult r = model_read(bus);
      report->read(r, frames);
      if (r.ok) {
        model_analyze(s, frames[r.index]);
        write_failed = !put_waiting(&frames[r.index]) || !put(frames[r.index], r.index);
        last_read = r.index;
      } else if (r.word == kWordReadError && stopeot) {
        waiting.push_back(r.index);
      } else {
        stop = true;
        if (r.word == kWordEndOfData) {
          said->push_back(" - end of the recorded data\n");
        } else {
          if (copy) said->push_back("block read fail\n");
          said->push_back(r.lost ? " - " + lost_place_text(r.word) + " (0x" + hex_word8(r.word) + ")\n"
                                 : " - a frame could not be read (0x" + hex_word8(r.word) +
                                       "): reading ends here; with /STOPEOT it reads on past such frames\n");
          report->ended_early = true;
        }
      }
    }
    // ESC ends the loop also when /STOPEOT dropped the other stops.
    if (esc || write_failed) report->ended_early = true;
    if (write_failed) break;
    if (s->stop || stop || esc) {
      if (!put_waiting(nullptr)) report->ended_early = true;
      break;
    }
  }
  if (written_stand_ins > 0)
    said->push_back(" - " + std::to_string(written_stand_ins) + " frames could not be read: " +
                    (copy ? "the copy holds" : "the image keeps") + " a silent stand-in for each\n");
}

}  // namespace

DumpOutcome model_dump(bool stopeot, ModelBus* bus, const std::string& image_name, bool image_blocked) {
  DumpOutcome out;
  ReaderState s;
  s.stopeot = stopeot;
  size_t first = 0;
  std::string failed = first_frame(bus, &s, &first, &out.report);
  if (!failed.empty()) return cannot_go_on(out, failed);
  out.said.push_back("Saving DAT tape in IMG file:" + image_name + "\n");
  if (image_blocked) {
    return cannot_go_on(out, "Cannot open " + image_name + "\nIs a directory\n");
  }
  out.image_created = true;
  out.said_before_saving = out.said.size();
  pass_frames(stopeot, false, bus, &s, first, &out.report, &out.said, [&](const DatFrame& frame, size_t index) {
    out.records.push_back(frame);
    out.saved.push_back(index);
    return true;
  });
  out.exit_code = exit_code_of(out.report);
  return out;
}

WriteOutcome model_restore(bool stopeot, ModelBus* bus, const std::vector<DatFrame>& records, ImageState image,
                           const std::string& image_name, size_t short_bytes) {
  WriteOutcome out;
  out.said.push_back("Copying IMG file: " + image_name + " to DAT tape\n");
  if (image == IMAGE_MISSING) {
    return cannot_go_on(out, "Cannot open " + image_name + "\nNo such file or directory\n");
  }
  ReaderState s;
  s.stopeot = stopeot;
  bool ended_early = false, damaged = false;
  for (size_t next = 0;; ++next) {
    bool esc = model_esc(bus);
    if (image == IMAGE_UNREADABLE) {
      // A folder of the image's name: it opens, but no read succeeds.
      return cannot_go_on(out, "read from " + image_name + " failed: Is a directory\n");
    }
    if (next >= records.size()) {
      s.stop = true;
      if (short_bytes > 0) {
        // Not an image that has ended: its last record is cut short.
        out.said.push_back(" - " + image_name + " ends in a short record of " + std::to_string(short_bytes) +
                           " bytes, less than a frame: it is not written, and the run ends as failed\n");
        ended_early = true;
      }
    } else {
      model_analyze(&s, records[next]);
      damaged = damaged || records[next].interpolate_flags != 0;
      if (model_write(bus, records[next]) != 0) {
        out.said.push_back("write block fail\n");
        s.stop = true;
        ended_early = true;
      }
    }
    // ESC ends the loop also when /STOPEOT dropped the other stops.
    if (esc) ended_early = true;
    if (s.stop || esc) {
      out.exit_code = exit_code_of(ended_early, damaged);
      return out;
    }
  }
}

WriteOutcome model_copy(bool stopeot, ModelBus* bus) {
  WriteOutcome out;
  ReaderState s;
  s.stopeot = stopeot;
  size_t first = 0;
  std::string failed = first_frame(bus, &s, &first, &out.report);
  if (!failed.empty()) return cannot_go_on(out, failed);
  pass_frames(stopeot, true, bus, &s, first, &out.report, &out.said, [&](const DatFrame& frame, size_t) {
    if (model_write(bus, frame) == 0) return true;
    out.said.push_back("block write fail\n");
    return false;
  });
  out.exit_code = exit_code_of(out.report);
  return out;
}

size_t RecordPlan::total() const {
  size_t n = kLeadInFrames + static_cast<size_t>(lead_in_silence) + static_cast<size_t>(lead_out_silence) +
             kLeadOutFrames;
  for (int t : tracks) n += static_cast<size_t>(t);
  for (int g : gaps) n += static_cast<size_t>(g);
  return n;
}

namespace {

bool is_positioning(uint32_t word) { return (word & 0xFFFFFF) == 0x033B00; }
bool is_write_protect(uint32_t word) { return (word & 0xFFFF) == 0x2700; }

// Moves the time of pack `slot` (1 or 2) by `frames`; no time stays no time.
void move_time(DatFrame* frame, int slot, int64_t frames) {
  uint8_t* time = frame->pack[slot - 1] + 3;
  int64_t now = dat_frames_of_time_code(time);
  if (now >= 0) dat_time_code_of_frames(static_cast<uint64_t>(now + frames), time);
}

// The frame with its absolute time moved back (after a lead-in silence cut short).
DatFrame moved_back(DatFrame frame, int64_t frames) {
  if (frames == 0 || (frame.pack[1][0] >> 4) != PACK_ITEM_ABSOLUTE_TIME) return frame;
  move_time(&frame, 2, -frames);
  frame_set_pack_parity(&frame);
  return frame;
}

// A silence frame `frames` later: both time codes advanced.
DatFrame advanced(DatFrame frame, int64_t frames) {
  move_time(&frame, 2, frames);
  move_time(&frame, 1, frames);
  frame_set_pack_parity(&frame);
  return frame;
}

}  // namespace

WriteOutcome model_record(ModelBus* bus, const std::vector<DatFrame>& clean, const RecordPlan& plan,
                          bool sequential) {
  WriteOutcome out;
  size_t at = 0;  // the next frame of the clean recording
  // Writes the frames [from, from + count) of the clean recording, moved back
  // by `back`; the index of the one that failed and its word, or count and 0.
  auto write_range = [&](size_t from, int count, int64_t back, uint32_t* word) {
    *word = 0;  // a range of no frames writes nothing, and fails nothing
    for (int i = 0; i < count; ++i) {
      *word = model_write(bus, moved_back(clean[from + static_cast<size_t>(i)], back));
      if (*word != 0) return i;
    }
    return count;
  };

  uint32_t word = 0;
  write_range(at, kLeadInFrames, 0, &word);
  if (word != 0) {
    out.said.push_back("fail writing lead-in frame\n");
    if (is_positioning(word)) {
      out.said.push_back("Tape positioning error.. trying again...");
      write_range(at, kLeadInFrames, 0, &word);
    }
  }
  if (word != 0) {
    out.said.push_back(is_write_protect(word) ? std::string("Tape write protect error\n")
                                              : "Tape write error " + hex_word(word) + "\n");
    out.exit_code = 6;
    return out;
  }
  at += kLeadInFrames;

  int64_t back = 0;
  if (plan.lead_in_silence > 0) {
    int done = write_range(at, plan.lead_in_silence, 0, &word);
    if (word != 0) {
      out.said.push_back("fail writing lead-in silence: " + hex_word8(word) + "\n");
      if (is_positioning(word)) {
        out.said.push_back("\n... trying again...");
        done = write_range(at, plan.lead_in_silence, 0, &word);  // from its start again
      }
      // Recording goes on; the absolute time goes on from the frame not written.
      back = plan.lead_in_silence - done;
      if (word != 0) out.exit_code = 6;  // the silence lacks frames
    }
    at += static_cast<size_t>(plan.lead_in_silence);
  }

  for (size_t t = 0; t < plan.tracks.size(); ++t) {
    if (!sequential) {
      return cannot_go_on(out, "failure - drive at 0:5:0 is not a sequential device\n");
    }
    for (int count : {plan.tracks[t], plan.gaps[t]}) {
      write_range(at, count, back, &word);
      if (word != 0) {
        out.said.push_back("write block failure: " + hex_word8(word) + "\n");
        out.exit_code = 6;
        return out;
      }
      at += static_cast<size_t>(count);
    }
  }

  if (plan.lead_out_silence > 0) {
    int done = write_range(at, plan.lead_out_silence, back, &word);
    if (word != 0) {
      out.said.push_back("fail writing lead-out silence: " + hex_word8(word) + "\n");
      if (is_positioning(word)) {
        // Again, in full, from the frame that was not written on.
        out.said.push_back("\n.. trying again...");
        DatFrame first = moved_back(clean[at + static_cast<size_t>(done)], back);
        for (int i = 0; i < plan.lead_out_silence; ++i) {
          word = model_write(bus, advanced(first, i));
          if (word != 0) {
            out.said.push_back("fail writing lead-out silence: " + hex_word8(word) + "\n");
            break;
          }
        }
      }
      if (word != 0) out.exit_code = 6;
    }
    at += static_cast<size_t>(plan.lead_out_silence);
  }

  write_range(at, kLeadOutFrames, 0, &word);
  if (word != 0) {
    out.said.push_back("fail writing lead-out frame\n");
    out.exit_code = 6;
  }
  return out;
}
