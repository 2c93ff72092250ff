// SPDX-License-Identifier: MIT
// The two records that live for the whole run of kestrel.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for the file-name argument of the file modes: 313 characters and the NUL.
#define KESTREL_BASE_NAME_SIZE 314
// Room for a path taken as typed.
#define KESTREL_PATH_SIZE 4096

// The one run-long record: zero-filled at start, filled by the command line,
// the drive set-up and the frame decoder, read by every mode.
struct RunSettings {
  // Per-frame state of the frame decoder.
  int32_t stop_requested;
  int32_t start_id_seen;
  int32_t start_id_found;
  int32_t no_subcode;
  int32_t rate_code;
  int32_t sample_bits;
  int32_t rate_changed;
  int32_t file_rate_code;
  int32_t subcode_seen;
  int32_t channel_code;
  int32_t quant_code;
  int32_t frame_scms;
  int32_t input_needs_load;
  int32_t output_needs_load;
  int32_t blank_frames;
  uint32_t pt_pack_time;
  int32_t pt_pack_program;
  int32_t last_program;
  uint32_t abs_time;
  uint32_t prog_time;
  uint32_t at_pack_time;
  int32_t at_pack_program;
  int32_t rec_date;
  int32_t rec_time;
  // Seek request.
  int32_t seek_type;
  uint32_t seek_target;
  // Positions of the switches in the argument vector, 0 when absent.
  int32_t inputid_arg;
  int32_t outputid_arg;
  int32_t waveout_arg;
  int32_t rewind_arg;
  int32_t onewav_arg;
  int32_t startid_arg;
  int32_t mrsoff_arg;
  int32_t kestrel_arg;
  int32_t goshawk_arg;
  int32_t bittern_arg;
  int32_t bunting_arg;
  int32_t pintail_arg;
  int32_t stopeot_arg;
  int32_t errorcorrect_arg;
  int32_t seek_arg;
  // SCSI addresses of the two drives.
  int32_t input_adapter;
  int32_t input_target;
  int32_t input_lun;
  int32_t output_adapter;
  int32_t output_target;
  int32_t output_lun;
  // File-name argument of the file modes, upper case.
  char base_name[KESTREL_BASE_NAME_SIZE];
  // Switches added after the record's first layout, behind everything it had.
  int32_t byprogram_arg;
  int32_t fromimage_arg;   // frames from the image file named by image_path
  int32_t toc_arg;         // the mode that lists the tape's programs
  int32_t report_arg;      // the transfer report
  int32_t reread_arg;      // damaged stretches re-read,
  int32_t reread_passes;   // up to this many extra passes
  int32_t bwf_arg;         // Broadcast WAV files
  int32_t flac_arg;        // FLAC files instead of WAV
  int32_t deemphasis_arg;  // pre-emphasised audio written de-emphasised
  // The image /FROMIMAGE reads, as typed.
  char image_path[KESTREL_PATH_SIZE];
  int32_t trace_arg;  // every SCSI command written to trace_path
  char trace_path[KESTREL_PATH_SIZE];  // as typed
  int32_t bag_arg;  // the transfer as a bag in the folder NAME (with the report)
  int32_t overwrite_arg;  // /BITTERN over a finished dump of the same name
  int32_t rescue_arg;     // the frames NAME.map lists as damaged read again into NAME.img
  // What the archive says of itself in the archival files, each switch with
  // its text as typed ("" when not given).
  int32_t originator_arg;     // bext Originator (default "kestrel")
  int32_t reference_arg;      // the stem of each file's OriginatorReference
  int32_t identifier_arg;     // the tape's identifiers, first in the Description
  int32_t location_arg;       // LIST/INFO IARL, the archival location
  int32_t copyright_arg;      // LIST/INFO ICOP
  int32_t transfer_time_arg;  // the transfer's time fixed (/TRANSFERTIME or SOURCE_DATE_EPOCH)
  int64_t transfer_time;      // with transfer_time_arg: seconds since 1970 UTC
  char originator[36];        // at most 32 characters
  char reference[32];         // at most 27 characters
  char identifier[128];
  char location[256];
  char copyright[256];
  int32_t rf64_arg;         // a WAV file past 4 GiB written as RF64 instead of split (always with /BWF)
  int32_t noloudness_arg;   // no loudness measured for Broadcast WAV and FLAC files
};

static_assert(offsetof(RunSettings, stop_requested) == 0);
static_assert(offsetof(RunSettings, file_rate_code) == 28);
static_assert(offsetof(RunSettings, input_needs_load) == 48);
static_assert(offsetof(RunSettings, pt_pack_time) == 60);
static_assert(offsetof(RunSettings, rec_time) == 92);
static_assert(offsetof(RunSettings, seek_type) == 96);
static_assert(offsetof(RunSettings, seek_target) == 100);
static_assert(offsetof(RunSettings, inputid_arg) == 104);
static_assert(offsetof(RunSettings, seek_arg) == 160);
static_assert(offsetof(RunSettings, input_adapter) == 164);
static_assert(offsetof(RunSettings, output_lun) == 184);
static_assert(offsetof(RunSettings, base_name) == 188);
static_assert(offsetof(RunSettings, byprogram_arg) == 188 + KESTREL_BASE_NAME_SIZE + 2);  // after two bytes of padding
static_assert(offsetof(RunSettings, deemphasis_arg) == 188 + KESTREL_BASE_NAME_SIZE + 2 + 32);
static_assert(offsetof(RunSettings, image_path) == 188 + KESTREL_BASE_NAME_SIZE + 2 + 36);
static_assert(offsetof(RunSettings, trace_arg) == 188 + KESTREL_BASE_NAME_SIZE + 2 + 36 + KESTREL_PATH_SIZE);
static_assert(offsetof(RunSettings, bag_arg) == 188 + KESTREL_BASE_NAME_SIZE + 2 + 36 + 2 * KESTREL_PATH_SIZE + 4);
static_assert(offsetof(RunSettings, overwrite_arg) == 188 + KESTREL_BASE_NAME_SIZE + 2 + 36 + 2 * KESTREL_PATH_SIZE + 8);
#define KESTREL_IDENTITY_AT (188 + KESTREL_BASE_NAME_SIZE + 2 + 36 + 2 * KESTREL_PATH_SIZE + 16)
static_assert(offsetof(RunSettings, originator_arg) == KESTREL_IDENTITY_AT);
static_assert(offsetof(RunSettings, transfer_time) == KESTREL_IDENTITY_AT + 28);  // after four bytes of padding
static_assert(offsetof(RunSettings, originator) == KESTREL_IDENTITY_AT + 36);
static_assert(offsetof(RunSettings, copyright) == KESTREL_IDENTITY_AT + 36 + 36 + 32 + 128 + 256);
static_assert(sizeof(RunSettings) == KESTREL_IDENTITY_AT + 36 + 36 + 32 + 128 + 256 + 256 + 12);
static_assert(offsetof(RunSettings, rf64_arg) == KESTREL_IDENTITY_AT + 36 + 36 + 32 + 128 + 256 + 256);
static_assert(offsetof(RunSettings, noloudness_arg) == KESTREL_IDENTITY_AT + 36 + 36 + 32 + 128 + 256 + 256 + 4);

// The second run-long record: the bytes waiting in the wave-out player's
// staging buffer.
struct PlaybackStaging {
  int32_t staged_bytes;
};
static_assert(sizeof(PlaybackStaging) == 4);
