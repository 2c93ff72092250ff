// SPDX-License-Identifier: MIT
// The Broadcast WAV writer (/BWF): the tape's metadata in "bext", markers in
// "cue ", the audio's MD5 in "MD5 "; the chunks behind the audio are written
// at the finish, and "bext" keeps its size, so that the audio never moves.
#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/digest.h"
#include "sinks/audio_writer.h"
#include "sinks/track_file.h"
#include "sinks/valid_files.h"
#include "wavlib/thistle.h"

namespace {

// A Broadcast WAV file's "bext" chunk keeps its size from the file's creation
// to its finish, so that the audio behind it never moves: room for a coding
// history of two lines (the first naming the drive, the tape's time and the
// image the frames came through).
const uint32_t kCodingHistoryBytes = 446;
const uint32_t kBextBytes = sizeof(ThistleBext) + kCodingHistoryBytes;
// "JUNK" keeping the place of "ds64" (a file past 4 GiB becomes RF64), then "bext".
const uint32_t kLeadingBytes = THISTLE_DS64_CHUNK_BYTES + 8 + kBextBytes;
const uint32_t kBwfHeaderBytes = THISTLE_HEADER_BYTES(kLeadingBytes);
static_assert(kBextBytes % 2 == 0, "the chunk needs no pad byte");
// The most a frame's markers add behind the audio: each a cue point and a
// label.
const uint32_t kMarkerBytes = 24 + 8 + 4 + sizeof(TrackMarker::label);
static_assert(sizeof(TrackMarker::label) <= sizeof(ThistleCue::label));
const uint32_t kMd5ChunkBytes = 8 + 16;
// The most a "LIST" "INFO" chunk of the two texts takes.
const uint32_t kInfoBytes = 12 + 2 * (8 + sizeof RunSettings::location + 1);
static_assert(sizeof RunSettings::location == sizeof RunSettings::copyright);


// A text field of a fixed size: NUL padded, no NUL needed when it is full.
void copy_field(char* field, size_t size, const char* text) {
  size_t length = std::strlen(text);
  std::memcpy(field, text, length < size ? length : size);
}

// The chunks before "fmt ", whole, into out (kLeadingBytes): the place of
// "ds64" and "bext".
void build_bext(const TrackFile* f, uint8_t* out) {
  put_ds64_place(out);
  out += THISTLE_DS64_CHUNK_BYTES;
  std::vector<uint8_t> contents(kBextBytes, 0);
  ThistleBext bext{};
  char text[256];
  track_file_description(f, text, sizeof text);
  copy_field(bext.description, sizeof bext.description, text);
  copy_field(bext.originator, sizeof bext.originator, track_file_originator(f));
  char file_reference[40];
  track_file_reference(f, file_reference, sizeof file_reference);
  copy_field(bext.originator_reference, sizeof bext.originator_reference, file_reference);
  track_file_umid(f, bext.umid);
  char date[16], time[16];
  track_origination(&f->meta, date, sizeof date, time, sizeof time);
  copy_field(bext.origination_date, sizeof bext.origination_date, date);
  copy_field(bext.origination_time, sizeof bext.origination_time, time);
  uint64_t reference = track_time_reference(&f->meta, audio_file_rate(f->rate_code));
  bext.time_reference_low = static_cast<uint32_t>(reference);
  bext.time_reference_high = static_cast<uint32_t>(reference >> 32);
  bext.version = 2;
  // The loudness once measured (at the finish), else "not measured" (0x7FFF).
  const LoudnessFigures& l = f->levels;
  bext.loudness_value = l.measured ? loudness_bext_value(l.integrated) : 0x7FFF;
  bext.loudness_range = l.measured ? loudness_bext_value(l.range) : 0x7FFF;
  bext.max_true_peak_level = l.measured ? loudness_bext_value(l.true_peak) : 0x7FFF;
  bext.max_momentary_loudness = l.measured ? loudness_bext_value(l.max_momentary) : 0x7FFF;
  bext.max_short_term_loudness = l.measured ? loudness_bext_value(l.max_short_term) : 0x7FFF;
  std::memcpy(contents.data(), &bext, sizeof bext);
  char history[kCodingHistoryBytes];
  track_coding_history(&f->meta, f->drive, f->image, audio_file_rate(f->rate_code), f->emphasis.deemphasis, history,
                       sizeof history);
  std::memcpy(contents.data() + sizeof bext, history, std::strlen(history));
  thistle_put_chunk(out, "bext", contents.data(), kBextBytes);
}

// The most the chunks behind the audio take: the markers so far (a cue
// point and a label each) and the MD5.
uint64_t trailing_bytes(const TrackFile* f) {
  return 24 + f->meta.markers.size() * kMarkerBytes + kMd5ChunkBytes + kInfoBytes;
}

// The archival location and the copyright, where the archive gave them.
struct InfoFields {
  ThistleInfo fields[2];
};
InfoFields info_fields(const TrackFile* f) {
  const RunSettings* s = f->settings;
  return InfoFields{{{{'I', 'A', 'R', 'L'}, s ? s->location : ""}, {{'I', 'C', 'O', 'P'}, s ? s->copyright : ""}}};
}

int md5_sink(void* digest, const uint8_t* pcm, size_t bytes) {
  digest_add(static_cast<Digest*>(digest), pcm, bytes);
  return 0;
}

int open_bwf(TrackFile* f) {
  uint8_t leading[kLeadingBytes];
  build_bext(f, leading);
  if (chunked_wav_open(f, leading, kLeadingBytes) != 0) return 1;
  f->md5 = digest_begin(DIGEST_MD5);
  f->md5_lost = false;
  audio_worker_start(f, md5_sink, f->md5);
  return 0;
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
  uint64_t data = 0;
  int result = chunked_wav_settle(f, kLeadingBytes, &data);
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
  InfoFields info = info_fields(f);
  uint32_t info_bytes = thistle_put_info_chunk(nullptr, info.fields, 2);
  std::vector<uint8_t> trailing(cue_bytes + info_bytes + kMd5ChunkBytes);
  thistle_put_cue_chunks(trailing.data(), cues.data(), static_cast<uint32_t>(cues.size()));
  thistle_put_info_chunk(trailing.data() + cue_bytes, info.fields, 2);
  cue_bytes += info_bytes;
  uint8_t md5[16];
  if (audio_worker_stop(f) != 0) f->md5_lost = true;
  bool have_md5 = data == f->data_bytes && !f->write_failed && !f->md5_lost ? digest_end(f->md5, md5, nullptr) == 0
                                                            : (digest_free(f->md5), md5_of_file_audio(f->wav, data, md5));
  f->md5 = nullptr;
  if (have_md5)
    for (size_t i = 0; i < sizeof md5; ++i) std::snprintf(f->audio_md5 + 2 * i, 3, "%.2x", md5[i]);
  uint32_t trailing_size = cue_bytes;
  // The chunk's readers take its 16 bytes as one little-endian number: the
  // digest goes in last byte first.
  std::reverse(md5, md5 + sizeof md5);
  if (have_md5) trailing_size += thistle_put_chunk(trailing.data() + cue_bytes, "MD5 ", md5, sizeof md5);
  uint8_t leading[kLeadingBytes];
  build_bext(f, leading);
  if (chunked_wav_end(f, leading, kLeadingBytes, data, trailing.data(), trailing_size) != 0) result = -1;
  return result;
}

int restart_bwf(TrackFile* f) {
  digest_free(f->md5);
  f->md5 = digest_begin(DIGEST_MD5);
  f->md5_lost = false;
  audio_worker_start(f, md5_sink, f->md5);
  uint8_t leading[kLeadingBytes];
  build_bext(f, leading);
  return chunked_wav_restart(f, leading, kLeadingBytes);
}

uint32_t bwf_room(const TrackFile* f) {
  // The RIFF size counts the chunks before and behind the audio, and the
  // markers the next frame may add.
  // (A program, a start ID, damage, a continuity break, a blank stretch.)
  return chunked_wav_room(f, 36 + kLeadingBytes + trailing_bytes(f) + 5 * kMarkerBytes);
}

}  // namespace

const AudioWriter kBwfWriter = {open_bwf, wav_audio_write, restart_bwf, finish_bwf, bwf_room};
