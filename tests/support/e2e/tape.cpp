// SPDX-License-Identifier: MIT
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

// The valid program number (1 to 799) of a frame's sub-ID, else 0.
int frame_number(const DatFrame& frame) {
  int hundreds = frame.sid_pno1 >> 4, tens = frame.sid_pno23 >> 4, units = frame.sid_pno23 & 0x0F;
  if (hundreds > 9 || tens > 9 || units > 9) return 0;
  int n = hundreds * 100 + tens * 10 + units;
  return n >= 1 && n <= 799 ? n : 0;
}

}  // namespace

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
    size_t start = tape_first_of(frames, n), next = frames.size();
    for (int other : numbers)
      if (tape_first_of(frames, other) > start) next = std::min(next, tape_first_of(frames, other));
    size_t end = start + 1;
    for (size_t i = start; i < next; ++i)
      if (frame_number(frames[i]) == n) end = i + 1;
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
      int number = frame_number(frames[i]);
      if (number != 0 && number != n) break;  // another program's frame ends the head
      if (number == 0) continue;
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
