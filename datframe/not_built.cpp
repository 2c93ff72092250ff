// Stand-in until the frame tables are built: the long-play tables stay empty.
#include "datframe/dat_frame.h"

int16_t lp_position[DAT_AUDIO_BYTES];
int16_t lp_compress_table[65536];

void build_frame_tables(void) {}
