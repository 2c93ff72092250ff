// SPDX-License-Identifier: MIT
#include "sinks/flac_file.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "sinks/valid_files.h"

namespace {

const unsigned kCompressionLevel = 5;
const unsigned kPaddingBytes = 8192;  // room for the tags and cue sheet written at the finish
const int kChannels = 2;
// A seek point every 10 seconds, for up to 4 hours (a long-play tape): the
// points the stream does not reach are dropped at the finish.
const uint32_t kSeekSeconds = 10;
const uint32_t kSeekHours = 4;

}  // namespace

struct FlacFile {
  std::string name;
  int fd = -1;
  FLAC__StreamEncoder* encoder = nullptr;
  FLAC__StreamMetadata* padding = nullptr;
  FLAC__StreamMetadata* seek_table = nullptr;  // of the stream being written (the encoder fills it in)
  int64_t end = 0;        // the furthest byte written
  int64_t valid = 0;      // the file is a whole stream up to here
  bool failed = false;    // a write failed: nothing more is written
  bool dropping = false;  // the stream is being dropped: its output goes nowhere
  int saved_errno = 0;
  std::string failure;
  std::vector<FLAC__int32> samples;
};

namespace {

void (*g_frame_written_hook)(void) = nullptr;

// Writes the bytes where the file stands. false after a failure, which the
// file then records.
bool write_all(FlacFile* f, const FLAC__byte buffer[], size_t bytes) {
  off_t at = lseek(f->fd, 0, SEEK_CUR);
  size_t done = 0;
  while (done < bytes) {
    ssize_t n = write(f->fd, buffer + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      f->saved_errno = n < 0 ? errno : ENOSPC;
      f->failed = true;
      f->failure = "write";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (at >= 0 && at + static_cast<int64_t>(bytes) > f->end) f->end = at + static_cast<int64_t>(bytes);
  return true;
}

FLAC__StreamEncoderWriteStatus write_out(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                         uint32_t samples, uint32_t, void* data) {
  FlacFile* f = static_cast<FlacFile*>(data);
  if (f->dropping) return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
  if (f->failed) return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
  // The encoder may run on a thread of its own: an abrupt exit waits until
  // the bytes are in and their length recorded before it cuts the file, and
  // once it has cut it nothing more goes in.
  if (!abrupt_exit_begin_write(f->fd)) {
    f->saved_errno = EINTR;
    f->failed = true;
    f->failure = "write";
    return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
  }
  bool written = write_all(f, buffer, bytes);
  if (written && samples > 0) f->valid = f->end;  // a whole frame is in the file
  if (g_frame_written_hook) g_frame_written_hook();
  abrupt_exit_end_write(f->fd, f->valid);
  return written ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus seek_to(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* data) {
  FlacFile* f = static_cast<FlacFile*>(data);
  if (f->dropping) return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
  return lseek(f->fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR
                                                                 : FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus tell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* data) {
  FlacFile* f = static_cast<FlacFile*>(data);
  off_t at = lseek(f->fd, 0, SEEK_CUR);
  if (at < 0) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
  *offset = static_cast<FLAC__uint64>(at);
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

// Why the encoder failed, as errno: ENOMEM when it could not allocate.
int encoder_errno(const FlacFile* f) {
  if (FLAC__stream_encoder_get_state(f->encoder) == FLAC__STREAM_ENCODER_MEMORY_ALLOCATION_ERROR) return ENOMEM;
  return errno;
}

void free_seek_table(FlacFile* f) {
  if (f->seek_table) FLAC__metadata_object_delete(f->seek_table);
  f->seek_table = nullptr;
}

// A new encoder writing from the start of the file. 0, or -1.
int begin_stream(FlacFile* f, int32_t rate) {
  free_seek_table(f);
  f->encoder = FLAC__stream_encoder_new();
  if (!f->encoder) {
    f->failure = "set-up of the encoder";
    f->saved_errno = ENOMEM;
    return -1;
  }
  FLAC__StreamEncoder* e = f->encoder;
  FLAC__stream_encoder_set_verify(e, true);
  FLAC__stream_encoder_set_compression_level(e, kCompressionLevel);
  FLAC__stream_encoder_set_channels(e, kChannels);
  FLAC__stream_encoder_set_bits_per_sample(e, 16);
  FLAC__stream_encoder_set_sample_rate(e, static_cast<uint32_t>(rate));
  f->seek_table = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
  const uint64_t every = static_cast<uint64_t>(rate) * kSeekSeconds;
  if (!f->seek_table ||
      !FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
          f->seek_table, static_cast<uint32_t>(every), every * 360 * kSeekHours)) {
    f->failure = "set-up of the encoder";
    f->saved_errno = ENOMEM;
    return -1;
  }
  FLAC__StreamMetadata* blocks[2] = {f->seek_table, f->padding};
  FLAC__stream_encoder_set_metadata(e, blocks, 2);
  f->end = f->valid = 0;
  f->failed = false;
  errno = 0;
  if (FLAC__stream_encoder_init_stream(e, write_out, seek_to, tell, nullptr, f) !=
      FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    if (f->failure.empty()) f->failure = "set-up of the encoder";
    if (f->saved_errno == 0) f->saved_errno = encoder_errno(f);
    return -1;
  }
  // The stream's header and metadata are whole: a file without frames.
  f->valid = f->end;
  abrupt_exit_valid_length(f->fd, f->valid);
  return 0;
}

// Ends the encoder without writing anything more.
void drop_stream(FlacFile* f) {
  if (!f->encoder) return;
  f->dropping = true;
  FLAC__stream_encoder_finish(f->encoder);
  FLAC__stream_encoder_delete(f->encoder);
  f->encoder = nullptr;
  f->dropping = false;
}

void free_file(FlacFile* f) {
  free_seek_table(f);
  if (f->padding) FLAC__metadata_object_delete(f->padding);
  delete f;
}

// The seek table keeps the points the stream reached (the encoder filled
// them in); those past its end are dropped. false when it cannot be resized.
bool trim_seek_table(FLAC__Metadata_Chain* chain, uint64_t total_samples) {
  FLAC__Metadata_Iterator* it = FLAC__metadata_iterator_new();
  if (!it) return false;
  FLAC__metadata_iterator_init(it, chain);
  bool trimmed = true;
  do {
    if (FLAC__metadata_iterator_get_block_type(it) != FLAC__METADATA_TYPE_SEEKTABLE) continue;
    FLAC__StreamMetadata* block = FLAC__metadata_iterator_get_block(it);
    const FLAC__StreamMetadata_SeekTable& table = block->data.seek_table;
    uint32_t kept = 0;
    while (kept < table.num_points && table.points[kept].sample_number < total_samples &&
           table.points[kept].frame_samples > 0)
      ++kept;
    trimmed = FLAC__metadata_object_seektable_resize_points(block, kept);
    break;
  } while (FLAC__metadata_iterator_next(it));
  FLAC__metadata_iterator_delete(it);
  return trimmed;
}

// The tags and cue sheet into the finished file, in the padding left for them.
bool write_tags(const std::string& name, const FlacTags& tags, uint64_t total_samples) {
  FLAC__StreamMetadata* comments = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
  if (!comments) return false;
  for (const auto& [field, value] : tags.comments) {
    FLAC__StreamMetadata_VorbisComment_Entry entry;
    if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, field.c_str(), value.c_str()) ||
        !FLAC__metadata_object_vorbiscomment_append_comment(comments, entry, false)) {
      FLAC__metadata_object_delete(comments);
      return false;
    }
  }
  FLAC__StreamMetadata* cues = nullptr;
  if (!tags.track_starts.empty()) {
    // Not a CD's cue sheet: tracks 1 to 254 at any sample, the lead-out 255.
    cues = FLAC__metadata_object_new(FLAC__METADATA_TYPE_CUESHEET);
    bool built = cues != nullptr;
    uint32_t count = 0;
    for (uint64_t start : tags.track_starts) {
      if (!built || count >= 254) break;
      FLAC__StreamMetadata_CueSheet_Track track{};
      track.offset = start;
      track.number = static_cast<FLAC__byte>(count + 1);
      track.type = 0;
      FLAC__StreamMetadata_CueSheet_Index index{};
      index.offset = 0;
      index.number = 1;
      track.num_indices = 1;
      track.indices = &index;
      built = FLAC__metadata_object_cuesheet_insert_track(cues, count, &track, true);
      ++count;
    }
    if (built) {
      FLAC__StreamMetadata_CueSheet_Track lead_out{};
      lead_out.offset = total_samples;
      lead_out.number = 255;
      built = FLAC__metadata_object_cuesheet_insert_track(cues, count, &lead_out, true) &&
              FLAC__format_cuesheet_is_legal(&cues->data.cue_sheet, false, nullptr);
    }
    if (!built && cues) {
      FLAC__metadata_object_delete(cues);
      cues = nullptr;
    }
  }
  FLAC__Metadata_Chain* chain = FLAC__metadata_chain_new();
  bool written = false;
  if (chain && FLAC__metadata_chain_read(chain, name.c_str())) {
    FLAC__Metadata_Iterator* it = FLAC__metadata_iterator_new();
    if (it) {
      FLAC__metadata_iterator_init(it, chain);
      // Behind the stream info (and its seek table, if any).
      while (FLAC__metadata_iterator_get_block_type(it) != FLAC__METADATA_TYPE_VORBIS_COMMENT &&
             FLAC__metadata_iterator_get_block_type(it) != FLAC__METADATA_TYPE_PADDING &&
             FLAC__metadata_iterator_next(it)) {
      }
      bool placed = FLAC__metadata_iterator_get_block_type(it) == FLAC__METADATA_TYPE_VORBIS_COMMENT
                        ? FLAC__metadata_iterator_set_block(it, comments)
                        : FLAC__metadata_iterator_insert_block_before(it, comments);
      if (placed) comments = nullptr;
      if (placed && cues && FLAC__metadata_iterator_insert_block_after(it, cues)) cues = nullptr;
      FLAC__metadata_iterator_delete(it);
      written = placed && cues == nullptr && trim_seek_table(chain, total_samples) &&
                FLAC__metadata_chain_write(chain, true, false);
    }
  }
  if (chain) FLAC__metadata_chain_delete(chain);
  if (comments) FLAC__metadata_object_delete(comments);
  if (cues) FLAC__metadata_object_delete(cues);
  return written;
}

}  // namespace

FlacFile* flac_file_create(const char* name, int32_t rate, bool* opened) {
  *opened = false;
  FlacFile* f = new (std::nothrow) FlacFile;
  if (!f) {
    errno = ENOMEM;
    return nullptr;
  }
  f->name = name;
  f->padding = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING);
  if (!f->padding) {
    free_file(f);
    errno = ENOMEM;
    return nullptr;
  }
  f->padding->length = kPaddingBytes;
  f->fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (f->fd < 0) {
    int error = errno;
    free_file(f);
    errno = error;
    return nullptr;
  }
  *opened = true;
  abrupt_exit_keep_cut(f->fd);
  if (begin_stream(f, rate) != 0) {
    int error = f->saved_errno;
    drop_stream(f);
    abrupt_exit_forget_descriptor(f->fd);
    close(f->fd);
    std::remove(name);  // not even a header: no valid file to leave
    free_file(f);
    errno = error;
    return nullptr;
  }
  return f;
}

int flac_file_write(FlacFile* f, const uint8_t* pcm, int bytes) {
  if (f->failed || !f->encoder) {
    errno = f->saved_errno;
    return -1;
  }
  uint32_t pairs = static_cast<uint32_t>(bytes) / 4;
  try {
    f->samples.resize(static_cast<size_t>(pairs) * kChannels);
  } catch (const std::bad_alloc&) {
    f->failed = true;
    f->failure = "encoding";
    f->saved_errno = errno = ENOMEM;
    return -1;
  }
  for (size_t i = 0; i < f->samples.size(); ++i)
    f->samples[i] = static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8));
  if (FLAC__stream_encoder_process_interleaved(f->encoder, f->samples.data(), pairs)) return 0;
  f->failed = true;
  if (f->failure.empty())
    f->failure = FLAC__stream_encoder_get_state(f->encoder) == FLAC__STREAM_ENCODER_VERIFY_MISMATCH_IN_AUDIO_DATA
                     ? "verify"
                     : "encoding";
  if (f->saved_errno == 0 && encoder_errno(f) == ENOMEM) f->saved_errno = ENOMEM;
  errno = f->saved_errno;
  return -1;
}

int flac_file_restart(FlacFile* f, int32_t rate) {
  drop_stream(f);
  f->failure.clear();
  f->saved_errno = 0;
  abrupt_exit_valid_length(f->fd, 0);
  if (ftruncate(f->fd, 0) != 0 || lseek(f->fd, 0, SEEK_SET) != 0 || begin_stream(f, rate) != 0) {
    if (f->failure.empty()) f->failure = "write";
    if (f->saved_errno == 0) f->saved_errno = errno;
    f->failed = true;
    errno = f->saved_errno;
    return -1;
  }
  return 0;
}

int flac_file_finish(FlacFile* f, const FlacTags* tags, std::string* failure) {
  int result = 0;
  uint64_t total = 0;
  if (f->encoder && !f->failed) {
    if (!FLAC__stream_encoder_finish(f->encoder)) {
      f->failed = true;
      if (f->failure.empty()) f->failure = "finishing the stream";
    }
  }
  drop_stream(f);
  if (f->failed) {
    // Whole frames only, and stream info that claims no total.
    if (ftruncate(f->fd, static_cast<off_t>(f->valid)) != 0 && f->saved_errno == 0) f->saved_errno = errno;
    result = -1;
  }
  abrupt_exit_forget_descriptor(f->fd);
  if (close(f->fd) != 0 && result == 0) {
    f->failure = "close";
    f->saved_errno = errno;
    result = -1;
  }
  if (result == 0 && tags) {
    FLAC__StreamMetadata streaminfo;
    if (FLAC__metadata_get_streaminfo(f->name.c_str(), &streaminfo))
      total = streaminfo.data.stream_info.total_samples;
    errno = 0;
    if (!write_tags(f->name, *tags, total)) {
      f->failure = "writing the tags";
      f->saved_errno = errno;
      result = -1;
    }
  }
  if (failure) *failure = f->failure;
  int error = f->saved_errno;
  free_file(f);
  errno = error;
  return result;
}

const char* flac_file_failure(const FlacFile* f) { return f->failure.c_str(); }

void flac_file_set_frame_written_hook(void (*hook)(void)) { g_frame_written_hook = hook; }

int flac_file_errno(const FlacFile* f) { return f->saved_errno; }
