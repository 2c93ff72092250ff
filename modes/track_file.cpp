#include "modes/track_file.h"

#include <cerrno>
#include <cstdio>

#include "modes/mode_io.h"
#include "platform/log.h"
#include "wavlib/thistle.h"

int track_file_finish(TrackFile* f, const ConcealTotals* totals, int unreadable) {
  int result = 0;
  if (f->log) {
    track_log_printf("total samples fixed: %d\n", totals->samples_fixed);
    track_log_printf("total frames fixed: %d\n", totals->frames_fixed);
    track_log_printf("total frames not fixed: %d\n", totals->frames_not_fixed);
    if (unreadable > 0) track_log_printf("total frames unreadable: %d\n", unreadable);
    track_log_set(nullptr);
    if (close_output_file(f->log, f->log_name) != 0) result = -1;
    f->log = nullptr;
  }
  if (f->wav) {
    if (finish_wav_file(f->wav, f->name, f->data_bytes, f->rate_code, f->write_failed) != 0) result = -1;
    f->wav = nullptr;
  }
  return result;
}

int track_file_open(TrackFile* f, const char* base_name, int track, int32_t rate_code) {
  std::snprintf(f->name, sizeof f->name, "%s%.3d.wav", base_name, track);
  std::printf("\n - saving audio track# %d in file:%s              \n", track, f->name);
  f->data_bytes = 0;
  f->rate_code = rate_code;
  f->write_failed = false;
  f->wav = open_wav_file(f->name, f->rate_code);
  if (!f->wav) return 1;
  std::snprintf(f->log_name, sizeof f->log_name, "%s%.3d.log", base_name, track);
  f->log = std::fopen(f->log_name, "w+b");
  if (!f->log) {
    report_open_failure(f->log_name);
    ConcealTotals none{};
    track_file_finish(f, &none, 0);
    return 1;
  }
  track_log_set(f->log);
  return 0;
}

int track_file_write(TrackFile* f, const uint8_t* pcm, int bytes) {
  errno = 0;
  int32_t written = outputWavEncode(pcm, bytes, f->wav);
  if (written > 0) f->data_bytes += static_cast<uint32_t>(written);
  if (written == bytes) return 0;
  report_write_failure(f->name);
  f->write_failed = true;
  return -1;
}

int track_file_restart(TrackFile* f, int32_t rate_code) {
  f->rate_code = rate_code;
  f->data_bytes = 0;
  if (outputHeaderWavEncode(f->wav, 0, f->rate_code) == 1) return 0;
  report_write_failure(f->name);
  f->write_failed = true;
  return -1;
}

uint32_t track_file_room(const TrackFile* f) { return kWavDataLimit - f->data_bytes; }
