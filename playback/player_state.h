// SPDX-License-Identifier: MIT
// A look inside the wave-out player, for its tests.
#pragma once

#include <cstdint>

#include "platform/waveout.h"

// 1 while the player has an open device.
int player_is_open(void);
// The ring position: the buffer the next full buffer of audio goes into.
int32_t player_ring_position(void);
// Header i of the ring, or null when it does not exist.
const WAVEHDR* player_header(int32_t i);
// Bytes the player holds in its staging buffer.
uint32_t player_staged_bytes(void);
