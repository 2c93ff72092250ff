// SPDX-License-Identifier: MIT
#include "sinks/program_levels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "sinks/loudness.h"

namespace {

const size_t kMostPairs = 2048;  // sample frames of the longest frame (long play: 1920)

const int kMostLanes = 3;

// A run being followed: a clipped run in a channel or a stretch of silence.
struct OpenRun {
  int64_t samples = 0;  // 0: none open
  int32_t value = 0;    // a clipped run: the full-scale value
  LevelPlace place{};
};

}  // namespace

// A lane that measures one channel's true peak, program by program.
struct PeakLane {
  LevelMeter* meter = nullptr;
  int lane = 0;
  void* channel = nullptr;  // loudness_channel of the file's measurement
  LevelRecord record{};
  size_t pcm_left = 0;
  bool open = false;
  bool failed = false;
  std::vector<double> peaks;  // of each program ended, in order (linear)
};

struct LevelMeter {
  int32_t rate = 0;
  bool programs = false;
  Loudness* file_loudness = nullptr;  // nullptr: the loudness is not measured (or failed)
  bool loudness = false;
  bool loudness_failed = false;
  // The record stream.
  LevelRecord record{};
  size_t pcm_left = 0;  // bytes of the record's PCM still to come
  int64_t file_samples = 0;
  // The program being measured.
  bool open = false;
  ProgramLevels current;
  bool uses_file = false;      // it began the file: the file's loudness is its own while it lasts
  int64_t frame = -1;          // of the current record, from the program's first
  OpenRun clip[2];
  OpenRun silence;
  std::vector<ProgramLevels> done;
  int lanes = 1;
  PeakLane peak_lanes[kMostLanes];  // lanes 1 and 2; [0] is the lane of the levels (lane == 0)
};

namespace {

void close_run(OpenRun* run, int64_t least, int64_t* count, std::vector<LevelPlace>* places, int64_t* total) {
  if (run->samples >= least) {
    *count += 1;
    if (total) *total += run->samples;
    if (places->size() < kLevelPlacesListed) {
      run->place.samples = run->samples;
      places->push_back(run->place);
    }
  }
  run->samples = 0;
}

void close_clip(LevelMeter* m, int channel) {
  close_run(&m->clip[channel], kClipRunSamples, &m->current.clipped_runs, &m->current.clips, nullptr);
}

void close_silence(LevelMeter* m) {
  close_run(&m->silence, m->rate, &m->current.silences, &m->current.silent, &m->current.silent_samples);
}

LevelPlace place_at(const LevelMeter* m, int64_t pair, int32_t channel) {
  LevelPlace p{};
  p.frame = m->frame;
  p.abs_valid = m->record.abs_valid != 0;
  p.abs_code = m->record.abs_code;
  p.sample_offset = m->file_samples + pair;
  p.channel = channel;
  return p;
}

void end_program(LevelMeter* m) {
  if (!m->open) return;
  close_clip(m, 0);
  close_clip(m, 1);
  close_silence(m);
  // (The true peak is the channel lanes', at the end.)
  if (m->loudness && !m->loudness_failed)
    m->current.loudness = m->uses_file ? loudness_now(m->file_loudness) : loudness_part(m->file_loudness);
  m->done.push_back(std::move(m->current));
  m->current = ProgramLevels{};
  m->open = false;
}

void begin_program(LevelMeter* m) {
  end_program(m);
  m->open = true;
  m->current.sample_offset = m->file_samples;
  m->frame = -1;
  // A program that begins the file is measured by the file's loudness for as
  // long as it lasts: the two are one span. A later one is a part of it.
  m->uses_file = m->file_samples == 0;
  if (!m->uses_file) loudness_mark(m->file_loudness);
}

// Follows the clipped runs of a channel through the pairs of a piece.
void scan_clips(LevelMeter* m, const int16_t* s, size_t pairs, int channel) {
  OpenRun& run = m->clip[channel];
  for (size_t i = 0; i < pairs; ++i) {
    int32_t v = s[2 * i + static_cast<size_t>(channel)];
    if (v != 32767 && v != -32768) {
      if (run.samples) close_clip(m, channel);
      continue;
    }
    if (run.samples && run.value == v) {
      ++run.samples;
      continue;
    }
    if (run.samples) close_clip(m, channel);
    run.samples = 1;
    run.value = v;
    run.place = place_at(m, static_cast<int64_t>(i), channel);
  }
}

// The levels of a piece of a program's frame: one pass for the peaks and
// sums, the clipped runs only in a channel that reaches full scale, and of
// silence only the zeros at the piece's two ends (a piece is at most one
// frame, far shorter than the shortest silence counted).
void measure(LevelMeter* m, const uint8_t* pcm, size_t pairs) {
  int16_t s[2 * kMostPairs];
  std::memcpy(s, pcm, pairs * 4);
  int32_t lo[2] = {0, 0}, hi[2] = {0, 0};
  int64_t sum[2] = {0, 0};
  for (size_t i = 0; i < pairs; ++i) {
    int32_t l = s[2 * i], r = s[2 * i + 1];
    lo[0] = std::min(lo[0], l);
    hi[0] = std::max(hi[0], l);
    lo[1] = std::min(lo[1], r);
    hi[1] = std::max(hi[1], r);
    sum[0] += l;
    sum[1] += r;
  }
  ProgramLevels& c = m->current;
  int32_t peak = 0;
  for (int ch = 0; ch < 2; ++ch) {
    int32_t p = std::max(hi[ch], -lo[ch]);
    c.peak[ch] = std::max(c.peak[ch], p);
    peak = std::max(peak, p);
    c.sum[ch] += sum[ch];
    if (hi[ch] == 32767 || lo[ch] == -32768)
      scan_clips(m, s, pairs, ch);
    else if (m->clip[ch].samples)
      close_clip(m, ch);
  }
  c.samples += static_cast<int64_t>(pairs);
  uint16_t& second = c.peak_per_second.back();
  second = static_cast<uint16_t>(std::max<int32_t>(second, peak));
  if (peak == 0) {
    if (!m->silence.samples) m->silence.place = place_at(m, 0, -1);
    m->silence.samples += static_cast<int64_t>(pairs);
    return;
  }
  size_t lead = 0;
  while (s[2 * lead] == 0 && s[2 * lead + 1] == 0) ++lead;
  if (m->silence.samples) {
    m->silence.samples += static_cast<int64_t>(lead);
    close_silence(m);
  }
  size_t trail = 0;
  while (s[2 * (pairs - 1 - trail)] == 0 && s[2 * (pairs - 1 - trail) + 1] == 0) ++trail;
  if (trail) {
    m->silence.place = place_at(m, static_cast<int64_t>(pairs - trail), -1);
    m->silence.samples = static_cast<int64_t>(trail);
  }
}

void take_loudness(LevelMeter* m, const uint8_t* pcm, size_t bytes) {
  if (!m->loudness || m->loudness_failed) return;
  if (loudness_add_energy(m->file_loudness, pcm, bytes) != 0) m->loudness_failed = true;
}

enum ProgramChange { PROGRAM_GOES_ON, PROGRAM_ENDS, PROGRAM_BEGINS };

// What a record does to the program being measured (open: one is).
ProgramChange program_change(bool open, const LevelRecord& r) {
  if (r.kind == LEVEL_OUTSIDE) return PROGRAM_ENDS;
  // An unreadable frame joins a program, never begins one.
  if ((r.new_program || !open) && r.kind != LEVEL_UNREADABLE) return PROGRAM_BEGINS;
  return PROGRAM_GOES_ON;
}

// A record's header: what the frame is to the programs.
void take_record(LevelMeter* m) {
  const LevelRecord& r = m->record;
  if (!m->programs) return;
  ProgramChange change = program_change(m->open, r);
  if (change == PROGRAM_ENDS) end_program(m);
  if (change == PROGRAM_BEGINS) begin_program(m);
  if (!m->open) return;
  ++m->frame;
  size_t second = static_cast<size_t>(m->frame * 3 / 100) + 1;
  if (m->current.peak_per_second.size() < second) m->current.peak_per_second.resize(second, 0);
  if (r.kind == LEVEL_UNREADABLE) {
    // No level of the tape's: it ends what was being followed.
    close_clip(m, 0);
    close_clip(m, 1);
    close_silence(m);
  }
}

void take_pcm(LevelMeter* m, const uint8_t* pcm, size_t bytes) {
  bool in_program = m->programs && m->open && m->record.kind != LEVEL_OUTSIDE;
  take_loudness(m, pcm, bytes);
  if (in_program && m->record.kind == LEVEL_FRAME) measure(m, pcm, bytes / 4);
  m->file_samples += static_cast<int64_t>(bytes / 4);
}

// Splits the record stream into records (handed on whole) and their PCM
// (which may come in pieces).
template <typename OnRecord, typename OnPcm>
int take_stream(LevelRecord* record, size_t* pcm_left, const uint8_t* data, size_t bytes, OnRecord on_record,
                OnPcm on_pcm) {
  while (bytes > 0) {
    if (*pcm_left == 0) {
      if (bytes < sizeof(LevelRecord)) return -1;
      std::memcpy(record, data, sizeof(LevelRecord));
      data += sizeof(LevelRecord);
      bytes -= sizeof(LevelRecord);
      if (record->bytes % 4 != 0 || record->bytes > kMostPairs * 4) return -1;
      *pcm_left = record->bytes;
      on_record();
      continue;
    }
    size_t take = std::min(bytes, *pcm_left);
    on_pcm(data, take);
    data += take;
    bytes -= take;
    *pcm_left -= take;
  }
  return 0;
}

void end_peak(PeakLane* p) {
  if (p->open) p->peaks.push_back(loudness_channel_peak(p->channel));
  p->open = false;
}

// A lane of a channel's true peak: the same programs as the levels' lane.
int take_peak_stream(PeakLane* p, const uint8_t* data, size_t bytes) {
  bool programs = p->meter->programs;
  return take_stream(
      &p->record, &p->pcm_left, data, bytes,
      [p, programs] {
        if (!programs) return;
        ProgramChange change = program_change(p->open, p->record);
        if (change == PROGRAM_ENDS) end_peak(p);
        if (change == PROGRAM_BEGINS) {
          end_peak(p);
          loudness_channel_mark(p->channel);
          p->open = true;
        }
      },
      [p](const uint8_t* pcm, size_t n) {
        if (!p->failed && loudness_add_channel_peak(p->channel, pcm, n) != 0) p->failed = true;
      });
}

}  // namespace

LevelMeter* level_meter_begin(int32_t rate, bool loudness, bool programs) {
  if (rate <= 0) return nullptr;
  LevelMeter* m = new (std::nothrow) LevelMeter;
  if (!m) return nullptr;
  m->rate = rate;
  m->programs = programs;
  if (loudness) {
    m->file_loudness = loudness_begin(rate);
    m->loudness = true;
    m->loudness_failed = !m->file_loudness;
    if (m->file_loudness) m->lanes = 3;
  }
  for (int i = 0; i < kMostLanes; ++i) {
    m->peak_lanes[i].meter = m;
    m->peak_lanes[i].lane = i;
    if (i > 0 && m->file_loudness) m->peak_lanes[i].channel = loudness_channel(m->file_loudness, i - 1);
  }
  return m;
}

int level_meter_lanes(const LevelMeter* m) { return m->lanes; }

void* level_meter_lane(LevelMeter* m, int lane) { return &m->peak_lanes[lane]; }

int level_meter_add(void* context, const uint8_t* data, size_t bytes) {
  PeakLane* lane = static_cast<PeakLane*>(context);
  if (lane->lane > 0) return take_peak_stream(lane, data, bytes);
  LevelMeter* m = lane->meter;
  return take_stream(&m->record, &m->pcm_left, data, bytes, [m] { take_record(m); },
                     [m](const uint8_t* pcm, size_t n) { take_pcm(m, pcm, n); });
}

void level_meter_end(LevelMeter* m, LoudnessFigures* file, std::vector<ProgramLevels>* programs) {
  *file = LoudnessFigures{};
  programs->clear();
  if (!m) return;
  end_program(m);
  for (int i = 1; i < m->lanes; ++i) {
    end_peak(&m->peak_lanes[i]);
    // A lane that missed audio, or saw other programs, measured nothing.
    if (m->peak_lanes[i].failed || m->peak_lanes[i].peaks.size() != m->done.size()) m->loudness_failed = true;
  }
  LoudnessFigures measured = loudness_end(m->file_loudness);
  if (m->loudness && !m->loudness_failed) *file = measured;
  for (size_t i = 0; i < m->done.size(); ++i) {
    LoudnessFigures& l = m->done[i].loudness;
    if (!m->loudness || m->loudness_failed) {
      l = LoudnessFigures{};
      continue;
    }
    // Each channel's lane measured the program's true peak.
    double peak = std::max(m->peak_lanes[1].peaks[i], m->peak_lanes[2].peaks[i]);
    l.true_peak = peak > 0 ? 20 * std::log10(peak) : -HUGE_VAL;
  }
  *programs = std::move(m->done);
  delete m;
}
