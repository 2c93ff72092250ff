// SPDX-License-Identifier: MIT
// What end-to-end tests expect of a composed cassette (tests/support/
// cassette.h builds them): the PCM a reader should get, the table of
// contents, WAV files read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/cassette.h"

// The PCM a reader gets from the frames [first, last): the first
// bytes_per_frame bytes of each 16-bit frame's audio (0: as many as its rate
// gives), 7680 expanded bytes of each long-play frame.
std::string tape_pcm(const Tape& tape, size_t first, size_t last, int bytes_per_frame = 0);

// The table of contents of a composed tape as /TOC prints it. A program
// starts at the first frame whose sub-ID shows its number and runs to the
// last frame that shows it before the next program's start (or the end of
// the frames); numbers lists the programs to find (others are taken for
// frames of no program). Its format is that of the first of its first 10
// frames that shows its number and is not in unreadable, its date the first
// date pack among those until one is found; a frame of another program among
// them ends them.
std::string toc_lines(const std::vector<DatFrame>& frames, const std::vector<int>& numbers,
                      const std::vector<size_t>& unreadable = {});
// The first frame whose sub-ID shows program number n, or the frame count.
size_t tape_first_of(const std::vector<DatFrame>& frames, int n);
// The time code of the frame count frames after 00:00:00:00, as "hh:mm:ss:ff".
std::string tape_time_text(size_t frames);

// A canonical 44-byte-header WAV file as read back.
struct WavFile {
  bool valid = false;  // RIFF/WAVE, 16-bit stereo PCM, sizes agree with the file
  uint32_t rate = 0;
  uint32_t data_size = 0;
  std::string data;  // the audio behind the header
};
WavFile read_wav(const std::string& path);
