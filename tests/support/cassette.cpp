// SPDX-License-Identifier: MIT
#include "tests/support/cassette.h"

#include <cstdio>
#include <cstring>

#include "base/dat_format.h"

namespace {

void ensure_tables() {
  static bool built = false;
  if (!built) build_frame_tables();
  built = true;
}

// The packed time code (hours in bits 31-24) of the frame count frames after 00:00:00:00.
uint32_t time_code_of_frames(uint64_t frames) {
  uint8_t b[4];
  dat_time_code_of_frames(frames, b);
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
         b[3];
}

// A different, reproducible sample pattern for every frame of the tape.
uint16_t sample_of(size_t tape_index, size_t sample) {
  uint32_t x = static_cast<uint32_t>(tape_index * 2654435761u + sample * 40503u + 12345u);
  x ^= x >> 13;
  x *= 0x5bd1e995u;
  x ^= x >> 15;
  return static_cast<uint16_t>(x);
}

void fill_audio(DatFrame* frame, size_t tape_index, bool long_play) {
  if (!long_play) {
    for (size_t i = 0; i < DAT_AUDIO_BYTES / 2; ++i) {
      uint16_t v = sample_of(tape_index, i);
      frame->audio[2 * i] = static_cast<uint8_t>(v);
      frame->audio[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return;
  }
  // Samples that the 12-bit curve holds exactly, packed in the tape's order.
  uint8_t pcm[DAT_LP_PCM_BYTES];
  for (size_t i = 0; i < DAT_LP_PCM_BYTES / 2; ++i) {
    int32_t value = lp_expand(sample_of(tape_index, i) & 0xFFF);
    pcm[2 * i] = static_cast<uint8_t>(value);
    pcm[2 * i + 1] = static_cast<uint8_t>(value >> 8);
  }
  lp_pack_frame(frame->audio, pcm);
}

// Program number 0, code (0BB, 0EE) in the sub-ID and the time packs of [first, last).
void mark_program_code(Tape* tape, size_t first, size_t last, uint8_t code) {
  for (size_t i = first; i < last; ++i) {
    DatFrame& f = tape->frames.at(i);
    f.sid_pno1 = static_cast<uint8_t>(f.sid_pno1 & 0x0F);
    f.sid_pno23 = code;
    for (uint8_t* pack : f.pack) {
      if ((pack[0] >> 4) != PACK_ITEM_PROGRAM_TIME && (pack[0] >> 4) != PACK_ITEM_ABSOLUTE_TIME) continue;
      pack[0] = static_cast<uint8_t>(pack[0] & 0xF0);
      pack[1] = code;
    }
  }
}

}  // namespace

void recording_frame(DatFrame* frame, const Recording& r, int count, uint32_t absolute, size_t tape_index) {
  ensure_tables();
  std::memset(frame, 0, sizeof *frame);
  fill_audio(frame, tape_index, r.long_play);
  int packs = 0;
  if (r.times) {
    frame_set_time_pack(frame, ++packs, PACK_ITEM_PROGRAM_TIME, program_number_bcd(r.program), 0x01,
                        time_code_of_frames(static_cast<uint32_t>(count)));
    if (r.absolute_time)
      frame_set_time_pack(frame, ++packs, PACK_ITEM_ABSOLUTE_TIME, program_number_bcd(r.program), 0x01,
                          time_code_of_frames(absolute));
  }
  if (r.date) frame_set_date_pack(frame, ++packs, &*r.date);
  frame_set_sub_id(frame, program_number_bcd(r.program), packs);
  frame_set_pack_parity(frame);
  frame_set_control_id(frame, count < r.start_id_frames ? SID_PRIORITY | SID_START_ID : 0);
  frame_set_main_id(frame, r.long_play ? 2 : r.rate_code, 0, r.long_play ? 1 : 0, r.scms);
}

void lead_out_frame(DatFrame* frame) {
  std::memset(frame, 0, sizeof *frame);
  frame_set_time_pack(frame, 1, PACK_ITEM_PROGRAM_TIME, PROGRAM_LEAD_OUT, 1, TIME_CODE_NONE);
  frame_set_time_pack(frame, 2, PACK_ITEM_ABSOLUTE_TIME, PROGRAM_LEAD_OUT, 1, TIME_CODE_NONE);
  frame_set_sub_id(frame, PROGRAM_LEAD_OUT, 2);
  frame_set_pack_parity(frame);
  frame_set_control_id(frame, SID_PRIORITY);
  frame_set_main_id(frame, 0, 0, 0, 0);
}

size_t tape_record(Tape* tape, const Recording& r, int count) {
  size_t first = tape->frames.size();
  for (int i = 0; i < count; ++i) {
    DatFrame frame;
    recording_frame(&frame, r, i, tape->absolute_frames, tape->frames.size());
    tape->frames.push_back(frame);
    ++tape->absolute_frames;
  }
  return first;
}

size_t tape_blank(Tape* tape, int count) {
  size_t first = tape->frames.size();
  DatFrame frame;
  std::memset(&frame, 0, sizeof frame);
  tape->frames.insert(tape->frames.end(), static_cast<size_t>(count), frame);
  return first;
}

void tape_flag(Tape* tape, size_t index, uint8_t flags) { tape->frames.at(index).interpolate_flags = flags; }

void tape_mark_lead_in(Tape* tape, size_t first, size_t last) { mark_program_code(tape, first, last, 0xBB); }

void tape_mark_lead_out(Tape* tape, size_t first, size_t last) { mark_program_code(tape, first, last, 0xEE); }

void tape_date(Tape* tape, size_t first, size_t last, const FrameDate& date) {
  for (size_t i = first; i < last; ++i) {
    DatFrame& f = tape->frames.at(i);
    frame_set_date_pack(&f, 3, &date);
    f.sid_pno1 = static_cast<uint8_t>((f.sid_pno1 & 0xF0) | 3);
    frame_set_pack_parity(&f);
  }
}

Tape tape_out_of_order() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 600);
  auto& f = tape.frames;
  f.erase(f.begin() + 300);
  DatFrame stray = f[500 - 1];
  f.insert(f.begin() + 201, stray);
  DatFrame repeat = f[100];
  f.insert(f.begin() + 101, repeat);
  return tape;
}

Tape tape_of_programs(const std::vector<ProgramLength>& programs, int start_id_frames) {
  Tape tape;
  for (const ProgramLength& p : programs)
    tape_record(&tape,
                Recording{.program = p.number, .start_id_frames = start_id_frames, .absolute_time = p.absolute_time},
                p.frames);
  return tape;
}

bool tape_write(const Tape& tape, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = tape.frames.empty() || std::fwrite(tape.frames.data(), sizeof(DatFrame), tape.frames.size(), f) ==
                                       tape.frames.size();
  return std::fclose(f) == 0 && ok;
}

std::vector<DatFrame> tape_read(const std::string& path) {
  std::vector<DatFrame> frames;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return frames;
  DatFrame frame;
  while (std::fread(&frame, sizeof frame, 1, f) == 1) frames.push_back(frame);
  std::fclose(f);
  return frames;
}
