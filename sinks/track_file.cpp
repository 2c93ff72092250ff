// SPDX-License-Identifier: MIT
#include "sinks/track_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/digest.h"
#include "platform/log.h"
#include "sinks/audio_writer.h"
#include "sinks/valid_files.h"
#include "wavlib/thistle.h"

// How many of the run's first frames make the tape's identity.
static const uint32_t kTapeIdentityFrames = 100;

int32_t audio_file_rate(int32_t rate_code) {
  int32_t rate = dat_rate_hz(rate_code);
  return rate ? rate : 48000;
}

void audio_worker_start(TrackFile* f, PcmSink sink, void* context) { f->worker = pcm_worker_start(sink, context); }

int audio_worker_stop(TrackFile* f) {
  if (!f->worker) return 0;
  int result = pcm_worker_finish(f->worker);
  f->worker = nullptr;
  return result;
}

int wav_audio_write(TrackFile* f, const uint8_t* pcm, int bytes) {
  errno = 0;
  int32_t written = outputWavEncode(pcm, bytes, f->wav);
  if (written > 0) {
    f->data_bytes += static_cast<uint32_t>(written);
    if (f->worker) {
      if (pcm_worker_put(f->worker, pcm, static_cast<size_t>(written)) != 0) f->md5_lost = true;
    } else if (f->md5) {
      digest_add(f->md5, pcm, static_cast<size_t>(written));
    }
  }
  if (written == bytes) return 0;
  say_write_failure(f->name);
  f->write_failed = true;
  return -1;
}

int chunked_wav_open(TrackFile* f, const uint8_t* leading, uint32_t leading_bytes) {
  errno = 0;
  f->wav = openWavEncode(f->name);
  if (!f->wav) {
    say_open_failure(f->name);
    return 1;
  }
  use_large_buffer(f->wav);
  errno = 0;
  if (thistle_write_header_chunks(f->wav, leading, leading_bytes, 0, 0, f->rate_code) != 1 ||
      std::fflush(f->wav) != 0) {
    say_write_failure(f->name);
    written_size_after_failure(f->wav);
    close_stream(f->wav, closeWavEncode);
    f->wav = nullptr;
    std::remove(f->name);  // not even a header: no valid file to leave
    return 1;
  }
  if (f->rf64)
    abrupt_exit_keep_rf64_valid(f->wav, THISTLE_HEADER_BYTES(leading_bytes));
  else
    abrupt_exit_keep_wav_valid(f->wav, THISTLE_HEADER_BYTES(leading_bytes));
  return 0;
}

int chunked_wav_restart(TrackFile* f, const uint8_t* leading, uint32_t leading_bytes) {
  if (thistle_write_header_chunks(f->wav, leading, leading_bytes, 0, 0, f->rate_code) == 1) return 0;
  say_write_failure(f->name);
  f->write_failed = true;
  return -1;
}

int chunked_wav_settle(TrackFile* f, uint32_t leading_bytes, uint64_t* data_bytes) {
  ThistleFinish settled{};
  int result = thistle_settle_stream64(f->wav, THISTLE_HEADER_BYTES(leading_bytes), f->data_bytes,
                                       f->write_failed ? 1 : 0, data_bytes, &settled);
  say_finish_failures(f->name, &settled);
  return result;
}

int chunked_wav_end(TrackFile* f, const uint8_t* leading, uint32_t leading_bytes, uint64_t data_bytes,
                    const uint8_t* trailing, uint32_t trailing_bytes) {
  int result = 0;
  ThistleFinish ended{};
  if (thistle_end_stream_rf64(f->wav, leading, leading_bytes, data_bytes, trailing, trailing_bytes, f->rate_code,
                              f->rf64 ? rf64_threshold() : UINT64_MAX, &ended) != 0) {
    say_finish_failures(f->name, &ended);
    result = -1;
  }
  errno = 0;
  if (close_stream(f->wav, closeWavEncode) != 0) {
    say_write_failure(f->name);
    result = -1;
  }
  f->wav = nullptr;
  return result;
}

void put_ds64_place(uint8_t* out) {
  static const uint8_t kNothing[THISTLE_DS64_CHUNK_BYTES - 8] = {};
  thistle_put_chunk(out, "JUNK", kNothing, sizeof kNothing);
}

uint32_t chunked_wav_room(const TrackFile* f, uint64_t around) {
  if (f->rf64) return UINT32_MAX;
  // The RIFF size counts the chunks before and behind the audio.
  uint64_t limit = (UINT32_MAX - around) / 4 * 4;
  return f->data_bytes < limit ? static_cast<uint32_t>(limit - f->data_bytes) : 0;
}

namespace {

// The WAV writer of /RF64: the header keeps the place of "ds64".
const uint32_t kDs64Place = THISTLE_DS64_CHUNK_BYTES;

int open_rf64_wav(TrackFile* f) {
  uint8_t leading[kDs64Place];
  put_ds64_place(leading);
  return chunked_wav_open(f, leading, kDs64Place);
}

int restart_rf64_wav(TrackFile* f) {
  uint8_t leading[kDs64Place];
  put_ds64_place(leading);
  return chunked_wav_restart(f, leading, kDs64Place);
}

int finish_rf64_wav(TrackFile* f) {
  uint64_t data = 0;
  int result = chunked_wav_settle(f, kDs64Place, &data);
  uint8_t leading[kDs64Place];
  put_ds64_place(leading);
  if (chunked_wav_end(f, leading, kDs64Place, data, nullptr, 0) != 0) result = -1;
  return result;
}

uint32_t rf64_wav_room(const TrackFile* f) { return chunked_wav_room(f, 36 + kDs64Place); }

// The plain WAV writer: a 44-byte header and the audio.
int open_wav(TrackFile* f) {
  f->wav = wav_file_open(f->name, f->rate_code);
  return f->wav ? 0 : 1;
}

int restart_wav(TrackFile* f) {
  if (outputHeaderWavEncode(f->wav, 0, f->rate_code) == 1) return 0;
  say_write_failure(f->name);
  f->write_failed = true;
  return -1;
}

int finish_wav(TrackFile* f) {
  int result = wav_file_finish(f->wav, f->name, static_cast<uint32_t>(f->data_bytes), f->rate_code, f->write_failed);
  f->wav = nullptr;
  return result != 0 ? -1 : 0;
}

uint32_t wav_room(const TrackFile* f) { return kWavDataLimit - static_cast<uint32_t>(f->data_bytes); }

// Whether the audio file is open.
bool audio_open(const TrackFile* f) { return f->wav || f->flac; }

// Waits for the measuring threads; false when one of them failed.
bool levels_join(TrackFile* f) {
  bool ok = true;
  for (PcmWorker*& w : f->level_workers)
    if (w) {
      ok = pcm_worker_finish(w) == 0 && ok;
      w = nullptr;
    }
  return ok;
}

// Starts measuring the levels of the audio to come: each lane of the meter
// (the levels and the loudness, each channel's true peak) on a thread of its
// own where they can be started. The levels alone cost less than handing the
// audio over to a thread: they are measured here.
void levels_start(TrackFile* f) {
  f->levels = LoudnessFigures{};
  f->program_levels.clear();
  f->level_in_program = false;
  if (!f->measure_loudness && !f->measure_programs) return;
  f->meter = level_meter_begin(audio_file_rate(f->rate_code), f->measure_loudness, f->measure_programs);
  if (!f->meter || !f->measure_loudness) return;
  for (int lane = 0; lane < level_meter_lanes(f->meter); ++lane)
    f->level_workers[lane] = pcm_worker_start(level_meter_add, level_meter_lane(f->meter, lane));
  // All or none: the audio is then measured here.
  for (int lane = 0; lane < level_meter_lanes(f->meter); ++lane)
    if (!f->level_workers[lane]) {
      levels_join(f);
      break;
    }
}

// Hands bytes to every lane of the meter.
bool levels_put(TrackFile* f, const uint8_t* bytes, size_t count) {
  bool failed = false;
  for (int lane = 0; lane < level_meter_lanes(f->meter); ++lane) {
    PcmWorker* w = f->level_workers[lane];
    failed = failed || (w ? pcm_worker_put(w, bytes, count) : level_meter_add(level_meter_lane(f->meter, lane), bytes, count)) != 0;
  }
  return failed;
}

// Hands the meter a frame's audio: info is the frame's (nullptr: the place
// of an unreadable one).
void levels_take(TrackFile* f, const FrameInfo* info, const uint8_t* pcm, int bytes) {
  if (!f->meter) return;
  LevelRecord record{};
  record.bytes = static_cast<uint32_t>(bytes);
  if (!info) {
    record.kind = f->level_in_program ? LEVEL_UNREADABLE : LEVEL_OUTSIDE;
  } else if (f->next_blank) {
    record.kind = LEVEL_OUTSIDE;
    f->level_in_program = false;
  } else {
    record.kind = LEVEL_FRAME;
    ProgramFormat program = program_format(*info);
    record.new_program = !f->level_in_program || !same_program_format(f->level_program, program);
    record.abs_valid = info->absolute.valid ? 1 : 0;
    record.abs_code = info->absolute.code;
    f->level_in_program = true;
    f->level_program = program;
  }
  f->next_blank = false;
  if (levels_put(f, reinterpret_cast<const uint8_t*>(&record), sizeof record) ||
      levels_put(f, pcm, static_cast<size_t>(bytes))) {
    // A measurement that missed audio is none: the file says "not measured".
    levels_join(f);
    LoudnessFigures none;
    level_meter_end(f->meter, &none, &f->program_levels);
    f->program_levels.clear();
    f->meter = nullptr;
  }
}

// Waits for the measurement and keeps its figures in f->levels and f->program_levels.
void levels_end(TrackFile* f) {
  bool failed = !levels_join(f);
  if (f->meter) level_meter_end(f->meter, &f->levels, &f->program_levels);
  if (failed) {
    f->levels = LoudnessFigures{};
    f->program_levels.clear();
  }
  f->meter = nullptr;
}

}  // namespace

const AudioWriter kWavWriter = {open_wav, wav_audio_write, restart_wav, finish_wav, wav_room};
const AudioWriter kRf64WavWriter = {open_rf64_wav, wav_audio_write, restart_rf64_wav, finish_rf64_wav, rf64_wav_room};

int track_file_finish(TrackFile* f, const ConcealTotals* totals, int unreadable, int recovered) {
  int result = 0;
  if (f->log) {
    track_log_printf("total samples fixed: %d\n", totals->samples_fixed);
    track_log_printf("total frames fixed: %d\n", totals->frames_fixed);
    track_log_printf("total frames not fixed: %d\n", totals->frames_not_fixed);
    if (unreadable > 0) track_log_printf("total frames unreadable: %d\n", unreadable);
    if (recovered > 0) track_log_printf("total frames recovered by re-reads: %d\n", recovered);
    if (f->meta.emphasis_frames > 0 || f->emphasis.deemphasis)
      track_log_printf("emphasis: %s\n", track_emphasis_text(&f->meta, f->emphasis.deemphasis));
    track_log_set(nullptr);
    if (output_file_close(f->log, f->log_name) != 0) result = -1;
    f->log = nullptr;
  }
  levels_end(f);
  if (audio_open(f) && f->writer->finish(f) != 0) result = -1;
  // The tape's identity is what the first file named: later files share its stem.
  if (f->tape_identity.frames > 0) f->tape_identity.frames = kTapeIdentityFrames;
  audio_worker_stop(f);
  digest_free(f->md5);
  f->md5 = nullptr;
  return result;
}

bool track_file_hashes_audio(const TrackFile* f) { return f->kind == TRACK_FILE_BWF; }

TrackFileSuffixes track_file_suffixes(const RunSettings* s) { return {s->flac_arg ? ".flac" : ".wav", ".log"}; }

bool track_file_names_drive(const RunSettings* s) { return s->flac_arg || s->bwf_arg; }

namespace {

// The SHA-256 of the tape's and the file's identity and the track.
void identity_digest(const TrackFile* f, uint8_t* sha) {
  uint64_t words[6] = {f->tape_identity.lanes[0], f->tape_identity.lanes[1], f->file_identity.lanes[0],
                       f->file_identity.lanes[1], f->file_identity.frames, static_cast<uint64_t>(f->track)};
  Digest* digest = digest_begin(DIGEST_SHA256);
  digest_add(digest, words, sizeof words);
  digest_end(digest, sha, nullptr);
}

}  // namespace

const char* track_file_originator(const TrackFile* f) {
  return f->settings && f->settings->originator[0] ? f->settings->originator : "kestrel";
}

void track_file_reference(const TrackFile* f, char* text, size_t size) {
  if (f->settings && f->settings->reference[0]) {
    std::snprintf(text, size, "%s-%.3d", f->settings->reference, f->track % 1000);
    return;
  }
  std::snprintf(text, size, "KESTREL-%.16llx-%.3d", static_cast<unsigned long long>(f->tape_identity.lanes[0]),
                f->track % 1000);
}

void track_file_umid(const TrackFile* f, uint8_t* umid) {
  // The universal label of a UMID (material type not identified), the
  // methods (material number by UUID, instance by local registration), 19
  // bytes to come, instance 0: the file is the original.
  const uint8_t kLabel[16] = {0x06, 0x0A, 0x2B, 0x34, 0x01, 0x01, 0x01, 0x05,
                              0x01, 0x01, 0x0F, 0x20, 0x13, 0x00, 0x00, 0x00};
  uint8_t sha[32];
  identity_digest(f, sha);
  std::memcpy(umid, kLabel, sizeof kLabel);
  std::memcpy(umid + 16, sha, 16);
  // A UUID of the custom version 8, variant 10.
  umid[16 + 6] = static_cast<uint8_t>((umid[16 + 6] & 0x0F) | 0x80);
  umid[16 + 8] = static_cast<uint8_t>((umid[16 + 8] & 0x3F) | 0x80);
}

void track_file_description(const TrackFile* f, char* text, size_t size) {
  char tape[160];
  track_description(&f->meta, tape, sizeof tape);
  const char* identifier = f->settings ? f->settings->identifier : "";
  std::snprintf(text, size, "%.90s%s%s", identifier, *identifier ? "; " : "", tape);
}

int track_file_open(TrackFile* f, const RunSettings* s, int track, int32_t rate_code) {
  f->settings = s;
  f->file_identity = TrackIdentity{};
  f->kind = s->flac_arg ? TRACK_FILE_FLAC : s->bwf_arg ? TRACK_FILE_BWF : TRACK_FILE_WAV;
  f->rf64 = f->kind == TRACK_FILE_BWF || (f->kind == TRACK_FILE_WAV && s->rf64_arg);
  f->writer = f->kind == TRACK_FILE_FLAC ? &kFlacWriter
              : f->kind == TRACK_FILE_BWF ? &kBwfWriter
              : f->rf64                   ? &kRf64WavWriter
                                          : &kWavWriter;
  emphasis_stage_begin(&f->emphasis, s->deemphasis_arg != 0, false, audio_file_rate(rate_code));
  f->track = track;
  const TrackFileSuffixes suffixes = track_file_suffixes(s);
  char numbered[KESTREL_BASE_NAME_SIZE + 8];
  std::snprintf(numbered, sizeof numbered, "%s%.3d", s->base_name, track);
  const char* stem = f->stem[0] ? f->stem : numbered;
  std::snprintf(f->name, sizeof f->name, "%s%s", stem, suffixes.audio);
  if (!f->opened_silently) std::printf("\n - saving audio track# %d in file:%s              \n", track, f->name);
  f->data_bytes = 0;
  f->rate_code = rate_code;
  f->write_failed = false;
  f->audio_md5[0] = '\0';
  f->measure_loudness = (f->kind == TRACK_FILE_BWF || f->kind == TRACK_FILE_FLAC) && !s->noloudness_arg;
  track_meta_reset(&f->meta);
  if (f->writer->open(f) != 0) return 1;
  levels_start(f);
  std::snprintf(f->log_name, sizeof f->log_name, "%s%s", stem, suffixes.log);
  f->log = std::fopen(f->log_name, "w+b");
  if (!f->log) {
    say_open_failure(f->log_name);
    ConcealTotals none{};
    track_file_finish(f, &none, 0, 0);
    return 1;
  }
  track_log_set(f->log);
  return 0;
}

int track_file_write(TrackFile* f, const FrameInfo* info, uint8_t* pcm, int bytes) {
  emphasis_stage_take(&f->emphasis, info->emphasis, pcm, bytes);
  track_meta_take(&f->meta, info, static_cast<uint32_t>(bytes) / 4);
  track_identity_take(&f->file_identity, info, pcm, bytes);
  if (f->tape_identity.frames < kTapeIdentityFrames) track_identity_take(&f->tape_identity, info, pcm, bytes);
  if (f->writer->write(f, pcm, bytes) != 0) return -1;
  levels_take(f, info, pcm, bytes);
  return 0;
}

void track_file_take_events(TrackFile* f, bool blank, bool continuity_break) {
  track_meta_take_events(&f->meta, blank, continuity_break);
  f->next_blank = blank;
}

int track_file_write_unreadable(TrackFile* f, int bytes) {
  static const uint8_t kSilence[DAT_LP_PCM_BYTES] = {};
  if (bytes <= 0 || bytes > static_cast<int>(sizeof kSilence)) return 0;
  track_meta_take_unreadable(&f->meta, static_cast<uint32_t>(bytes) / 4);
  if (f->writer->write(f, kSilence, bytes) != 0) return -1;
  levels_take(f, nullptr, kSilence, bytes);
  return 0;
}

int track_file_restart(TrackFile* f, int32_t rate_code) {
  f->rate_code = rate_code;
  f->data_bytes = 0;
  track_meta_reset(&f->meta);
  f->file_identity = TrackIdentity{};
  emphasis_stage_restart(&f->emphasis, audio_file_rate(rate_code));
  audio_worker_stop(f);
  levels_end(f);
  levels_start(f);
  return f->writer->restart(f);
}

uint32_t track_file_room(const TrackFile* f) { return f->writer->room(f); }
