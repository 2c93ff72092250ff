// Composing cassettes for end-to-end tests: recordings (program numbers,
// start IDs, times, sampling rates, long play), blank stretches and frames
// the drive flags, stated in a few lines; and the PCM a reader should get.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "datframe/dat_frame.h"

// One stretch of recording.
struct Recording {
  int program = 1;          // program number of the sub-ID and the time packs
  int rate_code = 0;        // 0 = 48 kHz, 1 = 44.1 kHz, 2 = 32 kHz
  bool long_play = false;   // 12-bit long play (32 kHz)
  int start_id_frames = 0;  // frames at its head that carry the start ID
  bool times = true;        // program-time and absolute-time packs
  int scms = 0;
};

struct Tape {
  std::vector<DatFrame> frames;
  uint32_t absolute_frames = 0;  // absolute time of the next recorded frame, in frames
};

// Appends count frames of a recording, each with its own audio (a pattern of
// its tape index). Returns the index of the first.
size_t tape_record(Tape* tape, const Recording& recording, int count);
// Appends count frames without subcode packs and with silent audio.
size_t tape_blank(Tape* tape, int count);
// Sets the drive's interpolation flags of one frame.
void tape_flag(Tape* tape, size_t index, uint8_t flags);
// Marks the frames [first, last) as a recorder's lead-in: program number 0BB
// in the sub-ID and the time packs.
void tape_mark_lead_in(Tape* tape, size_t first, size_t last);
// The same for a lead-out: program number 0EE.
void tape_mark_lead_out(Tape* tape, size_t first, size_t last);
// Writes the cassette file. false when it cannot be written.
bool tape_write(const Tape& tape, const std::string& path);
// Reads a cassette or image file back into frames.
std::vector<DatFrame> tape_read(const std::string& path);

// The PCM a reader gets from the frames [first, last): the first
// bytes_per_frame bytes of each 16-bit frame's audio (0: as many as its rate
// gives), 7680 expanded bytes of each long-play frame.
std::string tape_pcm(const Tape& tape, size_t first, size_t last, int bytes_per_frame = 0);

// The table of contents of a composed tape as /TOC prints it. A program
// starts at the first frame whose sub-ID shows its number and runs to the
// next program's start or the end of the frames; numbers lists the programs
// to find (others are taken for frames of the program before). Its format
// is that of the first of its first 10 frames that is not in unreadable,
// its date the first date pack among those read until one is found.
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
