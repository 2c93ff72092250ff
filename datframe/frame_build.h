// SPDX-License-Identifier: MIT
// Building frames: the subcode packs with their parity, the sub-ID and the
// main ID, for the recorder and for tests. Digits are BCD as on tape; the
// functions that take plain numbers say so.
#pragma once

#include <cstdint>

#include "datframe/dat_frame.h"

// A recording date and time of day, plain numbers.
struct FrameDate {
  int32_t weekday;  // 1 = Sunday .. 7 = Saturday
  int32_t year;     // last two digits, 0..99
  int32_t month;    // 1..12
  int32_t day;      // 1..31
  int32_t hour;     // 0..23
  int32_t minute;
  int32_t second;
};

extern "C" {

// Two decimal digits of value (0..99) as one BCD byte: ((value / 10) << 4) | (value % 10).
uint8_t bcd_from_value(int32_t value);
// The 12-bit BCD program number (hundreds, tens, units) of a plain number
// 0..999, or -1.
int32_t program_number_bcd(int32_t number);
// A packed BCD time code (hours in bits 31-24) from plain hours (0..99),
// minutes, seconds (0..59) and frame number (0..33); TIME_CODE_NONE when a
// value is out of range.
uint32_t time_code_from_values(int32_t hours, int32_t minutes, int32_t seconds, int32_t frame);

// Fills pack slot 1..7 with a time pack: item PACK_ITEM_PROGRAM_TIME or
// PACK_ITEM_ABSOLUTE_TIME, the 12-bit BCD program number (the hundreds digit
// in byte 0 bits 2-0, bit 3 left 0), the BCD index number and the packed time
// in bytes 3-6. Parity is left to frame_set_pack_parity. 0, or -1 for a bad
// slot or item.
int32_t frame_set_time_pack(DatFrame* frame, int32_t slot, int32_t item, int32_t program, uint8_t index,
                            uint32_t time);
// Fills pack slot 1..7 with the date pack of date (plain numbers, written as
// BCD). 0, or -1 for a bad slot or a value out of range.
int32_t frame_set_date_pack(DatFrame* frame, int32_t slot, const FrameDate* date);
// Empties pack slot 1..7 (all eight bytes 0). 0, or -1 for a bad slot.
int32_t frame_clear_pack(DatFrame* frame, int32_t slot);
// Byte 7 of each of the first c packs (c = the pack count of the sub-ID, at
// most 7) becomes the XOR of its bytes 0 to 6. Returns the number of packs done.
int32_t frame_set_pack_parity(DatFrame* frame);

// The sub-ID's program number (12-bit BCD: hundreds digit in sid_pno1 bits
// 7-4, tens and units in sid_pno23) and pack count (0..7). 0, or -1.
int32_t frame_set_sub_id(DatFrame* frame, int32_t program, int32_t pack_count);
// The control ID, bits 7-4 of sid_control (for example SID_START_ID |
// SID_PRIORITY); the data ID in bits 3-0 is kept. 0, or -1 when control has
// bits 3-0 set.
int32_t frame_set_control_id(DatFrame* frame, int32_t control);
// The main ID: sampling-frequency code (0 = 48 kHz, 1 = 44.1 kHz, 2 = 32 kHz),
// channel code (0 = two, 1 = four), quantisation code (0 = 16-bit linear,
// 1 = 12-bit long play) and SCMS code, each 0..3; format ID, emphasis, track
// pitch and the low bits are written 0. 0, or -1 for a value out of range.
int32_t frame_set_main_id(DatFrame* frame, int32_t rate_code, int32_t channel_code, int32_t quant_code,
                          int32_t scms_code);

}
