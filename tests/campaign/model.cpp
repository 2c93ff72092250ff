#include "tests/campaign/model.h"

#include "tests/campaign/campaign.h"

#include <cstdio>
#include <cstring>

namespace {

const int kBlankStretchEnd = 62;  // the blank frame that ends reading
const int kTrackSplitFrames = 300;

bool has_packs(const DatFrame& frame) {
  for (const uint8_t* pack : frame.pack)
    if (pack[0] >> 4) return true;
  return false;
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
  std::snprintf(text, sizeof text, "0x%.8x", word);
  return text;
}

ReadResult model_read(ModelBus* bus) {
  ReadResult r;
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
  }
  return r;
}

bool model_write(ModelBus* bus, const DatFrame& frame) {
  if (++bus->transfers == bus->interrupt_at) bus->interrupt_pending = true;
  ++bus->output_writes;
  if (bus->write_protect || !bus->output_audio) return false;
  if (bus->output_writes == bus->write_error_at) return false;
  size_t at = bus->output_position;
  if (bus->capacity >= 0 && static_cast<long long>(at) >= bus->capacity) return false;
  if (bus->file_size_limit >= 0 && static_cast<long long>((at + 1) * sizeof(DatFrame)) > bus->file_size_limit)
    return false;
  if (at < bus->output.size())
    bus->output[at] = frame;
  else
    bus->output.push_back(frame);
  ++bus->output_position;
  return true;
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

ExtractOutcome model_extract(const ExtractSwitches& sw, ModelBus* bus, const std::string& base, int wav_blocked,
                             int log_blocked) {
  ExtractOutcome out;
  ReaderState s;
  s.stopeot = sw.stopeot;
  const std::vector<DatFrame>& frames = bus->input.frames;
  ReadResult r = model_read(bus);
  if (!r.ok) {
    out.said.push_back("first read audio block failed\n");
    out.exit_code = 6;
    return out;
  }
  model_analyze(&s, frames[r.index]);
  size_t current = r.index;
  if (sw.rewind) {
    while (s.no_subcode) {
      r = model_read(bus);
      if (!r.ok) {
        out.said.push_back("leadin read audio block failed: " + hex_word8(r.word) + "\n");
        out.exit_code = 6;
        return out;
      }
      model_analyze(&s, frames[r.index]);
      current = r.index;
      if (model_esc(bus)) return out;
    }
    out.said.push_back(" - scanning past lead-in: done        \n");
  }
  s.stop = false;
  bool valid = true;
  // A frame that was read is analysed and becomes the current one; one that
  // was not is never analysed or written.
  auto read_next = [&] {
    ReadResult next = model_read(bus);
    valid = next.ok;
    if (next.ok) {
      model_analyze(&s, frames[next.index]);
      current = next.index;
    }
    return next;
  };
  for (int track = 1;; ++track) {
    std::string wav_name = base + track_number(track) + ".wav";
    if (track == wav_blocked) {
      out.said.push_back("Cannot open " + wav_name + "\n");
      out.exit_code = 6;
      return out;
    }
    ModelTrack t;
    t.number = track;
    t.segments.push_back(Segment{s.rate_code, ""});
    int bytes_per_frame = audio_bytes(s.rate_code, s.long_play);
    if (track == log_blocked) {
      t.log_created = false;
      out.tracks.push_back(t);
      out.said.push_back("Cannot open " + base + track_number(track) + ".log\n");
      out.exit_code = 6;
      return out;
    }
    if (track == 1) {
      r = read_next();
      if (!r.ok) out.said.push_back("loop1 read audio block failed: " + hex_word(r.word) + "\n");
    }
    s.rate_changed = false;
    s.stop = false;
    s.start_id_found = false;
    int in_file = 0;
    while (!s.stop && !(s.start_id_found && sw.startid)) {
      if (valid) {
        const DatFrame& frame = frames[current];
        std::string pcm;
        if (s.long_play) {
          bytes_per_frame = DAT_LP_PCM_BYTES;
          pcm = tape_pcm(bus->input, current, current + 1);
        } else {
          // Never more than the audio area of a 16-bit frame.
          int bytes = bytes_per_frame > DAT_AUDIO_BYTES ? audio_bytes(s.rate_code, false) : bytes_per_frame;
          pcm.assign(reinterpret_cast<const char*>(frame.audio), static_cast<size_t>(bytes));
        }
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
        ++in_file;
      }
      r = read_next();
      if (!r.ok) {
        out.said.push_back("loop2 read audio block failed: " + hex_word(r.word) + "\n");
        ++out.loop_read_failures;
        if (!sw.stopeot) s.stop = true;
      }
      if (model_esc(bus)) s.stop = true;
      if (!valid) continue;
      if (s.start_id_found && in_file < kTrackSplitFrames) s.start_id_found = false;
      if (s.rate_changed) {
        if (in_file < kTrackSplitFrames) {
          // The file starts over at the new rate.
          bytes_per_frame = audio_bytes(s.rate_code, s.long_play);
          t.segments.push_back(Segment{s.rate_code, ""});
          in_file = 0;
          s.rate_changed = false;
        } else if (sw.onewav) {
          s.rate_changed = false;
        } else {
          break;
        }
      }
    }
    out.tracks.push_back(t);
    if (s.stop) return out;
  }
}

namespace {

// The first frame of /BITTERN and /PINTAIL, analysed and not passed on. false
// when it cannot be read: the mode cannot start.
bool first_frame(ModelBus* bus, ReaderState* s, std::vector<std::string>* said) {
  ReadResult r = model_read(bus);
  if (!r.ok) {
    said->push_back("read audio block failed\n");
    return false;
  }
  model_analyze(s, bus->input.frames[r.index]);
  s->stop = false;
  return true;
}

}  // namespace

DumpOutcome model_dump(bool stopeot, ModelBus* bus, const std::string& image_name, bool image_blocked) {
  DumpOutcome out;
  ReaderState s;
  s.stopeot = stopeot;
  if (!first_frame(bus, &s, &out.said)) {
    out.exit_code = 6;
    return out;
  }
  out.said.push_back("Saving DAT tape in IMG file:" + image_name + "\n");
  if (image_blocked) {
    out.said.push_back("Cannot open " + image_name + "\n");
    out.exit_code = 6;
    return out;
  }
  out.image_created = true;
  for (;;) {
    if (model_esc(bus)) s.stop = true;
    ReadResult r = model_read(bus);
    if (!r.ok) {
      s.stop = true;
    } else {
      model_analyze(&s, bus->input.frames[r.index]);
      out.saved.push_back(r.index);
    }
    if (s.stop) return out;
  }
}

WriteOutcome model_restore(bool stopeot, ModelBus* bus, const std::vector<DatFrame>& records, bool image_exists,
                           const std::string& image_name) {
  WriteOutcome out;
  out.said.push_back("Copying IMG file: " + image_name + " to DAT tape\n");
  if (!image_exists) {
    out.said.push_back("Cannot open " + image_name + "\n");
    out.exit_code = 6;
    return out;
  }
  ReaderState s;
  s.stopeot = stopeot;
  for (size_t next = 0;; ++next) {
    if (model_esc(bus)) s.stop = true;
    if (next >= records.size()) {
      s.stop = true;
    } else {
      model_analyze(&s, records[next]);
      if (!model_write(bus, records[next])) {
        out.said.push_back("write block fail\n");
        s.stop = true;
      }
    }
    if (s.stop) return out;
  }
}

WriteOutcome model_copy(bool stopeot, ModelBus* bus) {
  WriteOutcome out;
  ReaderState s;
  s.stopeot = stopeot;
  if (!first_frame(bus, &s, &out.said)) {
    out.exit_code = 6;
    return out;
  }
  for (;;) {
    if (model_esc(bus)) s.stop = true;
    ReadResult r = model_read(bus);
    if (!r.ok) {
      out.said.push_back("block read fail\n");
      s.stop = true;
    } else {
      model_analyze(&s, bus->input.frames[r.index]);
      if (!model_write(bus, bus->input.frames[r.index])) {
        out.said.push_back("block write fail\n");
        s.stop = true;
      }
    }
    if (s.stop) return out;
  }
}
