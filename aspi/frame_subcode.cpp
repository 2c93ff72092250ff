// SPDX-License-Identifier: MIT
#include "aspi/frame_subcode.h"

#include <cstring>

namespace {

const size_t kSidPno1 = offsetof(DatFrame, sid_pno1) - FRAME_TRAILER_OFFSET;
const size_t kSidPno23 = offsetof(DatFrame, sid_pno23) - FRAME_TRAILER_OFFSET;
static_assert(FRAME_TRAILER_BYTES == 62);
static_assert(kSidPno1 == 57 && kSidPno23 == 58);

}  // namespace

void frame_subcode_parse(const uint8_t* trailer, FrameSubcode* s) {
  s->digits[0] = trailer[kSidPno1] >> 4;
  s->digits[1] = trailer[kSidPno23] >> 4;
  s->digits[2] = trailer[kSidPno23] & 0x0F;
  std::memset(s->absolute, 0xAA, sizeof s->absolute);
  std::memset(s->program_time, 0xAA, sizeof s->program_time);
  for (int slot = 0; slot < DAT_PACK_COUNT; ++slot) {
    const uint8_t* pack = trailer + slot * DAT_PACK_BYTES;
    int item = pack[0] >> 4;
    if (item == PACK_ITEM_ABSOLUTE_TIME) std::memcpy(s->absolute, pack + 3, 4);
    if (item == PACK_ITEM_PROGRAM_TIME) std::memcpy(s->program_time, pack + 3, 4);
  }
}
