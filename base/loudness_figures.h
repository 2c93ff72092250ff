// SPDX-License-Identifier: MIT
// The loudness (EBU R 128) of a file's audio: what the file's writer
// measured (sinks/loudness), and what the report lists of the file.
#pragma once

// What a file's audio measured. Levels with no audio loud enough to count
// (silence) are -infinity.
struct LoudnessFigures {
  bool measured = false;
  double integrated = 0;      // LUFS
  double range = 0;           // LU
  double true_peak = 0;       // dBTP
  double max_momentary = 0;   // LUFS
  double max_short_term = 0;  // LUFS
};
