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

// Concealment totals of one track.
struct ConcealTotals {
  int32_t samples_fixed;
  int32_t frames_fixed;
  int32_t frames_not_fixed;
};

extern "C" {

// Subcode, time code.
int32_t analyze_frame(const DatFrame* frame, RunSettings* settings);
void print_subcode(const RunSettings* settings);
void log_subcode(const RunSettings* settings);
int32_t frame_audio_bytes(int32_t rate_code, int32_t sample_bits);
uint32_t step_time_code(uint32_t time_code);
void step_time_code_bytes(uint8_t* bytes);
int32_t bcd_value(uint8_t byte);

// Long-play 12-bit codec.
int32_t lp_expand(int32_t code);
int32_t lp_compress(int32_t sample);
int32_t lp_unpack_frame(uint8_t* pcm, const DatFrame* frame);
int32_t lp_pack_frame(uint8_t* audio, const uint8_t* pcm);

// Position tables and concealment.
void build_frame_tables(void);
int32_t conceal_errors(const DatFrame* frame, uint8_t* pcm, int32_t n, int32_t code);

extern int16_t lp_position[DAT_AUDIO_BYTES];
extern int16_t lp_compress_table[65536];

}

// The extraction's handling of a frame the drive flagged (interpolate_flags
// non-zero): the report to the track log and the console, the optional
// repair of pcm (pcm_bytes long) and the track's totals. wav_name is the
// track's file name, "" in live playback.
void handle_error_frame(const DatFrame* frame, uint8_t* pcm, int32_t pcm_bytes,
                        const RunSettings* settings, ConcealTotals* totals, const char* wav_name);
