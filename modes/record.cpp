// /GOSHAWK: the files of a cue file onto tape, one audio program per file.
//
// The subcode moves through fixed phases (lead-in, lead-in silence, track
// start, audio frames in and after the start-ID region, silences, lead-out).
// Each phase sets only its own fields of the one frame; everything else
// carries over from the frame before.
#include "modes/record.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "datframe/frame_build.h"
#include "modes/cue_file.h"
#include "modes/mode_io.h"
#include "modes/modes.h"
#include "modes/source.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "scsi/tape_commands.h"

namespace {

DatFrame record_frame;

// Most source bytes one frame takes (long play), and what the MPEG decoder
// may write beyond a request.
constexpr uint32_t kReadBufferBytes = DAT_LP_PCM_BYTES + 10000;
constexpr uint8_t kNoTime = 0xAA;

uint8_t* pack(int slot) { return record_frame.pack[slot - 1]; }

void set_time(uint8_t* p, uint8_t value) { std::memset(p + 3, value, 4); }

bool time_is_none(const uint8_t* p) { return p[3] == kNoTime && p[4] == kNoTime && p[5] == kNoTime && p[6] == kNoTime; }

int rate_code(void) { return (record_frame.main_id_format >> 2) & 3; }

// 0, or the failing write's word.
uint32_t write_frame(const DriveAddress& d) {
  TapeResult written = scsi_write_block(d, &record_frame, DAT_FRAME_BYTES);
  return tape_completed(written) ? 0 : written.word;
}

void zero_audio(void) { std::memset(record_frame.audio, 0, DAT_AUDIO_BYTES); }

// Packs 1 and 2 of a phase outside the tracks: program time and absolute time
// with this program number and time; the index number stays.
void set_phase_packs(int32_t program, uint32_t time) {
  frame_set_time_pack(&record_frame, 1, PACK_ITEM_PROGRAM_TIME, program, pack(1)[2], time);
  frame_set_time_pack(&record_frame, 2, PACK_ITEM_ABSOLUTE_TIME, program, pack(2)[2], time);
}

// " - time: hh:mm:ss:ff" of the absolute time about to be written.
void print_time(void) {
  const uint8_t* p = pack(2);
  std::printf(" - time: %.1d%.1d:%.1d%.1d:%.1d%.1d:%.1d%.1d\r", p[3] >> 4, p[3] & 15, p[4] >> 4, p[4] & 15,
              p[5] >> 4, p[5] & 15, p[6] >> 4, p[6] & 15);
}

// Writes `frames` frames of the current subcode, advancing the time codes
// after each. 0, or the failing write's code after failure_format.
uint32_t write_silence(const DriveAddress& d, int32_t frames, bool show_time, const char* failure_format) {
  for (int32_t i = 0; i < frames; ++i) {
    if (show_time) print_time();
    set_pack_parity();
    uint32_t result = write_frame(d);
    if (result != 0) {
      std::printf(failure_format, result);
      return result;
    }
    advance_time_codes();
  }
  return 0;
}

uint32_t write_silence_phase(const DriveAddress& d, int32_t seconds, const char* title, const char* failure_format) {
  std::printf("%s", title);
  zero_audio();
  uint32_t result = write_silence(d, silence_frames(seconds), false, failure_format);
  if (result != 0) return result;
  std::printf("done\n");
  return 0;
}

// The date pack (slot 5) from the local clock, with its parity: the pack
// count of the sub-ID does not always reach slot 5.
void fill_date_pack(void) {
  time_t now = static_cast<time_t>(platform_time_s());
  struct tm local {};
  localtime_r(&now, &local);
  FrameDate date{local.tm_wday + 1, local.tm_year % 100, local.tm_mon + 1, local.tm_mday,
                 local.tm_hour,     local.tm_min,        local.tm_sec > 59 ? 59 : local.tm_sec};
  frame_set_date_pack(&record_frame, 5, &date);
  uint8_t* p = pack(5);
  p[7] = static_cast<uint8_t>(p[0] ^ p[1] ^ p[2] ^ p[3] ^ p[4] ^ p[5] ^ p[6]);
}

// INQUIRY of the output drive at a track start: 0 when it is a tape drive.
int check_output_drive(const DriveAddress& d) {
  uint8_t data[255] = {};
  TapeResult answer = scsi_inquiry(d, data, sizeof data);
  if (answer.status == TAPE_NO_DEVICE) {
    std::printf("%d:%d:%d\n", d.adapter, d.target, d.lun);
    return 1;
  }
  if (!tape_completed(answer)) return 1;
  if ((data[0] & 0x1F) != 1) {
    std::printf("failure - drive at %d:%d:%d is not a sequential device\n", d.adapter, d.target, d.lun);
    return 1;
  }
  return 0;
}

struct Track {
  int number;          // list position, the program number
  int hundreds;        // its hundreds digit
  uint8_t tens_units;  // its tens and units digits, BCD
  bool long_play;
  uint32_t frame_bytes;  // source bytes per frame
};

// Sets the subcode of a track's start (program number, main ID, date).
void start_track(const RecordingOptions& options, Track* track) {
  track->hundreds = track->number / 100;
  track->tens_units = bcd_from_value(track->number % 100);
  track->long_play = options.allow_lp && rate_code() == 2;
  record_frame.main_id_mode = static_cast<uint8_t>((track->long_play ? 0x40 : 0) | options.scms_code << 2);
  // The format ID is 0; the emphasis bits mark pre-emphasised sources.
  record_frame.main_id_format =
      static_cast<uint8_t>((record_frame.main_id_format & 0x0F) | (options.emphasis ? 0x10 : 0));
  static const uint32_t kFrameBytes[4] = {5760, 5292, 3840, 5760};
  track->frame_bytes = kFrameBytes[rate_code()];
  record_frame.sid_pno1 = static_cast<uint8_t>(track->hundreds << 4 | 2);
  record_frame.sid_pno23 = track->tens_units;
  record_frame.interpolate_flags = 0;
  record_frame.sid_control &= 0xF0;
  if (options.mark_time_date) {
    fill_date_pack();
    record_frame.sid_pno1 = static_cast<uint8_t>((record_frame.sid_pno1 & 0xF0) | ((record_frame.sid_pno1 + 1) & 0x0F));
  }
}

// Records the open source, one frame per block. 0 at its end (or on ESC),
// else the failing write's code; *written counts the frames written.
uint32_t record_track(const DriveAddress& d, const RecordingOptions& options, const Track& track,
                      std::vector<uint8_t>* buffer, int* last_key, int64_t* written) {
  *written = 0;
  set_time(pack(1), 0);
  uint32_t wanted = track.long_play ? DAT_LP_PCM_BYTES : track.frame_bytes;
  bool stop = false;
  for (int k = 0; !stop; ++k) {
    std::memset(buffer->data(), 0, wanted);
    int32_t got = read_source(buffer->data(), wanted);
    if (!track.long_play) {
      std::memcpy(record_frame.audio, buffer->data(), track.frame_bytes);
    } else if (lp_pack_frame(record_frame.audio, buffer->data()) != DAT_AUDIO_BYTES) {
      std::printf("long-play tables missing: track ends\n");
      got = 0;
    }
    if (console_key_waiting()) {
      *last_key = console_read_key();
      if (*last_key == CONSOLE_KEY_ESC) stop = true;
    }
    if (got <= 0) break;
    if (static_cast<uint32_t>(got) < wanted) stop = true;

    uint8_t* p1 = pack(1);
    uint8_t* p2 = pack(2);
    if (options.mark_start_ids && k < START_ID_FRAMES) {
      record_frame.sid_control = static_cast<uint8_t>((record_frame.sid_control & 0x0F) | 0xC0);
      p1[0] = static_cast<uint8_t>((p1[0] & 0xF8) | track.hundreds);
      p1[1] = track.tens_units;
    } else {
      record_frame.sid_control &= 0x3F;
      set_time(p1, kNoTime);
    }
    p1[0] = static_cast<uint8_t>((p1[0] & 0x0F) | PACK_ITEM_PROGRAM_TIME << 4);
    p2[0] = static_cast<uint8_t>((p2[0] & 0x0F) | PACK_ITEM_ABSOLUTE_TIME << 4);
    print_time();
    p1[2] = 0x01;
    p2[2] = 0x01;
    p2[0] = static_cast<uint8_t>((p2[0] & 0xF8) | track.hundreds);
    p2[1] = track.tens_units;
    record_frame.sid_pno1 = static_cast<uint8_t>((record_frame.sid_pno1 & 0xF0) | 7);
    set_pack_parity();
    uint32_t result = write_frame(d);
    if (result != 0) {
      std::printf("write block failure: %.8x\n", result);
      return result;
    }
    ++*written;
    advance_time_codes();
  }
  return 0;
}

}  // namespace

DatFrame* recorder_frame(void) { return &record_frame; }

void set_pack_parity(void) { frame_set_pack_parity(&record_frame); }

void advance_time_codes(void) {
  for (int slot : {2, 1}) {
    uint8_t* p = pack(slot);
    if (!time_is_none(p)) step_time_code_bytes(p + 3);
  }
}

void reset_program_subcode(void) {
  frame_set_time_pack(&record_frame, 1, PACK_ITEM_PROGRAM_TIME, 0x001, 0x01, 0);
  frame_set_time_pack(&record_frame, 2, PACK_ITEM_ABSOLUTE_TIME, 0x001, 0x01, 0);
  frame_set_sub_id(&record_frame, 0x001, 2);
}

int32_t silence_frames(int32_t seconds) {
  int64_t frames = static_cast<int64_t>(seconds) * 333 / 10;
  if (rate_code() == 2 && record_frame.main_id_mode >> 6 == 1) frames /= 2;
  if (frames <= 0) return 0;
  return frames > INT32_MAX ? INT32_MAX : static_cast<int32_t>(frames);
}

uint32_t write_lead_in(const DriveAddress& d) {
  std::printf("Writing lead-in...");
  DatFrame& f = record_frame;
  f.sid_control = static_cast<uint8_t>((f.sid_control & 0x0F) | 0x40);
  frame_set_sub_id(&f, PROGRAM_LEAD_IN, 2);
  f.main_id_format &= static_cast<uint8_t>(~0x3C);
  f.main_id_mode &= static_cast<uint8_t>(~0x0C);
  set_phase_packs(PROGRAM_LEAD_IN, TIME_CODE_NONE);
  set_pack_parity();
  zero_audio();
  for (int i = 0; i < LEAD_IN_FRAMES; ++i) {
    uint32_t result = write_frame(d);
    if (result != 0) {
      std::printf("fail writing lead-in frame\n");
      return result;
    }
  }
  reset_program_subcode();
  std::printf("done\n");
  return 0;
}

uint32_t write_lead_in_silence(const DriveAddress& d, int32_t seconds) {
  DatFrame& f = record_frame;
  f.sid_control &= 0x0F;
  frame_set_sub_id(&f, 0x000, 2);
  f.main_id_format &= static_cast<uint8_t>(~0x30);
  f.main_id_mode &= static_cast<uint8_t>(~0x0C);
  set_phase_packs(0x000, 0);
  return write_silence_phase(d, seconds, "Writing lead-in silence...",
                             "fail writing lead-in silence: %.8x\n");
}

uint32_t write_lead_out_silence(const DriveAddress& d, int32_t seconds) {
  return write_silence_phase(d, seconds, "Writing lead-out silence...",
                             "fail writing lead-out silence: %.8x\n");
}

uint32_t write_lead_out(const DriveAddress& d) {
  std::printf("Writing lead-out...");
  DatFrame& f = record_frame;
  f.sid_control = static_cast<uint8_t>((f.sid_control & 0x0F) | 0x40);
  frame_set_sub_id(&f, PROGRAM_LEAD_OUT, f.sid_pno1 & 0x0F);
  set_phase_packs(PROGRAM_LEAD_OUT, TIME_CODE_NONE);
  zero_audio();
  set_pack_parity();
  for (int i = 0; i < LEAD_OUT_FRAMES; ++i) {
    uint32_t result = write_frame(d);
    if (result != 0) {
      std::printf("fail writing lead-out frame\n");
      return result;
    }
  }
  std::printf("done\n");
  return 0;
}

namespace {

// Everything between the lead-in and the lead-out: the lead-in silence, the
// programs, the lead-out silence. true when the lead-out follows, false when
// the recording ended without it (a failed write); the tally says what was
// not recorded.
bool record_programs(const std::string& cue_path, std::string entry, const RecordingOptions& options,
                     const DriveAddress& d, RunTally* tally) {
  uint32_t result = 0;
  // ESC or an interrupt before the first track's first frame records no
  // program: the lead-in silence, when it has begun, is finished, and the
  // lead-out follows it at once (there is no track to let ring out).
  bool stopped = esc_pressed();
  if (!stopped) {
    // The first file's rate and channels stand in the lead-in silence; its
    // track says what the file is.
    probe_source_format(entry.c_str());
    bool long_play = options.allow_lp && rate_code() == 2;
    record_frame.main_id_mode = static_cast<uint8_t>((record_frame.main_id_mode & 0x3F) | (long_play ? 0x40 : 0));
    if (options.leadin_silence_seconds > 0) {
      result = write_lead_in_silence(d, options.leadin_silence_seconds);
      if (result != 0 && WRITE_POSITIONING_ERROR(result)) {
        std::printf("... trying again...");
        result = write_lead_in_silence(d, options.leadin_silence_seconds);
      }
      // The recording goes on after the silence, which lacks frames.
      if (result != 0) tally_ended_early(tally);
      stopped = esc_pressed();
    }
  }
  std::printf("\n");

  std::vector<uint8_t> buffer(kReadBufferBytes);
  int last_key = -1;
  bool recorded = false;  // a frame of a track reached the tape
  for (Track track{1, 0, 0, false, 0}; !stopped; ++track.number) {
    std::printf("File: %s\n", entry.c_str());
    probe_source(entry.c_str());
    start_track(options, &track);
    if (check_output_drive(d) != 0) {
      tally_ended_early(tally);
      return false;
    }
    bool opened = open_source(entry.c_str()) != 0;
    // An interrupt while the file was probed and opened: the track is not begun.
    if (opened && console_interrupted()) {
      close_source();
      stopped = !recorded;
      tally_ended_early(tally);
      break;
    }
    if (!opened) {
      std::printf("open file failed\n");
      tally->unreadable += 1;  // a file of the list that is not on the tape
    } else {
      if (track.long_play && source_format()->plan.target_rate == 32000)
        std::printf(" - 32000 Hz: recorded in long play (12-bit); "
                    "set 32KHZ_LP=OFF in the cue file to keep 16 bits\n");
      recorded = true;
      int64_t written = 0;
      if (record_track(d, options, track, &buffer, &last_key, &written) != 0) {
        close_source();
        {
      tally_ended_early(tally);
      return false;
    }
      }
      if (written == 0) tally->unreadable += 1;  // a file that gave no audio (one that cannot be read)
    }
    close_source();
    if (options.intertrack_silence_seconds > 0) {
      zero_audio();
      if (write_silence(d, silence_frames(options.intertrack_silence_seconds), true,
                        "write block failure: %.8x\n") != 0)
        {
      tally_ended_early(tally);
      return false;
    }
    }
    std::printf("\n");
    entry = cue_file_entry(cue_path, track.number + 1);
    // ESC pressed during the silence (or as the track ended) ends the
    // recording here, rather than after the next track's first frame.
    if (last_key != CONSOLE_KEY_ESC && entry != "NONE" && esc_pressed()) last_key = CONSOLE_KEY_ESC;
    if (last_key == CONSOLE_KEY_ESC) tally_ended_early(tally);
    if (last_key == CONSOLE_KEY_ESC || entry == "NONE") break;
    if (track.number + 1 > CUE_MAX_ENTRIES) {
      std::printf("FILE_%.3d and later are not recorded: program numbers end at %d\n", track.number + 1,
                  CUE_MAX_ENTRIES);
      tally->unreadable += 1;
      break;
    }
  }
  std::printf("\n");
  if (stopped) tally_ended_early(tally);

  if (options.leadout_silence_seconds > 0 && !stopped) {
    result = write_lead_out_silence(d, options.leadout_silence_seconds);
    if (result != 0 && WRITE_POSITIONING_ERROR(result)) {
      std::printf(".. trying again...");
      result = write_lead_out_silence(d, options.leadout_silence_seconds);
    }
    if (result != 0) tally_ended_early(tally);
  }
  return true;
}

// The recording; the run's tally says what was not recorded: a file that
// could not be read, or all that followed a failed write or ESC.
void record_files(RunSettings* settings, RunTally* tally) {
  std::string cue_path;
  std::string entry;
  RecordingOptions options;
  // Without a cue file, or with an empty list, there is nothing to record.
  if (load_cue_file(settings, &cue_path, &options, &entry) != 0) return tally_ended_early(tally);
  const DriveAddress d = output_drive(settings);

  uint32_t result = write_lead_in(d);
  if (result != 0 && WRITE_POSITIONING_ERROR(result)) {
    std::printf("Tape positioning error.. trying again...");
    result = write_lead_in(d);
  }
  if (result != 0) {
    if (WRITE_PROTECT_ERROR(result))
      std::printf("Tape write protect error\n");
    else
      std::printf("Tape write error %x\n", result);
    return tally_ended_early(tally);
  }

  try {
    if (!record_programs(cue_path, entry, options, d, tally)) return;
  } catch (const std::bad_alloc&) {
    // Memory ran out in mid-recording: what is on the tape is closed with
    // the lead-out, as after ESC, and the run then ends as out of memory.
    // The source's buffers are given back first.
    close_source();
    memory_ran_out();
    tally_ended_early(tally);
    std::printf("\n");
  }
  if (write_lead_out(d) != 0) tally_ended_early(tally);
  std::printf("\n");
}

}  // namespace

RunVerdict record_to_tape(RunSettings* settings) {
  RunTally tally{};
  record_files(settings, &tally);
  return run_verdict(&tally);
}
