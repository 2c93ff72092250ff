// SPDX-License-Identifier: MIT
// The FLAC writer (/FLAC): the audio encoded beside the reading, the tape's
// metadata in Vorbis comments and a cue sheet at the finish.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "sinks/audio_writer.h"
#include "sinks/flac_file.h"
#include "sinks/track_file.h"
#include "sinks/valid_files.h"

namespace {

int flac_sink(void* flac, const uint8_t* pcm, size_t bytes) {
  return flac_file_write(static_cast<FlacFile*>(flac), pcm, static_cast<int>(bytes));
}

// A failed write says so as for a WAV file; another failure of the encoder
// (its verification, say) names the step.
void report_flac_failure(const char* name, const char* failure) {
  if (std::strcmp(failure, "write") == 0) {
    say_write_failure(name);
    return;
  }
  int error = errno;
  std::printf("\nFLAC %s of %s failed%s%s\n", failure, name, error ? ": " : "", error ? std::strerror(error) : "");
  note_failure_reason(error);
}

int open_flac(TrackFile* f) {
  errno = 0;
  bool opened = false;
  f->flac = flac_file_create(f->name, audio_file_rate(f->rate_code), &opened);
  if (f->flac) {
    audio_worker_start(f, flac_sink, f->flac);
    return 0;
  }
  if (opened)
    say_write_failure(f->name);
  else
    say_open_failure(f->name);
  return 1;
}

// The encoder failed: said once, and the file takes nothing more.
int flac_failed(TrackFile* f) {
  errno = flac_file_errno(f->flac);
  report_flac_failure(f->name, flac_file_failure(f->flac));
  f->write_failed = true;
  return -1;
}

int write_flac(TrackFile* f, const uint8_t* pcm, int bytes) {
  int result = f->worker ? pcm_worker_put(f->worker, pcm, static_cast<size_t>(bytes))
                         : flac_file_write(f->flac, pcm, bytes);
  if (result == 0) {
    f->data_bytes += static_cast<uint64_t>(bytes);
    return 0;
  }
  audio_worker_stop(f);
  return flac_failed(f);
}

int restart_flac(TrackFile* f) {
  if (flac_file_restart(f->flac, audio_file_rate(f->rate_code)) != 0) return flac_failed(f);
  audio_worker_start(f, flac_sink, f->flac);
  return 0;
}

int finish_flac(TrackFile* f) {
  FlacTags tags;
  const TrackMeta& m = f->meta;
  char text[256];
  auto add = [&tags](const char* name, const std::string& value) {
    if (!value.empty()) tags.comments.emplace_back(name, value);
  };
  track_file_description(f, text, sizeof text);
  add("DESCRIPTION", text);
  // The archive's names for the file, as a Broadcast WAV file has them.
  const RunSettings* s = f->settings;
  add("ORGANIZATION", track_file_originator(f));
  if (s) add("COPYRIGHT", s->copyright);
  if (s) add("DAT_ARCHIVE_LOCATION", s->location);
  track_file_reference(f, text, sizeof text);
  add("DAT_REFERENCE", text);
  uint8_t umid[32];
  track_file_umid(f, umid);
  for (size_t i = 0; i < sizeof umid; ++i) std::snprintf(text + 2 * i, 3, "%.2x", umid[i]);
  add("DAT_UMID", text);
  track_program_name(&m, text, sizeof text);
  add("DAT_PROGRAM", text);
  // The track a player shows is the tape's program, not the file's number.
  int program = track_first_program(&m);
  if (program > 0) add("TRACKNUMBER", std::to_string(program));
  char date[16], time[16];
  if (track_origination(&m, date, sizeof date, time, sizeof time)) {
    add("DATE", std::string(date) + "T" + time);
    add("DAT_RECORDING_TIME", time);
  }
  track_absolute_time(&m, text, sizeof text);
  add("DAT_ABSOLUTE_TIME", text);
  add("DAT_TIME_REFERENCE", std::to_string(track_time_reference(&m, audio_file_rate(f->rate_code))));
  int tape_rate = m.has_first && m.first.rate ? m.first.rate : audio_file_rate(f->rate_code);
  add("DAT_SAMPLE_RATE", std::to_string(tape_rate));
  add("DAT_BITS", m.long_play_frames > 0 ? "12 (long play, expanded to 16)" : "16");
  add("DAT_EMPHASIS", track_emphasis_text(&m, f->emphasis.deemphasis));
  if (m.has_first) add("DAT_COPY_CODE", std::to_string(m.first.scms));
  add("DAT_DRIVE", f->drive);
  add("DAT_IMAGE", f->image);
  add("ENCODER", "kestrel " KESTREL_VERSION);
  // EBU R 128 figures (doc/modes.md): a number and its unit.
  if (f->levels.measured) {
    auto level = [&add](const char* name, double value, const char* unit) {
      char figure[32];
      if (std::isfinite(value))
        std::snprintf(figure, sizeof figure, "%.2f %s", value, unit);
      else
        std::snprintf(figure, sizeof figure, "-inf %s", unit);
      add(name, figure);
    };
    level("LOUDNESS_INTEGRATED", f->levels.integrated, "LUFS");
    level("LOUDNESS_RANGE", f->levels.range, "LU");
    level("LOUDNESS_TRUE_PEAK", f->levels.true_peak, "dBTP");
    level("LOUDNESS_MAX_MOMENTARY", f->levels.max_momentary, "LUFS");
    level("LOUDNESS_MAX_SHORT_TERM", f->levels.max_short_term, "LUFS");
  }
  // Program starts make the cue sheet's tracks; every other marker (start
  // IDs, damaged and unreadable frames, continuity breaks, blank stretches)
  // is a tag of its own: the sample it lies at and its label.
  int programs = 0;
  for (const TrackMarker& marker : m.markers)
    if (std::strncmp(marker.label, "program ", 8) == 0) {
      ++programs;
      tags.track_starts.push_back(marker.sample);
    } else {
      add("DAT_MARKER", std::to_string(marker.sample) + " " + marker.label);
    }
  if (programs < 2) tags.track_starts.clear();
  std::string failure;
  if (audio_worker_stop(f) != 0 && !f->write_failed) flac_failed(f);
  int result = flac_file_finish(f->flac, &tags, &failure);
  f->flac = nullptr;
  if (result != 0) {
    report_flac_failure(f->name, failure.c_str());
    return -1;
  }
  return 0;
}

uint32_t flac_room(const TrackFile*) { return UINT32_MAX; }

}  // namespace

const AudioWriter kFlacWriter = {open_flac, write_flac, restart_flac, finish_flac, flac_room};
