#include "tests/support/e2e/tape.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "datframe/frame_build.h"
#include "tests/support/temp_dir.h"

namespace {

void ensure_tables() {
  static bool built = false;
  if (!built) build_frame_tables();
  built = true;
}

uint32_t time_code_of_frames(uint32_t frames) {
  uint32_t in_group = frames % 100;
  uint32_t second_in_group = in_group < 33 ? 0 : in_group < 66 ? 1 : 2;
  uint32_t seconds = frames / 100 * 3 + second_in_group;
  return time_code_from_values(static_cast<int32_t>(seconds / 3600), static_cast<int32_t>(seconds / 60 % 60),
                               static_cast<int32_t>(seconds % 60),
                               static_cast<int32_t>(in_group - 33 * second_in_group));
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

}  // namespace

size_t tape_record(Tape* tape, const Recording& r, int count) {
  ensure_tables();
  size_t first = tape->frames.size();
  for (int i = 0; i < count; ++i) {
    DatFrame frame;
    std::memset(&frame, 0, sizeof frame);
    size_t index = tape->frames.size();
    fill_audio(&frame, index, r.long_play);
    int packs = 0;
    if (r.times) {
      frame_set_time_pack(&frame, 1, PACK_ITEM_PROGRAM_TIME, program_number_bcd(r.program), 0x01,
                          time_code_of_frames(static_cast<uint32_t>(i)));
      frame_set_time_pack(&frame, 2, PACK_ITEM_ABSOLUTE_TIME, program_number_bcd(r.program), 0x01,
                          time_code_of_frames(tape->absolute_frames));
      packs = 2;
    }
    frame_set_sub_id(&frame, program_number_bcd(r.program), packs);
    frame_set_pack_parity(&frame);
    frame_set_control_id(&frame, i < r.start_id_frames ? SID_PRIORITY | SID_START_ID : 0);
    frame_set_main_id(&frame, r.long_play ? 2 : r.rate_code, 0, r.long_play ? 1 : 0, r.scms);
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

namespace {

// Gives the frames [first, last) the program number 0xx of a recorder's
// lead-in (BB) or lead-out (EE) in the sub-ID and the time packs.
void mark_program(Tape* tape, size_t first, size_t last, uint8_t number) {
  for (size_t i = first; i < last; ++i) {
    DatFrame& f = tape->frames.at(i);
    f.sid_pno1 = static_cast<uint8_t>(f.sid_pno1 & 0x0F);
    f.sid_pno23 = number;
    for (uint8_t* pack : f.pack) {
      if ((pack[0] >> 4) != PACK_ITEM_PROGRAM_TIME && (pack[0] >> 4) != PACK_ITEM_ABSOLUTE_TIME) continue;
      pack[0] = static_cast<uint8_t>(pack[0] & 0xF0);
      pack[1] = number;
    }
  }
}

}  // namespace

void tape_mark_lead_in(Tape* tape, size_t first, size_t last) { mark_program(tape, first, last, 0xBB); }

void tape_mark_lead_out(Tape* tape, size_t first, size_t last) { mark_program(tape, first, last, 0xEE); }

bool tape_write(const Tape& tape, const std::string& path) {
  std::string bytes(reinterpret_cast<const char*>(tape.frames.data()), tape.frames.size() * sizeof(DatFrame));
  return write_file(path, bytes);
}

std::vector<DatFrame> tape_read(const std::string& path) {
  std::string bytes = read_file(path);
  std::vector<DatFrame> frames(bytes.size() / sizeof(DatFrame));
  if (!frames.empty()) std::memcpy(frames.data(), bytes.data(), frames.size() * sizeof(DatFrame));
  return frames;
}

std::string tape_pcm(const Tape& tape, size_t first, size_t last, int bytes_per_frame) {
  ensure_tables();
  std::string pcm;
  for (size_t i = first; i < last; ++i) {
    const DatFrame& frame = tape.frames.at(i);
    if ((frame.main_id_mode >> 6) == 1) {
      uint8_t expanded[DAT_LP_PCM_BYTES];
      lp_unpack_frame(expanded, &frame);
      pcm.append(reinterpret_cast<const char*>(expanded), sizeof expanded);
      continue;
    }
    int bytes = bytes_per_frame ? bytes_per_frame : frame_audio_bytes((frame.main_id_format >> 2) & 3, 16);
    pcm.append(reinterpret_cast<const char*>(frame.audio), static_cast<size_t>(bytes));
  }
  return pcm;
}

WavFile read_wav(const std::string& path) {
  WavFile wav;
  std::string bytes = read_file(path);
  if (bytes.size() < 44) return wav;
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
  };
  auto u16 = [&](size_t at) { return u32(at) & 0xFFFF; };
  wav.rate = u32(24);
  wav.data_size = u32(40);
  wav.data = bytes.substr(44);
  wav.valid = bytes.compare(0, 4, "RIFF") == 0 && bytes.compare(8, 8, "WAVEfmt ") == 0 &&
              bytes.compare(36, 4, "data") == 0 && u32(4) == bytes.size() - 8 && u32(16) == 16 &&
              u16(20) == 1 && u16(22) == 2 && u32(28) == wav.rate * 4 && u16(32) == 4 && u16(34) == 16 &&
              wav.data_size == bytes.size() - 44;
  return wav;
}

std::string tape_time_text(size_t frames) {
  char text[16];
  dat_frames_text(frames, text, sizeof text);
  return text;
}

size_t tape_first_of(const std::vector<DatFrame>& frames, int n) {
  size_t i = 0;
  while (i < frames.size() && !((frames[i].sid_pno1 >> 4) == n / 100 &&
                                frames[i].sid_pno23 == (((n / 10 % 10) << 4) | (n % 10))))
    ++i;
  return i;
}

std::string toc_lines(const std::vector<DatFrame>& frames, const std::vector<int>& numbers,
                      const std::vector<size_t>& unreadable) {
  auto time_text = [](size_t count) { return tape_time_text(count); };
  std::vector<int> sorted = numbers;
  std::sort(sorted.begin(), sorted.end());
  std::string lines;
  for (int n : sorted) {
    size_t start = tape_first_of(frames, n), end = frames.size();
    for (int other : numbers)
      if (tape_first_of(frames, other) > start) end = std::min(end, tape_first_of(frames, other));
    std::string abs = "--:--:--:--";
    for (const auto& pack : frames[start].pack)
      if ((pack[0] >> 4) == PACK_ITEM_ABSOLUTE_TIME && pack[6] != 0xAA) {
        char text[16];
        std::snprintf(text, sizeof text, "%.2x:%.2x:%.2x:%.2x", pack[3], pack[4], pack[5], pack[6]);
        abs = text;
      }
    const DatFrame* head = nullptr;
    std::string date = "none";
    for (size_t i = start; i < start + 10 && i < frames.size() && date == "none"; ++i) {
      if (std::find(unreadable.begin(), unreadable.end(), i) != unreadable.end()) continue;
      if (!head) head = &frames[i];
      for (const auto& p : frames[i].pack)
        if ((p[0] >> 4) == PACK_ITEM_DATE && date == "none") {
          char text[32];
          std::snprintf(text, sizeof text, "%.2x-%.2x-%.2x %.2x:%.2x:%.2x", p[1], p[2], p[3], p[4], p[5], p[6]);
          date = text;
        }
    }
    char line[200];
    if (!head) {
      std::snprintf(line, sizeof line, "%7d  %s  %s  (its first frames could not be read)\n", n, abs.c_str(),
                    time_text(end - start).c_str());
    } else {
      static const int kRates[4] = {48000, 44100, 32000, 0};
      static const char* const kEmphasis[4] = {"none", "50/15us", "reserved", "reserved"};
      int channel_code = head->main_id_format & 3;
      std::snprintf(line, sizeof line, "%7d  %s  %s  %5d Hz  %2d bit  %d ch  %-8s  %4d  %s\n", n, abs.c_str(),
                    time_text(end - start).c_str(), kRates[(head->main_id_format >> 2) & 3],
                    (head->main_id_mode >> 6) == 1 ? 12 : 16, channel_code == 0 ? 2 : channel_code == 1 ? 4 : 0,
                    kEmphasis[(head->main_id_format >> 4) & 3], (head->main_id_mode >> 2) & 3, date.c_str());
    }
    lines += line;
  }
  return lines;
}
