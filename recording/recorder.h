// SPDX-License-Identifier: MIT
// The frames of a recording: lead-in, silences, one audio program per listed
// file, lead-out. A Recorder owns the one frame being built and the audio
// source being read; each routine sets only its own fields of the frame, and
// what a routine does not set carries over to the next frame. Writing the
// frames to tape is the recording mode's.
#pragma once

#include <cstdint>
#include <vector>

#include "datframe/dat_frame.h"
#include "recording/audio_source.h"
#include "recording/cue_file.h"

// Frames of the lead-in and of the lead-out.
#define LEAD_IN_FRAMES 120
#define LEAD_OUT_FRAMES 300
// Frames at the head of a track that carry the start ID and program time.
#define START_ID_FRAMES 300

struct Recorder {
  DatFrame frame{};     // the frame being built
  AudioSource source;   // the file of the track being recorded
};

// One program of the recording.
struct RecorderTrack {
  int number;          // list position, the program number
  int hundreds;        // its hundreds digit
  uint8_t tens_units;  // its tens and units digits, BCD
  bool long_play;
  uint32_t frame_bytes;  // source bytes per frame
};

// The frame's sampling-rate code (0 48 kHz, 1 44.1 kHz, 2 32 kHz).
int recorder_rate_code(const Recorder* recorder);
// Silent audio in the frame.
void recorder_zero_audio(Recorder* recorder);
// Packs 1 and 2 to program 001, index 01, time 00:00:00:00; two packs.
void recorder_reset_program_subcode(Recorder* recorder);
// Byte 7 of each valid pack (the count in sid_pno1) = XOR of its bytes 0-6.
void recorder_set_pack_parity(Recorder* recorder);
// Advances the absolute time and then the program time by one frame; a time
// of four 0xAA bytes (no time) stays as it is.
void recorder_advance_time_codes(Recorder* recorder);
// Frames of a silence of `seconds` for the frame's rate and quantisation.
int32_t recorder_silence_frames(const Recorder* recorder, int32_t seconds);
// " - time: hh:mm:ss:ff" of the absolute time about to be written, then "\r".
void recorder_print_time(const Recorder* recorder);

// The frame of the lead-in (silent, parity set), written LEAD_IN_FRAMES times.
void recorder_begin_lead_in(Recorder* recorder);
// The subcode of the lead-in silence (program 000, time from 0).
void recorder_begin_lead_in_silence(Recorder* recorder);
// The frame of the lead-out (silent, parity set), written LEAD_OUT_FRAMES times.
void recorder_begin_lead_out(Recorder* recorder);

// Sets the subcode of a track's start (program number, main ID, date).
void recorder_start_track(Recorder* recorder, const RecordingOptions& options, RecorderTrack* track);
// Before a track's first audio frame: its program time starts at 0.
void recorder_begin_track_audio(Recorder* recorder);
// Source bytes a frame of the track takes.
uint32_t recorder_track_bytes(const RecorderTrack& track);
// Places a frame's worth of source bytes (recorder_track_bytes) in the frame's
// audio. false when the long-play tables are missing.
bool recorder_take_audio(Recorder* recorder, const RecorderTrack& track, const uint8_t* pcm);
// The subcode of the track's audio frame number k (from 0), parity set.
void recorder_set_track_subcode(Recorder* recorder, const RecordingOptions& options, const RecorderTrack& track,
                                int k);
