// The DAT tape frame as the drive exchanges it in audio mode: 5760 bytes of
// audio, seven subcode packs, the sub-ID, the drive's interpolation flags and
// the main ID. This folder knows the format; it never talks to a drive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control/run_settings.h"

#define DAT_FRAME_BYTES 5822
#define DAT_AUDIO_BYTES 5760
#define DAT_PACK_COUNT 7
#define DAT_PACK_BYTES 8
#define DAT_LP_PCM_BYTES 7680

// Pack items.
#define PACK_ITEM_PROGRAM_TIME 1
#define PACK_ITEM_ABSOLUTE_TIME 2
#define PACK_ITEM_DATE 5

// Special program numbers (12-bit BCD values).
#define PROGRAM_LEAD_IN 0x0BB
#define PROGRAM_LEAD_OUT 0x0EE
#define PROGRAM_NONE 0x0AA

// sid_control bits.
#define SID_START_ID 0x40
#define SID_PRIORITY 0x80

struct DatFrame {
  uint8_t audio[DAT_AUDIO_BYTES];
  uint8_t pack[DAT_PACK_COUNT][DAT_PACK_BYTES];  // slots 1 to 7
  uint8_t sid_control;
  uint8_t sid_pno1;
  uint8_t sid_pno23;
  uint8_t interpolate_flags;
  uint8_t main_id_format;
  uint8_t main_id_mode;
};

static_assert(sizeof(DatFrame) == DAT_FRAME_BYTES);
static_assert(offsetof(DatFrame, pack) == 5760);
static_assert(offsetof(DatFrame, sid_control) == 5816);
static_assert(offsetof(DatFrame, sid_pno1) == 5817);
static_assert(offsetof(DatFrame, sid_pno23) == 5818);
static_assert(offsetof(DatFrame, interpolate_flags) == 5819);
static_assert(offsetof(DatFrame, main_id_format) == 5820);
static_assert(offsetof(DatFrame, main_id_mode) == 5821);

// Four time bytes 0xAA, packed: no valid time is recorded.
#define TIME_CODE_NONE 0xAAAAAAAAu

// What one frame says, as plain values, for a caller that keeps no run state
// (the drive check of kestrel-drives).
struct FrameSummary {
  int32_t has_subcode;   // 1 when any subcode pack is present
  int32_t rate_code;     // main ID: 0 = 48 kHz, 1 = 44.1 kHz, 2 = 32 kHz, 3 reserved
  int32_t channel_code;  // 0 = two channels, 1 = four
  int32_t quant_code;    // 0 = 16-bit linear, 1 = 12-bit long play
  int32_t program;       // the sub-ID's 12-bit BCD program number
  int32_t start_id;      // 1 when the sub-ID carries a start ID
  int32_t flagged;       // 1 when the drive set interpolation flags
  uint32_t abs_time;     // time of the absolute-time pack, TIME_CODE_NONE without one
  uint32_t prog_time;    // time of the program-time pack, TIME_CODE_NONE without one
};
static_assert(sizeof(FrameSummary) == 36);

// Concealment totals of one track.
struct ConcealTotals {
  int32_t samples_fixed;
  int32_t frames_fixed;
  int32_t frames_not_fixed;
};

extern "C" {

// Subcode, time code.

// Takes the subcode of one frame into settings (packs, blank-stretch stop,
// main ID, start-ID runs), prints "\r" and any rate-change or start-ID line.
// Always 0.
int32_t analyze_frame(const DatFrame* frame, RunSettings* settings);
// Fills summary from one frame alone. Always 0.
int32_t summarize_frame(const DatFrame* frame, FrameSummary* summary);
// The subcode line of the last analysed frame, to the console, no line end.
void print_subcode(const RunSettings* settings);
// The same line into the track log (nothing when none is open).
void log_subcode(const RunSettings* settings);
// PCM bytes one frame gives at this rate code and sample width.
int32_t frame_audio_bytes(int32_t rate_code, int32_t sample_bits);
// The packed BCD time code (hours in bits 31-24) one frame later.
uint32_t step_time_code(uint32_t time_code);
// The same step on four BCD bytes hours, minutes, seconds, frame, in place.
void step_time_code_bytes(uint8_t* bytes);
// (byte & 0x0F) + (byte >> 4) * 10.
int32_t bcd_value(uint8_t byte);

// Long-play 12-bit codec.

// 16-bit sample of a 12-bit code (0..4095 or -2048..2047; only the low 12
// bits count).
int32_t lp_expand(int32_t code);
// 12-bit code of a 16-bit sample pattern (0..65535; only the low 16 bits
// count); the low 12 bits of the result are the code.
int32_t lp_compress(int32_t sample);
// Expands the long-play frame's audio area into 7680 bytes of 16-bit PCM.
// Returns 7680, or -1 before build_frame_tables has run.
int32_t lp_unpack_frame(uint8_t* pcm, const DatFrame* frame);
// Packs 7680 bytes of 16-bit PCM into a 5760-byte long-play audio area.
// Returns 5760, or -1 before build_frame_tables has run.
int32_t lp_pack_frame(uint8_t* audio, const uint8_t* pcm);

// Position tables and concealment.

// Fills lp_position and lp_compress_table; run once before any mode.
void build_frame_tables(void);
// Repairs isolated spikes of a flagged 16-bit frame in pcm (a copy of its
// first n audio bytes; n is taken as at most 5760), writes the outcome to
// the track log and returns the number of samples replaced.
int32_t conceal_errors(const DatFrame* frame, uint8_t* pcm, int32_t n, int32_t code);

extern int16_t lp_position[DAT_AUDIO_BYTES];
extern int16_t lp_compress_table[65536];

// The extraction's handling of a frame the drive flagged (interpolate_flags
// non-zero): the report to the track log and the console, the repair of pcm
// (pcm_bytes long) when /ERRORCORRECT is given and the frame is 16-bit, and
// the track's totals. wav_name is the track's file name, "" in live playback
// (where no track log is open). Returns the samples repaired; 0 for a clean
// frame, which is left alone; -1 when an argument is missing.
int32_t handle_error_frame(const DatFrame* frame, uint8_t* pcm, int32_t pcm_bytes,
                           const RunSettings* settings, ConcealTotals* totals, const char* wav_name);

}
