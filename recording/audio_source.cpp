// SPDX-License-Identifier: MIT
#include "recording/audio_source.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/dat_format.h"
#include "mp3lib/sorrel.h"
#include "wavlib/thistle.h"

namespace {

// How far into a file the MPEG header search goes, and the decoder's output chunk.
constexpr int32_t kMp3ScanLimit = 131072;
constexpr int32_t kMp3ChunkBytes = 10000;

enum SourceClass { CLASS_NONE, CLASS_MP3, CLASS_WAV };

// A message of the probe, unless it is a silent one.
__attribute__((format(printf, 2, 3))) void say(const AudioSource* source, const char* format, ...) {
  if (source->silent) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

SourceClass source_class(const AudioSource* source) {
  const char* e = source->format.extension;
  if (!std::strcmp(e, "MP3") || !std::strcmp(e, "MP2") || !std::strcmp(e, "MPA")) return CLASS_MP3;
  if (!std::strcmp(e, "WAV")) return CLASS_WAV;
  return CLASS_NONE;
}

void take_extension(AudioSource* source, const char* path) {
  source->format.extension[0] = '\0';
  size_t length = std::strlen(path);
  for (size_t i = length; i-- > 1;) {
    if (path[i] != '.') continue;
    size_t k = 0;
    for (const char* p = path + i + 1; *p && k < 3; ++p, ++k)
      source->format.extension[k] = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    source->format.extension[k] = '\0';
    return;
  }
}

// Takes a probed format: says what happens to it (a conversion is all there
// is to say about a rate the recorder converts) and sets the main-ID codes.
void adopt_plan(AudioSource* source, DatFrame* frame, const ConvertPlan& plan) {
  source->format.plan = plan;
  source->refused = plan.encoding == SAMPLE_UNSUPPORTED;
  if (plan.encoding == SAMPLE_UNSUPPORTED) {
    say(source, "not supported file type\n");
    say(source, "%s cannot be converted for recording\n", describe_source(&plan).c_str());
    return;
  }
  if (!plan.passthrough && !source->reprobe)
    say(source, "converting %s to 16-bit stereo at %d Hz\n", describe_source(&plan).c_str(),
        static_cast<int>(plan.target_rate));
  audio_source_set_main_id(source, frame, plan.target_rate, 2);
}

// A file that is not MPEG audio, or not a file that can be read from its
// start as often as needed: said, and not opened.
void refuse_unanalyzable(AudioSource* source, const char* path) {
  say(source, "cannot analyze file %s\n", path);
  source->refused = true;
}

void probe_mp3(AudioSource* source, DatFrame* frame, const char* path) {
  MpegHeaderInfo info{};
  bool header = ReadMP3SampleRate(path, &info, kMp3ScanLimit) != 0;
  // The decoder delivers 16-bit PCM at the stream's own rate and channel
  // count. The first word that looks like a header may lie in a tag the scan
  // does not skip, or in bytes that are no MPEG audio at all: only a stream
  // that the decoder finds makes the file a source.
  int32_t channels = 0;
  int32_t rate = 0;
  if (!ReadMP3StreamFormat(path, &channels, &rate)) {
    refuse_unanalyzable(source, path);
    return;
  }
  source->format.rate = rate;
  source->format.channels = channels;
  if (header) source->format.bitrate_figure = info.bitrate * 1000;
  ConvertPlan plan;
  plan_conversion(1, 16, channels, rate, &plan);
  adopt_plan(source, frame, plan);
}

void probe_wav(AudioSource* source, DatFrame* frame, const char* path) {
  if (!ReadWAVSampleRate(path, &source->format.channels, &source->format.rate, &source->format.bitrate_figure)) return;
  WavSourceFormat wav{};
  int32_t format_tag = 1;
  int32_t bits = source->format.rate > 0 ? source->format.bitrate_figure / source->format.rate : 0;
  if (ReadWAVSourceFormat(path, &wav)) {
    format_tag = wav.format_tag;
    bits = wav.bits_per_sample;
    if (wav.data_bytes == 0) {
      say(source, "%s holds no audio: its data chunk is empty\n", path);
      source->refused = true;
      return;
    }
  }
  ConvertPlan plan;
  plan_conversion(format_tag, bits, source->format.channels, source->format.rate, &plan);
  adopt_plan(source, frame, plan);
}

}  // namespace

void audio_source_set_main_id(const AudioSource* source, DatFrame* frame, int32_t rate, int32_t channels) {
  int code = dat_rate_code(rate);
  if (code < 0) {
    say(source, "not supported file type\n");
    code = dat_rate_code(dat_target_rate(rate));  // the rate it would be converted to
  }
  frame->main_id_format = static_cast<uint8_t>((frame->main_id_format & ~0x0F) | code << 2 | (channels == 2 ? 0 : 1));
}

void audio_source_probe(AudioSource* source, DatFrame* frame, const char* path) {
  take_extension(source, path);
  // How the last file was converted says nothing about this one: when its
  // probe fails, its bytes go through as they come.
  source->format.plan = ConvertPlan{};
  source->refused = false;
  // A FIFO, a device or a folder would block the probe or never end; each
  // source is also opened more than once. Only regular files are sources (a
  // missing file is left to the module that opens it).
  struct stat st {};
  if (source_class(source) != CLASS_NONE && stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    refuse_unanalyzable(source, path);
    return;
  }
  switch (source_class(source)) {
    case CLASS_MP3: probe_mp3(source, frame, path); break;
    case CLASS_WAV: probe_wav(source, frame, path); break;
    case CLASS_NONE: break;
  }
}

void audio_source_probe_format(AudioSource* source, DatFrame* frame, const char* path) {
  source->silent = true;
  audio_source_probe(source, frame, path);
  source->silent = false;
}

int audio_source_open(AudioSource* source, DatFrame* frame, const char* path) {
  source->converting = false;
  SourceReader reader = nullptr;
  switch (source_class(source)) {
    case CLASS_MP3:
      if (source->refused) return 0;
      source->reprobe = true;
      audio_source_probe(source, frame, path);
      source->reprobe = false;
      if (source->refused) return 0;
      if (!init_mp3_decode(path, kMp3ChunkBytes, source->format.channels, source->format.rate, source->format.bitrate_figure))
        return 0;
      reader = do_mp3_decode;
      break;
    case CLASS_WAV:
      if (source->refused) return 0;
      init_wav_decode(path);  // always 1: a file that cannot be read delivers nothing
      reader = do_wav_decode;
      break;
    case CLASS_NONE:
      return 0;
  }
  // Without a successful probe of this file there is no plan: the bytes go through as they are.
  if (source->format.plan.passthrough || source->format.plan.encoding == SAMPLE_UNSUPPORTED) return 1;
  if (converter_open(&source->converter, &source->format.plan, reader) != 0) return 0;
  source->converting = true;
  return 1;
}

int32_t audio_source_read(AudioSource* source, uint8_t* buffer, uint32_t n) {
  if (source->converting) return converter_read(&source->converter, buffer, n);
  switch (source_class(source)) {
    case CLASS_MP3: return do_mp3_decode(buffer, n);
    case CLASS_WAV: return do_wav_decode(buffer, n);
    case CLASS_NONE: break;
  }
  return 0;
}

void audio_source_close(AudioSource* source) {
  if (source->converting) converter_close(&source->converter);
  source->converting = false;
  switch (source_class(source)) {
    case CLASS_MP3: close_mp3_decode(); break;
    case CLASS_WAV: close_wav_decode(); break;
    case CLASS_NONE: break;
  }
}
