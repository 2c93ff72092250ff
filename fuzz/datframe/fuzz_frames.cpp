// SPDX-License-Identifier: MIT
// Arbitrary frames through the frame analysis, the subcode line, the
// long-play unpacker and packer, and the concealment. The concealment runs
// with the frame's own flag byte, which the fuzzer varies over all 256
// values, and with one code of each kind of repair (right, left, both, none,
// unknown).
// Besides the sanitizers' checks it holds the results to what must be true
// for any input, and aborts where they are not.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "datframe/dat_frame.h"
#include "datframe/frame_build.h"
#include "fuzz/datframe/frames_input.h"
#include "sinks/damaged_frame.h"
#include "scsi/aspi_call.h"

namespace {

FILE* g_null = nullptr;

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_frames: %s\n", what);
  std::abort();
}

int16_t sample(const uint8_t* area, int32_t i) { return static_cast<int16_t>(area[2 * i] | (area[2 * i + 1] << 8)); }

void analyse(const DatFrame& frame, const FramesControl& c, RunSettings* s) {
  s->stopeot_arg = c.flags & 1;
  s->errorcorrect_arg = (c.flags >> 1) & 1;
  s->input_needs_load = (c.flags >> 2) & 1;
  s->rate_code = (c.flags >> 3) & 3;
  s->start_id_seen = (c.flags >> 5) & 1;
  s->subcode_seen = 1;
  s->blank_frames = c.blank_frames;
  bool has_packs = false;
  for (const uint8_t* pack : frame.pack) has_packs = has_packs || (pack[0] >> 4) != 0;
  int32_t times = 1 + c.repeats % 80;
  for (int32_t i = 0; i < times; ++i) {
    require(analyze_frame(&frame, s) == 0, "analyze_frame returned non-zero");
    require(s->start_id_found == 0 || s->start_id_found == 1, "start_id_found not a flag");
    require(s->start_id_found == 0 || i == 0, "start ID found twice in one run");
    require(s->sample_bits == (s->quant_code == 1 ? 12 : 16), "sample bits disagree with the quantisation");
    require(s->rate_code >= 0 && s->rate_code <= 3, "rate code out of range");
    require(s->stopeot_arg == 0 || s->stop_requested == 0, "stop stands with /STOPEOT");
    require(!has_packs || (s->blank_frames == 0 && s->no_subcode == 0), "packs did not reset the blank count");
    require(has_packs || s->no_subcode == 1, "blank frame not marked");
  }
  print_subcode(s);
  log_subcode(s);
}

void long_play_round_trip(const DatFrame& frame) {
  static uint8_t pcm[DAT_LP_PCM_BYTES];
  static DatFrame again;
  require(lp_unpack_frame(pcm, &frame) == DAT_LP_PCM_BYTES, "unpack did not give 7680 bytes");
  require(lp_pack_frame(again.audio, pcm) == DAT_AUDIO_BYTES, "pack did not give 5760 bytes");
  require(std::memcmp(again.audio, frame.audio, DAT_AUDIO_BYTES) == 0, "unpack then pack changed the frame");
}

// Which channels a code repairs: bit 0 left, bit 1 right; 0 for none.
int32_t channels_of(int32_t code) {
  switch (code) {
    case 0x20: case 0x22: return 2;
    case 0x21: case 0x40: case 0x48: return 1;
    case 0x80: case 0xEF: return 0;
    default: return 3;
  }
}

void conceal_codes(const DatFrame& frame, const FramesControl& c, const RunSettings& s) {
  static uint8_t pcm[DAT_LP_PCM_BYTES];
  int32_t n = static_cast<int16_t>(c.bytes[0] | (c.bytes[1] << 8));
  if (n == 0) n = frame_audio_bytes(s.rate_code, s.sample_bits);
  int32_t used = n < 0 ? 0 : n > DAT_AUDIO_BYTES ? DAT_AUDIO_BYTES : n;
  int32_t examined = used > 12 ? (used - 12 + 3) / 4 : 0;  // pairs 1 to examined
  const int32_t codes[] = {frame.interpolate_flags, 0x20, 0x40, 0x60, 0x80, 0x41};
  for (int32_t code : codes) {
    std::memset(pcm, 0xA5, sizeof pcm);
    std::memcpy(pcm, frame.audio, static_cast<size_t>(used));
    if (c.pcm_change != 0 && used > 0) pcm[(c.pcm_at[0] | (c.pcm_at[1] << 8)) % used] ^= c.pcm_change;
    static uint8_t before[DAT_LP_PCM_BYTES];
    std::memcpy(before, pcm, sizeof pcm);
    int32_t repaired = conceal_errors(&frame, pcm, n, code);
    int32_t channels = channels_of(code);
    if (channels == 0) {
      require(repaired == 0, "a code that is not fixed repaired samples");
      require(std::memcmp(pcm, frame.audio, static_cast<size_t>(used)) == 0, "not-fixed frame not copied");
    } else {
      int32_t changed = 0;
      for (int32_t i = 0; i < used / 2; ++i) {
        if (sample(pcm, i) == sample(before, i)) continue;
        int32_t pair = i / 2;
        require(pair >= 1 && pair <= examined, "a sample outside the examined pairs changed");
        require((channels >> (i % 2)) & 1, "a channel the code does not repair changed");
        changed += 1;
      }
      require(changed == repaired, "result differs from the samples changed");
    }
    require(std::memcmp(pcm + used, before + used, sizeof pcm - static_cast<size_t>(used)) == 0,
            "bytes past the byte count changed");
  }
}

void report_flagged(const DatFrame& frame, const RunSettings& s) {
  static uint8_t pcm[DAT_LP_PCM_BYTES];
  std::memcpy(pcm, frame.audio, DAT_AUDIO_BYTES);
  ConcealTotals totals = {0, 0, 0};
  int32_t bytes = frame_audio_bytes(s.rate_code, s.sample_bits);
  int32_t r = handle_error_frame(&frame, pcm, bytes, &s, &totals, "FUZZ001.wav");
  int32_t frames = totals.frames_fixed + totals.frames_not_fixed;
  require(r >= 0 && totals.samples_fixed == r, "error-frame totals disagree with its result");
  require(frames == (frame.interpolate_flags != 0 ? 1 : 0), "error frame not counted once");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The analysis writes a status line per frame; keep it out of the fuzzer's log.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  g_null = std::fopen("/dev/null", "w");
  track_log_set(g_null);
  build_frame_tables();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static uint8_t input[FRAMES_INPUT_BYTES];
  std::memset(input, 0, sizeof input);
  std::memcpy(input, data, size < sizeof input ? size : sizeof input);
  DatFrame frame;
  FramesControl control;
  std::memcpy(&frame, input, sizeof frame);
  std::memcpy(&control, input + sizeof frame, sizeof control);

  RunSettings settings;
  std::memset(&settings, 0, sizeof settings);
  analyse(frame, control, &settings);
  long_play_round_trip(frame);
  conceal_codes(frame, control, settings);
  report_flagged(frame, settings);

  uint8_t time[4] = {frame.pack[0][3], frame.pack[0][4], frame.pack[0][5], frame.pack[0][6]};
  uint32_t packed = (static_cast<uint32_t>(time[0]) << 24) | (time[1] << 16) | (time[2] << 8) | time[3];
  step_time_code_bytes(time);
  uint32_t stepped = (static_cast<uint32_t>(time[0]) << 24) | (time[1] << 16) | (time[2] << 8) | time[3];
  require(stepped == step_time_code(packed), "the two time-code steps disagree");
  require(frame_set_pack_parity(&frame) <= DAT_PACK_COUNT, "parity beyond the packs");
  return 0;
}
