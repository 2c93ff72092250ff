// Time code arithmetic: four BCD bytes hours, minutes, seconds, frame number;
// 33 frames in a second whose number leaves 0 or 1 when divided by 3, 34 in
// one that leaves 2, so that 100 frames make 3 seconds.
#include "datframe/dat_frame.h"
#include "datframe/frame_build.h"

int32_t bcd_value(uint8_t byte) { return (byte & 0x0F) + (byte >> 4) * 10; }

void step_time_code_bytes(uint8_t* bytes) {
  int32_t h = bcd_value(bytes[0]);
  int32_t m = bcd_value(bytes[1]);
  int32_t s = bcd_value(bytes[2]);
  int32_t f = bcd_value(bytes[3]) + 1;
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
  // Bytes that were no BCD (0xAA marks "no time") stay within their byte.
  bytes[0] = bcd_from_value(h);
  bytes[1] = bcd_from_value(m);
  bytes[2] = bcd_from_value(s);
  bytes[3] = bcd_from_value(f);
}

uint32_t step_time_code(uint32_t time_code) {
  uint8_t bytes[4] = {static_cast<uint8_t>(time_code >> 24), static_cast<uint8_t>(time_code >> 16),
                      static_cast<uint8_t>(time_code >> 8), static_cast<uint8_t>(time_code)};
  step_time_code_bytes(bytes);
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}
