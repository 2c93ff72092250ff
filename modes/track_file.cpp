#include "modes/track_file.h"

#include <algorithm>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "modes/flac_file.h"
#include "modes/mode_io.h"
#include "modes/pcm_worker.h"
#include "platform/digest.h"
#include "platform/log.h"
#include "scsi/tape_commands.h"
#include "wavlib/thistle.h"

namespace {

// A Broadcast WAV file's "bext" chunk keeps its size from the file's creation
// to its finish, so that the audio behind it never moves: room for a coding
// history of two lines.
const uint32_t kCodingHistoryBytes = 318;
const uint32_t kBextBytes = sizeof(ThistleBext) + kCodingHistoryBytes;
const uint32_t kLeadingBytes = 8 + kBextBytes;
const uint32_t kBwfHeaderBytes = THISTLE_HEADER_BYTES(kLeadingBytes);
static_assert(kBextBytes % 2 == 0, "the chunk needs no pad byte");
// The most a frame's markers add behind the audio: a program, a start ID and
// damage, each a cue point and a label.
const uint32_t kMarkerBytes = 24 + 8 + 4 + sizeof(TrackMarker::label);
static_assert(sizeof(TrackMarker::label) <= sizeof(ThistleCue::label));
const uint32_t kMd5ChunkBytes = 8 + 16;

int32_t file_rate(int32_t rate_code) {
  int32_t rate = dat_rate_hz(rate_code);
  return rate ? rate : 48000;
}

void trim_copy(char* out, size_t size, const uint8_t* bytes, size_t count) {
  size_t end = count;
  while (end > 0 && (bytes[end - 1] == ' ' || bytes[end - 1] == 0)) --end;
  size_t n = end < size - 1 ? end : size - 1;
  for (size_t i = 0; i < n; ++i) out[i] = bytes[i] >= 32 && bytes[i] < 127 ? static_cast<char>(bytes[i]) : '?';
  out[n] = '\0';
}

// The drive the tape is read on: its vendor, product and revision.
void describe_drive(const RunSettings* s, char* text, size_t size) {
  if (s->fromimage_arg) {
    std::snprintf(text, size, "image file");
    return;
  }
  uint8_t data[36] = {};
  if (scsi_inquiry(s->input_adapter, s->input_target, s->input_lun, data, sizeof data) != 0) {
    std::snprintf(text, size, "unknown drive");
    return;
  }
  char vendor[9], product[17], revision[5];
  trim_copy(vendor, sizeof vendor, data + 8, 8);
  trim_copy(product, sizeof product, data + 16, 16);
  trim_copy(revision, sizeof revision, data + 32, 4);
  std::snprintf(text, size, "%s %s %s", vendor, product, revision);
}

// A name for the file that no other file shares: random bits and the track.
void make_reference(TrackFile* f) {
  uint8_t bits[8] = {};
  if (getrandom(bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
    uint64_t fallback = static_cast<uint64_t>(time(nullptr)) << 20 ^ static_cast<uint64_t>(getpid());
    std::memcpy(bits, &fallback, sizeof bits);
  }
  std::snprintf(f->reference, sizeof f->reference, "KESTREL-%.2x%.2x%.2x%.2x%.2x%.2x%.2x%.2x-%.3d", bits[0],
                bits[1], bits[2], bits[3], bits[4], bits[5], bits[6], bits[7], f->track % 1000);
}

// A text field of a fixed size: NUL padded, no NUL needed when it is full.
void copy_field(char* field, size_t size, const char* text) {
  size_t length = std::strlen(text);
  std::memcpy(field, text, length < size ? length : size);
}

// The "bext" chunk, whole, into out (kLeadingBytes).
void build_bext(const TrackFile* f, uint8_t* out) {
  std::vector<uint8_t> contents(kBextBytes, 0);
  ThistleBext bext{};
  char text[256];
  track_description(&f->meta, text, sizeof text);
  copy_field(bext.description, sizeof bext.description, text);
  copy_field(bext.originator, sizeof bext.originator, "kestrel");
  copy_field(bext.originator_reference, sizeof bext.originator_reference, f->reference);
  char date[16], time[16];
  track_origination(&f->meta, date, sizeof date, time, sizeof time);
  copy_field(bext.origination_date, sizeof bext.origination_date, date);
  copy_field(bext.origination_time, sizeof bext.origination_time, time);
  uint64_t reference = track_time_reference(&f->meta, file_rate(f->rate_code));
  bext.time_reference_low = static_cast<uint32_t>(reference);
  bext.time_reference_high = static_cast<uint32_t>(reference >> 32);
  bext.version = 2;
  bext.loudness_value = bext.loudness_range = bext.max_true_peak_level = bext.max_momentary_loudness =
      bext.max_short_term_loudness = 0x7FFF;
  std::memcpy(contents.data(), &bext, sizeof bext);
  char history[kCodingHistoryBytes];
  track_coding_history(&f->meta, f->drive, file_rate(f->rate_code), f->emphasis.deemphasis, history, sizeof history);
  std::memcpy(contents.data() + sizeof bext, history, std::strlen(history));
  thistle_put_chunk(out, "bext", contents.data(), kBextBytes);
}

// The most the chunks behind the audio take: the markers so far (a cue
// point and a label each) and the MD5.
uint64_t trailing_bytes(const TrackFile* f) { return 24 + f->meta.markers.size() * kMarkerBytes + kMd5ChunkBytes; }

int md5_sink(void* digest, const uint8_t* pcm, size_t bytes) {
  digest_add(static_cast<Digest*>(digest), pcm, bytes);
  return 0;
}

int flac_sink(void* flac, const uint8_t* pcm, size_t bytes) {
  return flac_file_write(static_cast<FlacFile*>(flac), pcm, static_cast<int>(bytes));
}

// The MD5 or the encoder begins beside the reading (or, without a thread,
// is called in line).
void start_worker(TrackFile* f) {
  if (f->flac)
    f->worker = pcm_worker_start(flac_sink, f->flac);
  else if (f->md5)
    f->worker = pcm_worker_start(md5_sink, f->md5);
}

// Waits until the worker has taken everything. 0, or -1 when its sink failed.
int stop_worker(TrackFile* f) {
  if (!f->worker) return 0;
  int result = pcm_worker_finish(f->worker);
  f->worker = nullptr;
  return result;
}

// A failed write says so as for a WAV file; another failure of the encoder
// (its verification, say) names the step.
void report_flac_failure(const char* name, const char* failure) {
  if (std::strcmp(failure, "write") == 0) {
    report_write_failure(name);
    return;
  }
  int error = errno;
  std::printf("\nFLAC %s of %s failed%s%s\n", failure, name, error ? ": " : "", error ? std::strerror(error) : "");
  note_failure_reason(error);
}

int open_bwf(TrackFile* f) {
  errno = 0;
  f->wav = openWavEncode(f->name);
  if (!f->wav) {
    report_open_failure(f->name);
    return 1;
  }
  use_large_buffer(f->wav);
  make_reference(f);
  uint8_t leading[kLeadingBytes];
  build_bext(f, leading);
  errno = 0;
  if (thistle_write_header_chunks(f->wav, leading, kLeadingBytes, 0, 0, f->rate_code) != 1 ||
      std::fflush(f->wav) != 0) {
    report_write_failure(f->name);
    written_size_after_failure(f->wav);
    close_stream(f->wav, closeWavEncode);
    f->wav = nullptr;
    std::remove(f->name);  // not even a header: no valid file to leave
    return 1;
  }
  keep_wav_valid_on_abrupt_exit(f->wav, kBwfHeaderBytes);
  f->md5 = digest_begin(DIGEST_MD5);
  f->md5_lost = false;
  start_worker(f);
  return 0;
}

int open_audio(TrackFile* f) {
  if (f->kind == TRACK_FILE_FLAC) {
    errno = 0;
    bool opened = false;
    f->flac = flac_file_create(f->name, file_rate(f->rate_code), &opened);
    if (f->flac) {
      start_worker(f);
      return 0;
    }
    if (opened)
      report_write_failure(f->name);
    else
      report_open_failure(f->name);
    return 1;
  }
  if (f->kind == TRACK_FILE_BWF) return open_bwf(f);
  f->wav = open_wav_file(f->name, f->rate_code);
  return f->wav ? 0 : 1;
}

// The MD5 of the audio in the file (after a failed write, what reached it).
bool md5_of_file_audio(FILE* wav, uint64_t data_bytes, uint8_t* md5) {
  Digest* digest = digest_begin(DIGEST_MD5);
  if (!digest) return false;
  std::vector<uint8_t> buffer(1 << 16);
  for (uint64_t at = 0; at < data_bytes;) {
    size_t want = data_bytes - at < buffer.size() ? static_cast<size_t>(data_bytes - at) : buffer.size();
    ssize_t got = pread(fileno(wav), buffer.data(), want, static_cast<off_t>(kBwfHeaderBytes + at));
    if (got <= 0) {
      digest_free(digest);
      return false;
    }
    digest_add(digest, buffer.data(), static_cast<size_t>(got));
    at += static_cast<uint64_t>(got);
  }
  return digest_end(digest, md5, nullptr) == 0;
}

int finish_bwf(TrackFile* f) {
  ThistleFinish settled{};
  int result = thistle_settle_stream(f->wav, kBwfHeaderBytes, static_cast<uint32_t>(f->data_bytes),
                                     f->write_failed ? 1 : 0, &settled);
  report_finish_failures(f->name, &settled);
  uint32_t data = settled.data_bytes;
  // Markers within the audio the file holds.
  std::vector<ThistleCue> cues;
  for (const TrackMarker& marker : f->meta.markers) {
    if (marker.sample * 4 >= data) continue;
    ThistleCue cue{};
    cue.sample = static_cast<uint32_t>(marker.sample);
    std::snprintf(cue.label, sizeof cue.label, "%s", marker.label);
    cues.push_back(cue);
  }
  uint32_t cue_bytes = thistle_put_cue_chunks(nullptr, cues.data(), static_cast<uint32_t>(cues.size()));
  std::vector<uint8_t> trailing(cue_bytes + kMd5ChunkBytes);
  thistle_put_cue_chunks(trailing.data(), cues.data(), static_cast<uint32_t>(cues.size()));
  uint8_t md5[16];
  if (stop_worker(f) != 0) f->md5_lost = true;
  bool have_md5 = data == f->data_bytes && !f->write_failed && !f->md5_lost ? digest_end(f->md5, md5, nullptr) == 0
                                                            : (digest_free(f->md5), md5_of_file_audio(f->wav, data, md5));
  f->md5 = nullptr;
  uint32_t trailing_size = cue_bytes;
  // The chunk's readers take its 16 bytes as one little-endian number: the
  // digest goes in last byte first.
  std::reverse(md5, md5 + sizeof md5);
  if (have_md5) trailing_size += thistle_put_chunk(trailing.data() + cue_bytes, "MD5 ", md5, sizeof md5);
  uint8_t leading[kLeadingBytes];
  build_bext(f, leading);
  ThistleFinish ended{};
  if (thistle_end_stream_chunks(f->wav, leading, kLeadingBytes, data, trailing.data(), trailing_size, f->rate_code,
                                &ended) != 0) {
    report_finish_failures(f->name, &ended);
    result = -1;
  }
  errno = 0;
  if (close_stream(f->wav, closeWavEncode) != 0) {
    report_write_failure(f->name);
    result = -1;
  }
  f->wav = nullptr;
  return result;
}

int finish_flac(TrackFile* f) {
  FlacTags tags;
  const TrackMeta& m = f->meta;
  char text[256];
  auto add = [&tags](const char* name, const std::string& value) {
    if (!value.empty()) tags.comments.emplace_back(name, value);
  };
  track_description(&m, text, sizeof text);
  add("DESCRIPTION", text);
  track_program_name(&m, text, sizeof text);
  add("DAT_PROGRAM", text);
  add("TRACKNUMBER", std::to_string(f->track));
  char date[16], time[16];
  if (track_origination(&m, date, sizeof date, time, sizeof time)) {
    add("DATE", date);
    add("DAT_RECORDING_TIME", time);
  }
  track_absolute_time(&m, text, sizeof text);
  add("DAT_ABSOLUTE_TIME", text);
  add("DAT_TIME_REFERENCE", std::to_string(track_time_reference(&m, file_rate(f->rate_code))));
  int tape_rate = m.has_first && m.first.rate ? m.first.rate : file_rate(f->rate_code);
  add("DAT_SAMPLE_RATE", std::to_string(tape_rate));
  add("DAT_BITS", m.long_play_frames > 0 ? "12 (long play, expanded to 16)" : "16");
  add("DAT_EMPHASIS", track_emphasis_text(&m, f->emphasis.deemphasis));
  if (m.has_first) add("DAT_COPY_CODE", std::to_string(m.first.scms));
  add("DAT_DRIVE", f->drive);
  add("ENCODED_BY", "kestrel " KESTREL_VERSION);
  int programs = 0;
  for (const TrackMarker& marker : m.markers)
    if (std::strncmp(marker.label, "program ", 8) == 0) {
      ++programs;
      tags.track_starts.push_back(marker.sample);
    }
  if (programs < 2) tags.track_starts.clear();
  std::string failure;
  if (stop_worker(f) != 0 && !f->write_failed) {
    errno = flac_file_errno(f->flac);
    report_flac_failure(f->name, flac_file_failure(f->flac));
    f->write_failed = true;
  }
  int result = flac_file_finish(f->flac, &tags, &failure);
  f->flac = nullptr;
  if (result != 0) {
    report_flac_failure(f->name, failure.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

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
    if (close_output_file(f->log, f->log_name) != 0) result = -1;
    f->log = nullptr;
  }
  if (f->flac) {
    if (finish_flac(f) != 0) result = -1;
  } else if (f->wav && f->kind == TRACK_FILE_BWF) {
    if (finish_bwf(f) != 0) result = -1;
  } else if (f->wav) {
    if (finish_wav_file(f->wav, f->name, static_cast<uint32_t>(f->data_bytes), f->rate_code, f->write_failed) != 0)
      result = -1;
    f->wav = nullptr;
  }
  stop_worker(f);
  digest_free(f->md5);
  f->md5 = nullptr;
  return result;
}

TrackFileSuffixes track_file_suffixes(const RunSettings* s) { return {s->flac_arg ? ".flac" : ".wav", ".log"}; }

int track_file_open(TrackFile* f, const RunSettings* s, int track, int32_t rate_code) {
  f->kind = s->flac_arg ? TRACK_FILE_FLAC : s->bwf_arg ? TRACK_FILE_BWF : TRACK_FILE_WAV;
  emphasis_stage_begin(&f->emphasis, s->deemphasis_arg != 0, false, file_rate(rate_code));
  if (f->kind != TRACK_FILE_WAV && f->drive[0] == '\0') describe_drive(s, f->drive, sizeof f->drive);
  f->track = track;
  const TrackFileSuffixes suffixes = track_file_suffixes(s);
  std::snprintf(f->name, sizeof f->name, "%s%.3d%s", s->base_name, track, suffixes.audio);
  std::printf("\n - saving audio track# %d in file:%s              \n", track, f->name);
  f->data_bytes = 0;
  f->rate_code = rate_code;
  f->write_failed = false;
  track_meta_reset(&f->meta);
  if (open_audio(f) != 0) return 1;
  std::snprintf(f->log_name, sizeof f->log_name, "%s%.3d%s", s->base_name, track, suffixes.log);
  f->log = std::fopen(f->log_name, "w+b");
  if (!f->log) {
    report_open_failure(f->log_name);
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
  if (f->flac) {
    int result = f->worker ? pcm_worker_put(f->worker, pcm, static_cast<size_t>(bytes))
                           : flac_file_write(f->flac, pcm, bytes);
    if (result == 0) {
      f->data_bytes += static_cast<uint64_t>(bytes);
      return 0;
    }
    stop_worker(f);
    errno = flac_file_errno(f->flac);
    report_flac_failure(f->name, flac_file_failure(f->flac));
    f->write_failed = true;
    return -1;
  }
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
  report_write_failure(f->name);
  f->write_failed = true;
  return -1;
}

int track_file_restart(TrackFile* f, int32_t rate_code) {
  f->rate_code = rate_code;
  f->data_bytes = 0;
  track_meta_reset(&f->meta);
  emphasis_stage_restart(&f->emphasis, file_rate(rate_code));
  stop_worker(f);
  if (f->flac) {
    if (flac_file_restart(f->flac, file_rate(rate_code)) == 0) {
      start_worker(f);
      return 0;
    }
    errno = flac_file_errno(f->flac);
    report_flac_failure(f->name, flac_file_failure(f->flac));
    f->write_failed = true;
    return -1;
  }
  int header = 0;
  if (f->kind == TRACK_FILE_BWF) {
    digest_free(f->md5);
    f->md5 = digest_begin(DIGEST_MD5);
    f->md5_lost = false;
    start_worker(f);
    uint8_t leading[kLeadingBytes];
    build_bext(f, leading);
    header = thistle_write_header_chunks(f->wav, leading, kLeadingBytes, 0, 0, f->rate_code);
  } else {
    header = outputHeaderWavEncode(f->wav, 0, f->rate_code);
  }
  if (header == 1) return 0;
  report_write_failure(f->name);
  f->write_failed = true;
  return -1;
}

uint32_t track_file_room(const TrackFile* f) {
  if (f->kind == TRACK_FILE_FLAC) return UINT32_MAX;
  if (f->kind == TRACK_FILE_WAV) return kWavDataLimit - static_cast<uint32_t>(f->data_bytes);
  // The RIFF size counts the chunks before and behind the audio, and the
  // markers the next frame may add.
  uint64_t around = 36 + kLeadingBytes + trailing_bytes(f) + 3 * kMarkerBytes;
  uint64_t limit = (UINT32_MAX - around) / 4 * 4;
  return f->data_bytes < limit ? static_cast<uint32_t>(limit - f->data_bytes) : 0;
}
