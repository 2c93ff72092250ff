// The recording engine of /GOSHAWK: lead-in, silences, one audio program per
// listed file, lead-out. Every routine fills the one frame of the recorder
// and writes it; what a routine does not set carries over to the next frame.
#pragma once

#include <cstdint>

#include "datframe/dat_frame.h"
#include "scsi/drive_address.h"

// Frames of the lead-in and of the lead-out.
#define LEAD_IN_FRAMES 120
#define LEAD_OUT_FRAMES 300
// Frames at the head of a track that carry the start ID and program time.
#define START_ID_FRAMES 300

// Tape write results told apart by the recorder.
#define WRITE_POSITIONING_ERROR(code) (((code) & 0xFFFFFFu) == 0x033B00u)
#define WRITE_PROTECT_ERROR(code) (((code) & 0xFFFFu) == 0x2700u)

// The recorder's frame.
DatFrame* recorder_frame(void);

// Each returns 0, or the status code of the first write that failed (the
// failure is said).
uint32_t write_lead_in(const DriveAddress& d);
uint32_t write_lead_in_silence(const DriveAddress& d, int32_t seconds);
uint32_t write_lead_out_silence(const DriveAddress& d, int32_t seconds);
uint32_t write_lead_out(const DriveAddress& d);

// Packs 1 and 2 to program 001, index 01, time 00:00:00:00; two packs.
void reset_program_subcode(void);
// Byte 7 of each valid pack (the count in sid_pno1) = XOR of its bytes 0-6.
void set_pack_parity(void);
// Advances the absolute time and then the program time by one frame; a time
// of four 0xAA bytes (no time) stays as it is.
void advance_time_codes(void);
// Frames of a silence of `seconds` for the frame's rate and quantisation.
int32_t silence_frames(int32_t seconds);
