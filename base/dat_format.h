// SPDX-License-Identifier: MIT
// The DAT tape frame as the drive exchanges it in audio mode, and the small
// rules of its format that every layer shares (the provider's virtual
// drives, the command set, the frame layer, thistle): byte geometry, BCD
// digits, the time-code step, the sampling-rate codes. Plain data and pure
// inline rules; no code that does anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#define DAT_FRAME_BYTES 5822
#define DAT_AUDIO_BYTES 5760
#define DAT_PACK_COUNT 7
#define DAT_PACK_BYTES 8
#define DAT_LP_PCM_BYTES 7680

// Pack items.
#define PACK_ITEM_PROGRAM_TIME 1
#define PACK_ITEM_ABSOLUTE_TIME 2
#define PACK_ITEM_RUNNING_TIME 3
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

// The value of one BCD byte, (byte & 0x0F) + (byte >> 4) * 10 (0xAA gives 110).
inline int32_t dat_bcd_value(uint8_t byte) { return (byte & 0x0F) + (byte >> 4) * 10; }

// A value as one BCD byte: tens in the high nibble, units in the low, kept
// within the byte (a value from a byte that was no BCD stays within it).
inline uint8_t dat_bcd_byte(uint32_t value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

// The time code one frame later, in place: four BCD bytes hours, minutes,
// seconds, frame number. 33 frames in a second whose number leaves 0 or 1
// when divided by 3, 34 in one that leaves 2: 100 frames make 3 seconds.
// Hours do not wrap.
inline void dat_step_time_code(uint8_t* bytes) {
  int32_t h = dat_bcd_value(bytes[0]);
  int32_t m = dat_bcd_value(bytes[1]);
  int32_t s = dat_bcd_value(bytes[2]);
  int32_t f = dat_bcd_value(bytes[3]) + 1;
  if ((s % 3 == 2 && f > 33) || (s % 3 != 2 && f > 32)) {
    s += 1;
    f = 0;
  }
  if (s == 60) {
    m += 1;
    s = 0;
  }
  if (m == 60) {
    h += 1;
    m = 0;
  }
  bytes[0] = dat_bcd_byte(static_cast<uint32_t>(h));
  bytes[1] = dat_bcd_byte(static_cast<uint32_t>(m));
  bytes[2] = dat_bcd_byte(static_cast<uint32_t>(s));
  bytes[3] = dat_bcd_byte(static_cast<uint32_t>(f));
}

// The time code of the frame count frames after 00:00:00:00, by the same
// rule, into four BCD bytes.
inline void dat_time_code_of_frames(uint64_t count, uint8_t* bytes) {
  uint64_t in_group = count % 100;
  uint64_t second_in_group = in_group < 33 ? 0 : in_group < 66 ? 1 : 2;
  uint64_t seconds = count / 100 * 3 + second_in_group;
  bytes[0] = dat_bcd_byte(static_cast<uint32_t>(seconds / 3600));
  bytes[1] = dat_bcd_byte(static_cast<uint32_t>(seconds / 60 % 60));
  bytes[2] = dat_bcd_byte(static_cast<uint32_t>(seconds % 60));
  bytes[3] = dat_bcd_byte(static_cast<uint32_t>(in_group - 33 * second_in_group));
}

// A time code as text, "hh:mm:ss:ff", its BCD digits as they stand; code
// packed with the hours in bits 31-24. text holds at least 12 bytes.
inline void dat_time_code_text(uint32_t code, char* text, size_t size) {
  std::snprintf(text, size, "%.2x:%.2x:%.2x:%.2x", code >> 24 & 0xFF, code >> 16 & 0xFF, code >> 8 & 0xFF,
                code & 0xFF);
}

// The text of the frame count frames after 00:00:00:00.
inline void dat_frames_text(uint64_t count, char* text, size_t size) {
  uint8_t b[4];
  dat_time_code_of_frames(count, b);
  dat_time_code_text(static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                         static_cast<uint32_t>(b[2]) << 8 | b[3],
                     text, size);
}

// The frame count of a time code by the same rule, from four BCD bytes hours,
// minutes, seconds, frame number; -1 for a code that names no frame (a digit
// above 9, minutes or seconds beyond 59, a frame number beyond its second's).
inline int64_t dat_frames_of_time_code(const uint8_t* bytes) {
  int32_t value[4];
  for (int i = 0; i < 4; ++i) {
    if ((bytes[i] >> 4) > 9 || (bytes[i] & 0x0F) > 9) return -1;
    value[i] = dat_bcd_value(bytes[i]);
  }
  int32_t second_in_group = value[2] % 3;
  if (value[1] > 59 || value[2] > 59 || value[3] > (second_in_group == 2 ? 33 : 32)) return -1;
  int64_t seconds = static_cast<int64_t>(value[0]) * 3600 + value[1] * 60 + value[2];
  return seconds / 3 * 100 + second_in_group * 33 + value[3];
}

// Sampling rate in Hz of a main-ID rate code: 0 48000, 1 44100, 2 32000; 0
// for the reserved code 3 (and anything else).
inline int32_t dat_rate_hz(int32_t rate_code) {
  static const int32_t kRates[4] = {48000, 44100, 32000, 0};
  return rate_code >= 0 && rate_code <= 3 ? kRates[rate_code] : 0;
}

// The rate code of a rate in Hz, or -1 for a rate a DAT does not record.
inline int32_t dat_rate_code(int32_t hz) { return hz == 48000 ? 0 : hz == 44100 ? 1 : hz == 32000 ? 2 : -1; }
