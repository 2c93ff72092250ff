// SPDX-License-Identifier: MIT
// Shared between the table builder and the long-play codec.
#pragma once

// True once build_frame_tables has filled lp_position and lp_compress_table.
bool frame_tables_built(void);
