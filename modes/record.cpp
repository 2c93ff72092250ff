// SPDX-License-Identifier: MIT
// /GOSHAWK: the files of a cue file onto tape, one audio program per file.
//
// The subcode moves through fixed phases (lead-in, lead-in silence, track
// start, audio frames in and after the start-ID region, silences, lead-out),
// each built by the recorder (recording/recorder.h) in its one frame; this
// loop writes the frames and says how the recording goes.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "modes/modes.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "recording/recorder.h"
#include "scsi/drive_address.h"
#include "scsi/tape_commands.h"

// Tape write results told apart by the recorder.
#define WRITE_POSITIONING_ERROR(code) (((code) & 0xFFFFFFu) == 0x033B00u)
#define WRITE_PROTECT_ERROR(code) (((code) & 0xFFFFu) == 0x2700u)

namespace {

// Most source bytes one frame takes (long play), and what the MPEG decoder
// may write beyond a request.
constexpr uint32_t kReadBufferBytes = DAT_LP_PCM_BYTES + 10000;

// 0, or the failing write's word.
uint32_t write_frame(const DriveAddress& out, const Recorder* r) {
  TapeResult written = scsi_write_block(out, &r->frame, DAT_FRAME_BYTES);
  return tape_completed(written) ? 0 : written.word;
}

// Writes `frames` frames of the current subcode, advancing the time codes
// after each. 0, or the failing write's code after failure_format.
uint32_t write_silence(const DriveAddress& out, Recorder* r, int32_t frames, bool show_time, const char* failure_format) {
  for (int32_t i = 0; i < frames; ++i) {
    if (show_time) recorder_print_time(r);
    recorder_set_pack_parity(r);
    uint32_t result = write_frame(out, r);
    if (result != 0) {
      std::printf(failure_format, result);
      return result;
    }
    recorder_advance_time_codes(r);
  }
  return 0;
}

uint32_t write_silence_phase(const DriveAddress& out, Recorder* r, int32_t seconds, const char* title,
                             const char* failure_format) {
  std::printf("%s", title);
  recorder_zero_audio(r);
  uint32_t result = write_silence(out, r, recorder_silence_frames(r, seconds), false, failure_format);
  if (result != 0) return result;
  std::printf("done\n");
  return 0;
}

// Writes the same frame `frames` times. 0, or the failing write's code after failure.
uint32_t write_repeated(const DriveAddress& out, const Recorder* r, int frames, const char* failure) {
  for (int i = 0; i < frames; ++i) {
    uint32_t result = write_frame(out, r);
    if (result != 0) {
      std::printf("%s", failure);
      return result;
    }
  }
  return 0;
}

// Each returns 0, or the status code of the first write that failed (the
// failure is said).
uint32_t write_lead_in(const DriveAddress& out, Recorder* r) {
  std::printf("Writing lead-in...");
  recorder_begin_lead_in(r);
  uint32_t result = write_repeated(out, r, LEAD_IN_FRAMES, "fail writing lead-in frame\n");
  if (result != 0) return result;
  recorder_reset_program_subcode(r);
  std::printf("done\n");
  return 0;
}

uint32_t write_lead_in_silence(const DriveAddress& out, Recorder* r, int32_t seconds) {
  recorder_begin_lead_in_silence(r);
  return write_silence_phase(out, r, seconds, "Writing lead-in silence...", "fail writing lead-in silence: %.8x\n");
}

uint32_t write_lead_out_silence(const DriveAddress& out, Recorder* r, int32_t seconds) {
  return write_silence_phase(out, r, seconds, "Writing lead-out silence...", "fail writing lead-out silence: %.8x\n");
}

uint32_t write_lead_out(const DriveAddress& out, Recorder* r) {
  std::printf("Writing lead-out...");
  recorder_begin_lead_out(r);
  uint32_t result = write_repeated(out, r, LEAD_OUT_FRAMES, "fail writing lead-out frame\n");
  if (result != 0) return result;
  std::printf("done\n");
  return 0;
}

// INQUIRY of the output drive at a track start: 0 when it is a tape drive.
int check_output_drive(const DriveAddress& out) {
  uint8_t data[255] = {};
  TapeResult answer = scsi_inquiry(out, data, sizeof data);
  if (answer.status == TAPE_NO_DEVICE) {
    std::printf("%d:%d:%d\n", out.adapter, out.target, out.lun);
    return 1;
  }
  if (!tape_completed(answer)) return 1;
  if ((data[0] & 0x1F) != 1) {
    std::printf("failure - drive at %d:%d:%d is not a sequential device\n", out.adapter, out.target, out.lun);
    return 1;
  }
  return 0;
}

// Records the open source, one frame per block. 0 at its end (or on ESC),
// else the failing write's code; *written counts the frames written.
uint32_t record_track(const DriveAddress& out, Recorder* r, const RecordingOptions& options, const RecorderTrack& track,
                      std::vector<uint8_t>* buffer, int* last_key, int64_t* written) {
  *written = 0;
  recorder_begin_track_audio(r);
  uint32_t wanted = recorder_track_bytes(track);
  bool stop = false;
  for (int k = 0; !stop; ++k) {
    std::memset(buffer->data(), 0, wanted);
    int32_t got = audio_source_read(&r->source, buffer->data(), wanted);
    if (!recorder_take_audio(r, track, buffer->data())) {
      std::printf("long-play tables missing: track ends\n");
      got = 0;
    }
    if (console_key_waiting()) {
      *last_key = console_read_key();
      if (*last_key == CONSOLE_KEY_ESC) stop = true;
    }
    if (got <= 0) break;
    if (static_cast<uint32_t>(got) < wanted) stop = true;

    recorder_set_track_subcode(r, options, track, k);
    recorder_print_time(r);
    uint32_t result = write_frame(out, r);
    if (result != 0) {
      std::printf("write block failure: %.8x\n", result);
      return result;
    }
    ++*written;
    recorder_advance_time_codes(r);
  }
  return 0;
}

// Everything between the lead-in and the lead-out: the lead-in silence, the
// programs, the lead-out silence. true when the lead-out follows, false when
// the recording ended without it (a failed write); the tally says what was
// not recorded.
bool record_programs(const std::string& cue_path, std::string entry, const RecordingOptions& options,
                     const DriveAddress& out, Recorder* r, RunTally* tally) {
  uint32_t result = 0;
  // ESC or an interrupt before the first track's first frame records no
  // program: the lead-in silence, when it has begun, is finished, and the
  // lead-out follows it at once (there is no track to let ring out).
  bool stopped = esc_pressed();
  if (!stopped) {
    // The first file's rate and channels stand in the lead-in silence; its
    // track says what the file is.
    audio_source_probe_format(&r->source, &r->frame, entry.c_str());
    bool long_play = options.allow_lp && recorder_rate_code(r) == 2;
    r->frame.main_id_mode = static_cast<uint8_t>((r->frame.main_id_mode & 0x3F) | (long_play ? 0x40 : 0));
    if (options.leadin_silence_seconds > 0) {
      result = write_lead_in_silence(out, r, options.leadin_silence_seconds);
      if (result != 0 && WRITE_POSITIONING_ERROR(result)) {
        std::printf("... trying again...");
        result = write_lead_in_silence(out, r, options.leadin_silence_seconds);
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
  for (RecorderTrack track{1, 0, 0, false, 0}; !stopped; ++track.number) {
    std::printf("File: %s\n", entry.c_str());
    audio_source_probe(&r->source, &r->frame, entry.c_str());
    recorder_start_track(r, options, &track);
    if (check_output_drive(out) != 0) {
      tally_ended_early(tally);
      return false;
    }
    bool opened = audio_source_open(&r->source, &r->frame, entry.c_str()) != 0;
    // An interrupt while the file was probed and opened: the track is not begun.
    if (opened && console_interrupted()) {
      audio_source_close(&r->source);
      stopped = !recorded;
      tally_ended_early(tally);
      break;
    }
    if (!opened) {
      std::printf("open file failed\n");
      tally->unreadable += 1;  // a file of the list that is not on the tape
    } else {
      if (track.long_play && r->source.format.plan.target_rate == 32000)
        std::printf(" - 32000 Hz: recorded in long play (12-bit); "
                    "set 32KHZ_LP=OFF in the cue file to keep 16 bits\n");
      recorded = true;
      int64_t written = 0;
      if (record_track(out, r, options, track, &buffer, &last_key, &written) != 0) {
        audio_source_close(&r->source);
        {
      tally_ended_early(tally);
      return false;
    }
      }
      if (written == 0) tally->unreadable += 1;  // a file that gave no audio (one that cannot be read)
    }
    audio_source_close(&r->source);
    if (options.intertrack_silence_seconds > 0) {
      recorder_zero_audio(r);
      if (write_silence(out, r, recorder_silence_frames(r, options.intertrack_silence_seconds), true,
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
    result = write_lead_out_silence(out, r, options.leadout_silence_seconds);
    if (result != 0 && WRITE_POSITIONING_ERROR(result)) {
      std::printf(".. trying again...");
      result = write_lead_out_silence(out, r, options.leadout_silence_seconds);
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
  if (cue_file_load(settings, &cue_path, &options, &entry) != 0) return tally_ended_early(tally);
  const DriveAddress out = output_drive(settings);
  Recorder recorder;

  uint32_t result = write_lead_in(out, &recorder);
  if (result != 0 && WRITE_POSITIONING_ERROR(result)) {
    std::printf("Tape positioning error.. trying again...");
    result = write_lead_in(out, &recorder);
  }
  if (result != 0) {
    if (WRITE_PROTECT_ERROR(result))
      std::printf("Tape write protect error\n");
    else
      std::printf("Tape write error %x\n", result);
    return tally_ended_early(tally);
  }

  try {
    if (!record_programs(cue_path, entry, options, out, &recorder, tally)) return;
  } catch (const std::bad_alloc&) {
    // Memory ran out in mid-recording: what is on the tape is closed with
    // the lead-out, as after ESC, and the run then ends as out of memory.
    // The source's buffers are given back first.
    audio_source_close(&recorder.source);
    memory_ran_out();
    tally_ended_early(tally);
    std::printf("\n");
  }
  if (write_lead_out(out, &recorder) != 0) tally_ended_early(tally);
  std::printf("\n");
}

}  // namespace

RunVerdict record_to_tape(RunSettings* settings) {
  RunTally tally{};
  record_files(settings, &tally);
  return run_verdict(&tally);
}
