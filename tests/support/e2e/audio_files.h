// SPDX-License-Identifier: MIT
// Audio for the recording tests: WAV files of any PCM or float format, test
// signals, and the measure of how clean a sine came back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A WAV file: a 16-byte format chunk (tag 1 PCM, 3 float) and the data as given.
std::string wav_file_bytes(int format_tag, int channels, int rate, int bits, const std::string& data);
bool write_wav_file(const std::string& path, int format_tag, int channels, int rate, int bits,
                    const std::string& data);

// 16-bit little-endian samples as bytes, and back.
std::string pcm16_bytes(const std::vector<int16_t>& samples);
std::vector<int16_t> pcm16_samples(const std::string& bytes);

// Interleaved 16-bit samples that differ from sample to sample and between
// channels (a mix of a ramp and a pseudo-random sequence), frames x channels.
std::vector<int16_t> test_pattern(size_t frames, int channels, uint32_t seed);

// A sine of `amplitude` (fraction of full scale) at `frequency` Hz.
std::vector<double> sine_wave(size_t frames, double rate, double frequency, double amplitude);

// Sample encoders of a signal in [-1, 1] (clipped), little-endian.
std::string encode_u8(const std::vector<double>& x);
std::string encode_s24(const std::vector<double>& x);
std::string encode_f32(const std::vector<double>& x);
std::string encode_f64(const std::vector<double>& x);

// Signal to noise and distortion in dB of a sine at `frequency` in x: the
// best-fitting sine (amplitude, phase, offset) against the residual.
double sinad_db(const std::vector<double>& x, double rate, double frequency);
