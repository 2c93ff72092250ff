// SPDX-License-Identifier: MIT
// The wave-out player: a ring of PCM buffers fed to the wave-out device.
#pragma once

#include <cstdint>

#include "base/run_settings.h"

extern "C" {

// Ring size and buffer size; the caller sets them before wave_out_init.
extern int32_t wave_out_buffers;
extern uint32_t wave_out_buffer_bytes;

// Starts the player at a rate: 0 when playing, -1 format not playable,
// -2 device cannot be opened or reset, -3 queuing a buffer failed.
int32_t wave_out_init(int32_t rate);
// Collects n bytes of PCM and queues every full buffer; returns the staged count.
uint32_t output_waveout(const void* pcm, uint32_t n, PlaybackStaging* staging);
// Queues exactly wave_out_buffer_bytes bytes: 0, or -1 on time-out or device error.
int32_t wave_out_dataout(const void* pcm);
// Stops the player (mode 1 at once, else after the queued audio); returns the buffer count.
int32_t wave_out_wrapup(int32_t mode);
// Takes a playing player back to its just-started state: 0, or -3.
int32_t wave_out_restart(void);

}
