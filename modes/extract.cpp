// SPDX-License-Identifier: MIT
// /KESTREL: the tape in the input drive to WAV files, one per track, each
// with a log of the frames the drive flagged; or played live with /WAVEOUT.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "datframe/dat_frame.h"
#include "datframe/frame_info.h"
#include "datframe/rescue_map.h"
#include "platform/console.h"
#include "sources/frame_source.h"
#include "modes/mode_io.h"
#include "sinks/damaged_frame.h"
#include "sinks/valid_files.h"
#include "modes/run_report.h"
#include "modes/modes.h"
#include "modes/name_template.h"
#include "modes/run_watch.h"
#include "sinks/track_file.h"
#include "sources/reread.h"
#include "platform/log.h"
#include "playback/player.h"
#include "scsi/aspi_call.h"
#include "scsi/tape_commands.h"
#include "wavlib/thistle.h"

namespace {

const int kTrackSplitFrames = 300;  // a file holds at least this many frames before it is split
const char kSpinner[] = "|/-\\";
// Under /STOPEOT, reads in a row that the drive answers with the end of the
// recorded data before the run ends: as many as the frames of a blank
// stretch that ends a run without it.
const int kEndOfDataReads = 62;

// Everything one run of the extraction works with.
struct Extraction {
  RunSettings* s;
  PlaybackStaging* staging;
  FrameSource source;
  DatFrame frame;
  FrameRead read{};      // what the source said about it
  FrameInfo info{};      // what the frame in the buffer is
  FrameEvents events{};  // and what happened at it
  ContinuityResult continuity{};  // and whether it broke the run of times
  uint8_t pcm[DAT_LP_PCM_BYTES];
  bool frame_valid = true;  // the frame buffer holds a frame that was read
  bool stop = false;        // the run ends after this track
  bool write_failed = false;
  int rate = 0;
  bool line_open = false;  // a status line stands on the console without its line end
  int end_of_data_reads = 0;  // reads in a row answered with the end of the recorded data
  TrackFile files;
  EmphasisStage played;  // what /WAVEOUT does with pre-emphasised frames
  ConcealTotals totals{};
  int unreadable = 0;  // frames of the track that could not be read
  RunRecord run;       // the tally of the run, and its report (/REPORT)
  int recovered = 0;   // damaged frames of the track that re-reads gave clean (/REREAD)
  std::set<std::string> names;  // the names a name template gave so far
};

// The file being written, "" when none.
const char* current_file(const Extraction* x) { return x->files.wav || x->files.flac ? x->files.name : ""; }

uint32_t read_frame(Extraction* x) {
  x->read = read_next_frame(&x->source, &x->frame);
  return x->read.result;
}

// Takes the frame just read: what it is, what happened at it, said on the
// console; a blank stretch ends the run (but with /STOPEOT).
void take(Extraction* x) {
  if (take_read_frame(&x->frame, x->s, &x->info, &x->events)) {
    x->stop = true;
    if (*current_file(x)) watch_end();  // a blank stretch after the recording (not a leader)
  }
  x->continuity = record_frame(&x->run, &x->info, &x->events, &x->read);
  if (x->read.reads > 1) watch_reread(x->read.reads, x->info.flags == 0, current_file(x));
  watch_frame(&x->info, x->info.flags != 0, current_file(x));
}

// The rate a file or the player is begun at; the reserved code keeps the
// rate before it (none yet: the rate the header states).
int rate_for_code(int code, int previous) {
  int rate = rate_code_hz(code);
  return rate ? rate : previous ? previous : 48000;
}

void set_track_format(Extraction* x) {
  x->rate = rate_for_code(x->info.rate_code, x->rate);
  x->s->file_rate_code = x->info.rate_code;  // the record keeps it too
}

int start_player(Extraction* x) {
  x->staging->staged_bytes = 0;
  emphasis_stage_restart(&x->played, x->rate);
  int result = wave_out_init(x->rate);
  if (result != 0) {
    std::printf("wave out init failed: %d\n", result);
    wave_out_wrapup(1);
    return 1;
  }
  return 0;
}

// Finishes the track's files (the header states exactly the audio in the
// file, the log gets its totals, both are closed) and hands them to the
// report once closed. 0, or -1 when a write failed (said on the console; the
// files are still left valid).
int finish_track_files(Extraction* x) {
  TrackFile& f = x->files;
  bool had_audio = f.wav || f.flac, had_log = f.log;
  int result = track_file_finish(&f, &x->totals, x->unreadable, x->recovered);
  // Closed: its checksums can be taken (the audio's MD5 from its writer when it took one).
  if (had_audio) transfer_report_file(x->run.report, f.name, f.kind != TRACK_FILE_FLAC, f.audio_md5, &f.levels,
                                       &f.program_levels);
  if (had_audio) watch_file(WATCH_FILE_CLOSED, f.name);
  if (had_log) transfer_report_file(x->run.report, f.log_name, false);
  return result;
}

// Creates the track's files. Returns 0, or 1 when a file cannot be created
// (the mode cannot go on).
int open_track_files(Extraction* x, int track) {
  TrackFile& f = x->files;
  if (track_file_names_drive(x->s) && f.drive[0] == '\0') {
    // From an image: the drive that read the tape, as the image's record names it.
    const ImageProvenance& made = x->run.image_made;
    if (x->run.image_made_known) {
      std::snprintf(f.drive, sizeof f.drive, "%s", provenance_drive(made).c_str());
      std::snprintf(f.image, sizeof f.image, "image %.100s of %.40s", made.image.c_str(), made.transfer_time.c_str());
    } else {
      describe_input_drive(x->s, f.drive, sizeof f.drive);
    }
  }
  f.opened_silently = run_watched();
  if (const char* name_template = run_name_template()) {
    // Fields taken from the file's first frame can repeat: such a name is
    // refused as its file opens, before anything is written to it.
    std::string stem = name_from_template(name_template, x->s->base_name, track, x->info);
    if (stem.size() >= sizeof f.stem) {
      std::printf("The name template gives a name too long for file %d: %s\n", track, stem.c_str());
      return 1;
    }
    if (!name_template_numbered(name_template) && !x->names.insert(stem).second) {
      std::printf("The name template gives %s again for file %d: nothing more is written (%%f, the file number, "
                  "tells every file apart)\n", stem.c_str(), track);
      return 1;
    }
    std::snprintf(f.stem, sizeof f.stem, "%s", stem.c_str());
  }
  if (track_file_open(&x->files, x->s, track, x->info.rate_code) != 0) return 1;
  x->totals = ConcealTotals{};
  x->unreadable = 0;
  x->recovered = 0;
  watch_file(WATCH_FILE_OPENED, f.name);
  return 0;
}

// The PCM of the frame in the buffer, into x->pcm; returns its byte count.
// Every frame gives its own samples: a long-play frame its expanded 7680
// bytes, a 16-bit frame as many bytes as its own rate gives, also in a file
// kept across a change of rate.
int prepare_pcm(Extraction* x) {
  if (x->info.bits == 12) return lp_unpack_frame(x->pcm, &x->frame);
  std::memcpy(x->pcm, x->frame.audio, static_cast<size_t>(x->info.pcm_bytes));
  return x->info.pcm_bytes;
}

// The audio the report hashes for the file's MD5: none when the file's
// writer hashes it and hands its MD5 over at the finish.
const uint8_t* report_audio(const Extraction* x) {
  return !x->s->waveout_arg && track_file_hashes_audio(&x->files) ? nullptr : x->pcm;
}

void pass_on(Extraction* x, int bytes) {
  if (x->s->waveout_arg) {
    emphasis_stage_take(&x->played, x->info.emphasis, x->pcm, bytes);
    output_waveout(x->pcm, static_cast<uint32_t>(bytes), x->staging);
    return;
  }
  track_file_take_events(&x->files, x->events.blank != 0, x->continuity.broken != 0);
  if (track_file_write(&x->files, &x->info, x->pcm, bytes) != 0) x->write_failed = true;
}

// The place of a frame no read could give keeps the length of the frame
// before it in silence, in the file or the player, so that what follows stays
// at its time on the tape; the report gives the place in the file.
void keep_unreadable_place(Extraction* x) {
  int bytes = x->info.bits == 12 ? DAT_LP_PCM_BYTES : x->info.pcm_bytes;
  if (bytes <= 0 || bytes > DAT_LP_PCM_BYTES) bytes = rate_for_code(x->info.rate_code, x->rate) * 3 / 100 * 4;
  std::memset(x->pcm, 0, static_cast<size_t>(bytes));
  if (x->s->waveout_arg) {
    output_waveout(x->pcm, static_cast<uint32_t>(bytes), x->staging);
    return;
  }
  TrackFile& f = x->files;
  if (!(f.wav || f.flac) || f.write_failed || track_file_room(&f) < static_cast<uint32_t>(bytes)) return;
  int64_t sample_offset = f.data_bytes / 4;
  if (track_file_write_unreadable(&f, bytes) != 0) x->write_failed = true;
  transfer_report_unreadable_written(x->run.report, f.name, sample_offset, report_audio(x), static_cast<size_t>(bytes));
}

// Starts the file (or the player) over at the new rate after an early rate change.
int restart_track(Extraction* x) {
  set_track_format(x);
  transfer_report_file_restarted(x->run.report, x->files.name);
  if (x->s->waveout_arg) {
    wave_out_wrapup(0);
    return start_player(x);
  }
  if (track_file_restart(&x->files, x->info.rate_code) != 0) x->write_failed = true;
  return 0;
}

// A read before the first frame written that ends the run: a drive that lost
// its place says so in plain words, any other failure as it always has.
void say_read_that_ends_start(Extraction* x, uint32_t result, const char* message) {
  if (const char* lost = tape_lost_place(tape_status(result)))
    std::printf(" - %s\n", lost);
  else
    std::printf("%s", message);
  record_read_that_ends_run(&x->run, result);
}

// The first frame, the lead-in and the wait for the drive. The frame the
// start phase ends on is the first one written.
// Returns 0, 1 when the mode cannot go on, or -1 when ESC ended it (the
// run counts as ended early).
int start_phase(Extraction* x) {
  RunSettings* s = x->s;
  reset_frame_analysis(s);
  uint32_t result = read_frame(x);
  if (!tape_read_ok(result)) {
    say_read_that_ends_start(x, result, "first read audio block failed\n");
    return 1;
  }
  take(x);
  if (s->rewind_arg) {
    // Blank tape and the frames of a lead-in are passed: the first frame
    // written is the first of the recording.
    for (int c = 0; x->events.blank || frame_in_lead_in(&x->info); ++c) {
      result = read_frame(x);
      if (!tape_read_ok(result)) {
        char message[64];
        std::snprintf(message, sizeof message, "leadin read audio block failed: 0x%.8x\n", result);
        say_read_that_ends_start(x, result, message);
        return 1;
      }
      take(x);
      std::printf(" - scanning past lead-in: %c \r", kSpinner[(c / 2) % 4]);
      if (esc_pressed()) {
        std::printf("\n");
        record_incomplete(&x->run);
        return -1;
      }
    }
    std::printf(" - scanning past lead-in: done        \n");
  }
  settle_frame_source(&x->source);
  x->stop = false;  // a stop raised by a long blank leader is dropped
  return 0;
}

bool all_zero(const uint8_t* bytes, int count) {
  for (int i = 0; i < count; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

// Prints a message on a line of its own, after the status line if one stands.
void say(Extraction* x, const char* message) {
  std::printf("%s%s", x->line_open ? "\n" : "", message);
  x->line_open = false;
}

// A read that failed. The end of the recorded data ends the run, under
// /STOPEOT too once the drive has said so on kEndOfDataReads reads in a row,
// and is said once as it ends it; any other failure is an unreadable frame,
// which the track log lists, and without /STOPEOT ends the run early.
void read_failed(Extraction* x, uint32_t result) {
  RunSettings* s = x->s;
  x->frame_valid = false;
  if (tape_status(result) == TAPE_END_OF_DATA) {
    if (!s->stopeot_arg || ++x->end_of_data_reads >= kEndOfDataReads) {
      x->stop = true;
      // A source that could not give all it held has said so instead.
      if (frame_source_incomplete(&x->source)) return;
      if (run_watched()) watch_end();
      else say(x, " - end of the recorded data\n");
    }
    return;
  }
  // A drive that stopped answering, was reset or lost its place: no frame
  // came and none will come from where the run stands, /STOPEOT or not.
  if (const char* lost = tape_lost_place(tape_status(result))) {
    x->stop = true;
    say(x, (std::string(" - ") + lost + "\n").c_str());
    // The frame that did not come is the report's last event, at the end
    // of the file it would have gone on.
    record_read_that_ends_run(&x->run, result);
    const TrackFile& f = x->files;
    if (!s->waveout_arg && (f.wav || f.flac))
      transfer_report_unreadable_written(x->run.report, f.name, f.data_bytes / 4, nullptr, 0);
    return;
  }
  if (run_watched()) {
    watch_unreadable(result, current_file(x));
  } else {
    char message[64];
    std::snprintf(message, sizeof message, "loop2 read audio block failed: %x\n", result);
    say(x, message);
  }
  x->end_of_data_reads = 0;
  x->unreadable += 1;
  record_unreadable(&x->run, result);
  keep_unreadable_place(x);
  if (!s->stopeot_arg) {
    x->stop = true;
    record_incomplete(&x->run);
  }
  if (s->reread_arg) log_frame_reads(&x->read, &x->frame);
  track_log_printf("Unreadable: 0x%.8x - after ", result);
  log_subcode(s);
  track_log_printf("\n");
}

// A change of rate kept in one file (/ONEWAV): the file keeps the rate it
// was begun with, so what follows plays at another speed than it was recorded.
void say_rate_kept(Extraction* x) {
  int rate = rate_for_code(x->info.rate_code, x->rate);
  char message[KESTREL_BASE_NAME_SIZE + 160];
  if (rate != x->rate)
    std::snprintf(message, sizeof message,
                  " - %s stays at %d Hz across a change to %d Hz: from here it plays at the wrong speed\n",
                  x->files.name, x->rate, rate);
  else
    std::snprintf(message, sizeof message, " - back to %d Hz: from here %s plays at the right speed\n", rate,
                  x->files.name);
  say(x, message);
}

// The frames of one track. Returns 1 when the player could not be
// restarted, else 0.
int frame_loop(Extraction* x) {
  RunSettings* s = x->s;
  int frames = 0;
  // Whether the file (since it began or started over) holds a sample that is
  // not zero: an early change of rate starts over only a file of silence
  // (lead-in, a gap), never one that holds audio.
  bool audible = false;
  // What happened at the frame before the track began does not end it.
  x->events.start_id_found = 0;
  x->events.rate_changed = 0;
  // /BYPROGRAM: the program number the file's frames carry (0: none yet).
  int file_program = 0;
  while (!x->stop && !x->write_failed && !(x->events.start_id_found && s->startid_arg)) {
    if (x->frame_valid) {
      if (!s->waveout_arg && track_file_room(&x->files) < DAT_LP_PCM_BYTES) {
        // This frame might not fit: it begins the next file.
        std::printf("\n - %s holds all a WAV file can: the recording goes on in the next file\n",
                    x->files.name);
        x->line_open = false;
        break;
      }
      // A watcher shows the run its own way (modes/run_watch.h).
      if (!run_watched()) {
        print_subcode(s);
        x->line_open = true;
      }
      if (s->reread_arg) x->recovered += log_frame_reads(&x->read, &x->frame);
      int bytes = prepare_pcm(x);
      int32_t concealed = 0;
      if (x->info.flags) {
        const char* said_as = s->waveout_arg ? "" : x->files.name;
        concealed = handle_error_frame(&x->frame, x->pcm, bytes, s, &x->totals, run_watched() ? nullptr : said_as);
        x->line_open = false;
        if (x->files.log && std::fflush(x->files.log) != 0) {
          say_write_failure(x->files.log_name);
          x->write_failed = true;
        }
      }
      int64_t sample_offset = x->files.data_bytes / 4;
      pass_on(x, bytes);
      transfer_report_written(x->run.report, s->waveout_arg ? nullptr : x->files.name, sample_offset, concealed,
                              report_audio(x), static_cast<size_t>(bytes));
      if (const char* notice = emphasis_stage_notice(s->waveout_arg ? &x->played : &x->files.emphasis))
        say(x, notice);
      if (!audible) audible = !all_zero(x->pcm, bytes);
      ++frames;
      if (x->info.program_kind == FRAME_PROGRAM_NUMBER) file_program = x->info.program;
    }
    uint32_t result = read_frame(x);
    if (tape_read_ok(result)) {
      x->frame_valid = true;
      x->end_of_data_reads = 0;
      take(x);
    } else {
      // A frame that was not read is never analysed, written, or allowed to
      // start, restart or split a file.
      read_failed(x, result);
    }
    if (esc_pressed()) {
      x->stop = true;
      record_incomplete(&x->run);
    }
    if (!x->frame_valid) continue;
    // A start ID within the first 300 frames of a file does not end it.
    if (x->events.start_id_found && frames < kTrackSplitFrames) x->events.start_id_found = 0;
    // /BYPROGRAM: a new valid program number begins a new file, whatever the
    // length of the one before; frames without one stay where they are.
    if (s->byprogram_arg && file_program != 0 && x->info.program_kind == FRAME_PROGRAM_NUMBER &&
        x->info.program != file_program)
      break;
    if (x->events.rate_changed) {
      // Starting over drops what the file holds: only silence (a lead-in, a
      // gap) is dropped so. Audio ends the file here, as in a longer file,
      // or with /ONEWAV goes on in it with each frame's own samples.
      if (frames < kTrackSplitFrames && !audible) {
        if (restart_track(x) != 0) return 1;
        frames = 0;
      } else if (s->onewav_arg) {
        say_rate_kept(x);
      } else {
        break;
      }
    }
  }
  return 0;
}

int extract_from_source(Extraction* x) {
  RunSettings* s = x->s;
  int start = start_phase(x);
  if (start != 0) return 1;

  for (int track = 1;; ++track) {
    set_track_format(x);
    if (s->waveout_arg) {
      wave_out_buffers = 24;
      wave_out_buffer_bytes = 16384;
      emphasis_stage_begin(&x->played, s->deemphasis_arg != 0, true, x->rate);
      if (start_player(x) != 0) return 1;
      std::printf("Playing audio track# %d                                                    \n", track);
    } else if (open_track_files(x, track) != 0) {
      return 1;
    }
    int loop_result = frame_loop(x);
    if (loop_result != 0) {
      finish_track_files(x);
      return 1;
    }
    if (s->waveout_arg) {
      wave_out_wrapup(0);
    } else if (finish_track_files(x) != 0) {
      x->write_failed = true;
    }
    if (x->write_failed) return 1;
    if (x->stop) return 0;
  }
}

// The files the run writes: the tracks' files, or with /WAVEOUT the run
// log; the report's.
ImageRunOutputs run_outputs(const RunSettings* s) {
  ImageRunOutputs outputs;
  outputs.base = s->base_name;
  TrackFileSuffixes suffixes = track_file_suffixes(s);
  if (s->waveout_arg)
    outputs.named.push_back(kRunLogName);
  else
    outputs.numbered = {suffixes.audio, suffixes.log};
  if (s->report_arg) outputs.report = s->base_name;
  return outputs;
}

}  // namespace

RunVerdict extract_tracks(RunSettings* s, PlaybackStaging* staging) {
  Extraction extraction;
  Extraction* x = &extraction;
  x->s = s;
  x->staging = staging;
  if (s->fromimage_arg && check_image_run_outputs(s->image_path, run_outputs(s)) != 0) return RUN_INCOMPLETE;
  if (open_frame_source(&x->source, s) != 0) return RUN_INCOMPLETE;
  open_run_record(&x->run, s, "KESTREL", s->base_name);
  bool partial = s->fromimage_arg && say_partial_image(s->image_path);
  // The frames of a whole image are its records: its map tells whose each damaged one is.
  RescueMap map;
  std::string why;
  if (s->fromimage_arg && !s->seek_arg && x->run.report &&
      rescue_map_read(rescue_map_path(s->image_path), &map, &why) == 0)
    transfer_report_map(x->run.report, &map);
  // The report lists the levels of each program: the files' writers measure them.
  x->files.measure_programs = x->run.report != nullptr;
  int result = extract_from_source(x);
  if (partial) record_incomplete(&x->run);
  if (frame_source_incomplete(&x->source) || x->write_failed) result = 1;
  close_frame_source(&x->source);
  return close_run_record(&x->run, result);
}
