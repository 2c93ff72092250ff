// SPDX-License-Identifier: MIT
#include "report/checksums.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "base/dat_format.h"
#include "platform/console.h"
#include "platform/digest.h"
#include "platform/memory.h"
#include "platform/work_queue.h"

namespace {

const size_t kBlockBytes = 1 << 20;
// Audio waiting for the thread, at most: beyond it the run waits for the
// thread (which never stops working while there is any).
const int64_t kQueuedLimit = 8 << 20;

// The MD5 of the audio written to one file so far.
struct StreamedAudio {
  Digest* md5 = nullptr;
  uint64_t bytes = 0;
  bool spoiled = false;  // started over: the digest is not of what the file holds
};

uint32_t le32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Where the audio of a WAV file lies: the contents of its data chunk, as far
// as the file holds them. false when the first bytes show no data chunk.
bool wav_audio_range(const unsigned char* head, size_t count, uint64_t file_size, uint64_t* begin, uint64_t* end) {
  if (count < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
  for (size_t at = 12; at + 8 <= count;) {
    uint64_t size = le32(head + at + 4);
    if (std::memcmp(head + at, "data", 4) == 0) {
      *begin = at + 8;
      *end = *begin + size < file_size ? *begin + size : file_size;
      return true;
    }
    at += 8 + static_cast<size_t>(size) + (size & 1);  // chunks are word aligned
  }
  return false;
}

// checksum_file, with the audio's MD5 taken from streamed when it covers
// exactly the audio the file holds; progress added to done; stops early
// (and fails) when cancel is raised.
int checksum_file_using(ReportFile* f, StreamedAudio* streamed, const std::atomic<bool>* cancel,
                        std::atomic<int64_t>* done) {
  FILE* file = std::fopen(f->name.c_str(), "rb");
  if (!file) return -1;
  struct stat info {};
  uint64_t file_size = fstat(fileno(file), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  f->bytes = static_cast<int64_t>(file_size);
  const std::string given_md5 = f->audio_md5;  // its writer's, taken once
  Digest* sha = digest_begin(DIGEST_SHA256);
  Digest* md5 = nullptr;
  std::vector<unsigned char> buffer(kBlockBytes);
  uint64_t at = 0, audio_begin = 0, audio_end = 0;
  bool audio_known = false;
  size_t got = 0;
  bool stopped = false;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    if (cancel && cancel->load()) {
      stopped = true;
      break;
    }
    digest_add(sha, buffer.data(), got);
    if (at == 0 && f->wav) {
      audio_known = wav_audio_range(buffer.data(), got, file_size, &audio_begin, &audio_end);
      bool streamed_fits = streamed && streamed->md5 && !streamed->spoiled && streamed->bytes == audio_end - audio_begin;
      if (audio_known && !streamed_fits && given_md5.empty()) md5 = digest_begin(DIGEST_MD5);
    }
    uint64_t from = audio_begin > at ? audio_begin : at, to = audio_end < at + got ? audio_end : at + got;
    if (md5 && from < to) digest_add(md5, buffer.data() + (from - at), static_cast<size_t>(to - from));
    at += got;
    if (done) *done += static_cast<int64_t>(got);
  }
  int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  char sha_hex[65] = "", md5_hex[33] = "";
  bool ok = !stopped && error == 0 && sha && digest_end(sha, nullptr, sha_hex) == 0;
  if (!ok && sha && (stopped || error)) digest_free(sha);
  if (ok && audio_known) {
    Digest* audio = md5 ? md5 : streamed ? streamed->md5 : nullptr;
    if (audio && digest_end(audio, nullptr, md5_hex) != 0) ok = false;
    if (audio == md5) md5 = nullptr;
    else streamed->md5 = nullptr;
  }
  digest_free(md5);
  if (!ok) {
    errno = error ? error : stopped ? ECANCELED : ENOMEM;
    return -1;
  }
  f->sha256 = sha_hex;
  f->audio_md5 = audio_known && !given_md5.empty() ? given_md5 : md5_hex;
  f->bytes = static_cast<int64_t>(at);
  return 0;
}

enum JobKind { JOB_AUDIO, JOB_RESTART, JOB_FILE };

struct Job {
  JobKind kind;
  int32_t file;
  std::vector<unsigned char> audio;
  size_t slot;
  ReportFile listed;
  int64_t bytes;  // for progress
};

// Checksums of the given file as the list states it: nothing where it could
// not be read (or the work was dropped), its size where it still has one.
void settle_file(ReportFile* f, StreamedAudio* streamed, const std::atomic<bool>* cancel,
                 std::atomic<int64_t>* done) {
  if (checksum_file_using(f, streamed, cancel, done) == 0) return;
  f->sha256.clear();
  f->audio_md5.clear();
  struct stat info {};
  f->bytes = stat(f->name.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

// The audio of a job, the block the queue keeps for reuse once it is done.
std::vector<unsigned char>* work_block(Job& job) { return &job.audio; }

}  // namespace

struct ChecksumWorker {
  WorkQueue<Job> queue;  // audio counts by its bytes, other jobs weigh nothing
  std::atomic<bool> cancel{false};
  std::atomic<int64_t> done{0};
  std::atomic<int64_t> total{0};
  // Only the thread touches these until it has ended.
  std::map<int32_t, StreamedAudio> streams;
  std::vector<std::pair<size_t, ReportFile>> results;
  // Only the run touches these.
  int32_t block_file = -1;
  std::vector<unsigned char> block;
};

namespace {

void run_job(ChecksumWorker* w, Job& job) {
  StreamedAudio& s = w->streams[job.file];
  switch (job.kind) {
    case JOB_AUDIO:
      if (!s.md5 && !s.spoiled && s.bytes == 0) s.md5 = digest_begin(DIGEST_MD5);
      if (!w->cancel) digest_add(s.md5, job.audio.data(), job.audio.size());
      s.bytes += job.audio.size();
      w->done += static_cast<int64_t>(job.audio.size());
      break;
    case JOB_RESTART: s.spoiled = true; break;
    case JOB_FILE:
      settle_file(&job.listed, &s, &w->cancel, &w->done);
      w->results.push_back({job.slot, job.listed});
      break;
  }
}

// A job on the worker's thread.
void take_job(ChecksumWorker* w, Job& job) {
  try {
    run_job(w, job);
  } catch (const std::bad_alloc&) {
    // No memory for the checksums: the rest are dropped, and the run ends
    // as out of memory. Nothing leaves the thread.
    memory_ran_out();
    w->cancel = true;
  }
}

void queue(ChecksumWorker* w, Job job) {
  w->total += job.bytes;
  int64_t weight = job.kind == JOB_AUDIO ? static_cast<int64_t>(job.audio.size()) : 0;
  work_queue_put(&w->queue, std::move(job), weight);
  if (w->block.empty()) work_queue_take_spare(&w->queue, &w->block);
}

void flush_block(ChecksumWorker* w) {
  if (w->block.empty()) return;
  Job job{JOB_AUDIO, w->block_file, std::move(w->block), 0, {}, 0};
  job.bytes = static_cast<int64_t>(job.audio.size());
  w->block = std::vector<unsigned char>();
  queue(w, std::move(job));
}

}  // namespace

int checksum_file(ReportFile* file) { return checksum_file_using(file, nullptr, nullptr, nullptr); }

ChecksumWorker* checksum_worker_start() {
  auto* w = new (std::nothrow) ChecksumWorker;
  if (!w) return nullptr;
  if (!work_queue_start(&w->queue, kQueuedLimit, kQueuedLimit / kBlockBytes + 2,
                        [w](Job& job) { take_job(w, job); })) {
    delete w;
    return nullptr;
  }
  return w;
}

void checksum_worker_audio(ChecksumWorker* w, int32_t file, const void* bytes, size_t count) {
  if (!w || count == 0) return;
  if (file != w->block_file) {
    flush_block(w);
    w->block_file = file;
  }
  if (w->block.capacity() < kBlockBytes) w->block.reserve(kBlockBytes);
  const auto* data = static_cast<const unsigned char*>(bytes);
  w->block.insert(w->block.end(), data, data + count);
  if (w->block.size() + DAT_LP_PCM_BYTES > kBlockBytes) flush_block(w);
}

void checksum_worker_restart(ChecksumWorker* w, int32_t file) {
  if (!w) return;
  if (file == w->block_file) flush_block(w);
  queue(w, Job{JOB_RESTART, file, {}, 0, {}, 0});
}

void checksum_worker_file(ChecksumWorker* w, int32_t file, size_t slot, const ReportFile& listed) {
  if (!w) return;
  if (file == w->block_file) flush_block(w);
  struct stat info {};
  int64_t bytes = stat(listed.name.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
  queue(w, Job{JOB_FILE, file, {}, slot, listed, bytes});
}

bool checksum_worker_wait(ChecksumWorker* w, uint32_t ms, int64_t* done, int64_t* total) {
  if (!w) return true;
  flush_block(w);
  bool idle = work_queue_wait_idle(&w->queue, ms);
  *done = w->done;
  *total = w->total;
  return idle;
}

void checksum_worker_cancel(ChecksumWorker* w) {
  if (w) w->cancel = true;
}

void checksum_worker_finish(ChecksumWorker* w, std::vector<ReportFile>* files) {
  if (!w) {
    for (ReportFile& f : *files) settle_file(&f, nullptr, nullptr, nullptr);
    return;
  }
  flush_block(w);
  work_queue_finish(&w->queue);
  for (auto& [slot, listed] : w->results)
    if (slot < files->size()) (*files)[slot] = listed;
  for (auto& [file, s] : w->streams) digest_free(s.md5);
  delete w;
}
