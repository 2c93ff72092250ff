#include "sinks/track_file.h"

#include <cerrno>
#include <cstdio>

#include "platform/digest.h"
#include "platform/log.h"
#include "sinks/audio_writer.h"
#include "sinks/valid_files.h"
#include "wavlib/thistle.h"

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

namespace {

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

}  // namespace

const AudioWriter kWavWriter = {open_wav, wav_audio_write, restart_wav, finish_wav, wav_room};

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
  if (audio_open(f) && f->writer->finish(f) != 0) result = -1;
  audio_worker_stop(f);
  digest_free(f->md5);
  f->md5 = nullptr;
  return result;
}

bool track_file_hashes_audio(const TrackFile* f) { return f->kind == TRACK_FILE_BWF; }

TrackFileSuffixes track_file_suffixes(const RunSettings* s) { return {s->flac_arg ? ".flac" : ".wav", ".log"}; }

bool track_file_names_drive(const RunSettings* s) { return s->flac_arg || s->bwf_arg; }

int track_file_open(TrackFile* f, const RunSettings* s, int track, int32_t rate_code) {
  f->kind = s->flac_arg ? TRACK_FILE_FLAC : s->bwf_arg ? TRACK_FILE_BWF : TRACK_FILE_WAV;
  f->writer = f->kind == TRACK_FILE_FLAC ? &kFlacWriter : f->kind == TRACK_FILE_BWF ? &kBwfWriter : &kWavWriter;
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
  track_meta_reset(&f->meta);
  if (f->writer->open(f) != 0) return 1;
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
  return f->writer->write(f, pcm, bytes);
}

void track_file_take_events(TrackFile* f, bool blank, bool continuity_break) {
  track_meta_take_events(&f->meta, blank, continuity_break);
}

int track_file_write_unreadable(TrackFile* f, int bytes) {
  static const uint8_t kSilence[DAT_LP_PCM_BYTES] = {};
  if (bytes <= 0 || bytes > static_cast<int>(sizeof kSilence)) return 0;
  track_meta_take_unreadable(&f->meta, static_cast<uint32_t>(bytes) / 4);
  return f->writer->write(f, kSilence, bytes);
}

int track_file_restart(TrackFile* f, int32_t rate_code) {
  f->rate_code = rate_code;
  f->data_bytes = 0;
  track_meta_reset(&f->meta);
  emphasis_stage_restart(&f->emphasis, audio_file_rate(rate_code));
  audio_worker_stop(f);
  return f->writer->restart(f);
}

uint32_t track_file_room(const TrackFile* f) { return f->writer->room(f); }
