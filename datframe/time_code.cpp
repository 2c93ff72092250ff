// SPDX-License-Identifier: MIT
// Time code arithmetic: the exported forms of the rules in base/dat_format.h.
#include "datframe/dat_frame.h"

int32_t bcd_value(uint8_t byte) { return dat_bcd_value(byte); }

void step_time_code_bytes(uint8_t* bytes) { dat_step_time_code(bytes); }

uint32_t step_time_code(uint32_t time_code) {
  uint8_t bytes[4] = {static_cast<uint8_t>(time_code >> 24), static_cast<uint8_t>(time_code >> 16),
                      static_cast<uint8_t>(time_code >> 8), static_cast<uint8_t>(time_code)};
  dat_step_time_code(bytes);
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}
