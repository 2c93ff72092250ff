// SPDX-License-Identifier: MIT
// The frame layer: subcode analysis, time code, the long-play codec,
// concealment, for the DAT tape frame of base/dat_format.h. This folder knows
// the format; it never talks to a drive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/dat_format.h"
#include "base/run_settings.h"

struct FrameInfo;
struct FrameEvents;

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
// The same, quietly and without any stop: fills the record's subcode fields
// (which the subcode line shows) and gives the frame's value and what
// happened at it. The caller decides what to say and when to stop.
void take_frame(const DatFrame* frame, RunSettings* settings, FrameInfo* info, FrameEvents* events);
// Sets the record's subcode state as before a tape's first frame.
void reset_frame_analysis(RunSettings* settings);
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



}
