// Stand-in until the frame tables are built: the long-play tables stay empty.
#include "datframe/dat_frame.h"

int16_t lp_position[DAT_AUDIO_BYTES];
int16_t lp_compress_table[65536];

void build_frame_tables(void) {}

// The tape seek reads BCD time codes with this before the rest of the
// subcode code is built; it moves there with it.
int32_t bcd_value(uint8_t byte) { return (byte & 0x0F) + (byte >> 4) * 10; }
