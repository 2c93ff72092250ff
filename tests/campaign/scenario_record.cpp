// SPDX-License-Identifier: MIT
// /GOSHAWK runs: WAV files of a cue file onto tape under write faults of each
// kind, write protection, a full tape, a file-size limit, ESC or SIGINT at a
// random frame, a drive that is not a tape drive and a missing cue file.
// Listed files may be missing, or named as MPEG audio and hold none (a WAV
// file or noise): both are skipped.
//
// What reaches the tape is compared with the same cue file recorded without
// faults (checked itself against the phase layout computed from the cue):
// the faulted recording must write exactly those frames up to its fault and
// then do what its documentation says. ESC and SIGINT are compared with a
// recording of the cue cut where the key was read.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "datframe/frame_build.h"
#include "tests/campaign/scenarios.h"
#include "tests/support/e2e/audio_files.h"
#include "tests/support/temp_dir.h"

namespace {

struct Source {
  std::string name;
  int rate = 48000;  // of a missing file: the rate the recorder carries over from the one before
  int channels = 2;
  bool missing = false;          // listed, but not there: a track of no frames
  bool not_audio = false;        // an .mp3 that holds no MPEG audio: skipped, not opened
  std::string junk;              // its bytes
  std::vector<int16_t> samples;  // interleaved
  size_t sample_frames() const { return samples.size() / static_cast<size_t>(channels); }
  size_t pcm_bytes() const { return sample_frames() * 4; }  // as 16-bit stereo
};

struct Cue {
  bool start_ids = true;
  int scms = 0;
  bool long_play = true;
  bool time_date = false;
  int intertrack = 0, leadin = 0, leadout = 0;  // silences, seconds
  std::vector<Source> files;
};

const std::vector<std::string> kRecordFailures = {
    "fail writing",    "Tape positioning error", "\n... trying again", "\n.. trying again", "Tape write",
    "write block failure", "failure - drive",    "Cannot find cue file", "open file failed", "no file"};

bool lp(const Cue& cue, const Source& s) { return cue.long_play && s.rate == 32000; }

// Source PCM bytes one frame takes.
size_t wanted(const Cue& cue, const Source& s) {
  if (lp(cue, s)) return DAT_LP_PCM_BYTES;
  return s.rate == 44100 ? 5292 : s.rate == 32000 ? 3840 : 5760;
}

int silence(int seconds, bool long_play) { return seconds * 333 / 10 / (long_play ? 2 : 1); }

int track_frames(const Cue& cue, const Source& s) {
  return static_cast<int>((s.pcm_bytes() + wanted(cue, s) - 1) / wanted(cue, s));
}

// Keyboard polls of a track: one per block read, the empty read at the end
// included; none for a file that is not opened.
int track_polls(const Cue& cue, const Source& s) {
  if (s.not_audio) return 0;
  return track_frames(cue, s) + (s.pcm_bytes() % wanted(cue, s) == 0 ? 1 : 0);
}

// Keyboard polls before the first track: after the lead-in, and after the
// lead-in silence when there is one.
int polls_before_tracks(const Cue& cue) { return cue.leadin > 0 ? 2 : 1; }

// What the console says of each listed file that holds no MPEG audio, once
// the recording reaches it.
std::string skip_said(const Source& s) {
  return "File: " + s.name + "\ncannot analyze file " + s.name + "\nopen file failed\n";
}
bool any_not_audio(const Cue& cue) {
  return std::any_of(cue.files.begin(), cue.files.end(), [](const Source& f) { return f.not_audio; });
}
// The failures that must not be said: a skipped file says "open file failed".
std::vector<std::string> record_failures(const Cue& cue) {
  std::vector<std::string> out = kRecordFailures;
  if (any_not_audio(cue)) out.erase(std::find(out.begin(), out.end(), "open file failed"));
  return out;
}
// Every skipped file is said to be skipped; in a run that may end early, each
// one the console names is said to be no MPEG audio (a drive found not to be
// a tape drive ends the run before the file is opened).
void check_skips(Verdict* v, const ProcessResult& result, const Cue& cue, bool all_reached) {
  for (const Source& s : cue.files) {
    if (!s.not_audio) continue;
    if (all_reached) check_said(v, result, skip_said(s));
    else if (result.out.find("File: " + s.name + "\n") != std::string::npos)
      check_said(v, result, "File: " + s.name + "\ncannot analyze file " + s.name + "\n");
  }
}

// Files of the cue that give no audio (missing, or no MPEG audio): not on the
// tape, so a recording that reaches them ends with exit code 5.
int skipped_files(const Cue& cue) {
  return static_cast<int>(
      std::count_if(cue.files.begin(), cue.files.end(), [](const Source& f) { return f.missing || f.not_audio; }));
}

RecordPlan plan_of(const Cue& cue) {
  RecordPlan plan;
  plan.lead_in_silence = silence(cue.leadin, lp(cue, cue.files.front()));
  for (const Source& s : cue.files) {
    plan.tracks.push_back(track_frames(cue, s));
    plan.gaps.push_back(silence(cue.intertrack, lp(cue, s)));
  }
  plan.lead_out_silence = silence(cue.leadout, lp(cue, cue.files.back()));
  return plan;
}

std::string cue_text(const Cue& cue) {
  static const char* const kScms[] = {"00", "01", "10", "11"};
  std::string text = "[CONFIG]\n";
  text += std::string("STARTID=") + (cue.start_ids ? "ON" : "OFF") + "\n";
  text += std::string("SCMS=") + kScms[cue.scms] + "\n";
  text += std::string("32KHZ_LP=") + (cue.long_play ? "ON" : "OFF") + "\n";
  text += std::string("TIME_DATE=") + (cue.time_date ? "ON" : "OFF") + "\n";
  text += "INTERTRACK_SILENCE=" + std::to_string(cue.intertrack) + "\n";
  text += "LEADIN_SILENCE=" + std::to_string(cue.leadin) + "\n";
  text += "LEADOUT_SILENCE=" + std::to_string(cue.leadout) + "\n[FILES]\n";
  for (size_t i = 0; i < cue.files.size(); ++i)
    text += "FILE_" + track_number(static_cast<int>(i + 1)) + "=" + cue.files[i].name + "\n";
  return text;
}

Cue random_cue(Rng* rng) {
  Cue cue;
  cue.start_ids = rng_chance(rng, 0.6);
  cue.scms = rng_range(rng, 0, 3);
  cue.long_play = rng_chance(rng, 0.5);
  cue.time_date = rng_chance(rng, 0.3);
  cue.intertrack = rng_chance(rng, 0.5) ? rng_range(rng, 1, 3) : 0;
  cue.leadin = rng_chance(rng, 0.5) ? rng_range(rng, 1, 3) : 0;
  cue.leadout = rng_chance(rng, 0.5) ? rng_range(rng, 1, 3) : 0;
  int count = rng_range(rng, 1, 4);
  static const int kRates[] = {48000, 44100, 32000};
  int carried_rate = 48000;  // the lead-in leaves the rate code 0
  for (int i = 0; i < count; ++i) {
    Source s;
    s.name = "src" + std::to_string(i + 1) + ".wav";
    if (rng_chance(rng, 0.08)) {
      s.missing = true;
      s.rate = carried_rate;
      cue.files.push_back(s);
      continue;
    }
    if (rng_chance(rng, 0.08)) {
      // A WAV file renamed, or noise: the probe reads a bounded part and finds no stream.
      s.name = "src" + std::to_string(i + 1) + ".mp3";
      s.not_audio = true;
      s.rate = carried_rate;
      uint32_t seed = static_cast<uint32_t>(rng_range(rng, 1, 1 << 30));
      if (rng_chance(rng, 0.5)) {
        s.junk = wav_file_bytes(1, 2, 44100, 16, pcm16_bytes(test_pattern(44100, 2, seed)));
      } else {
        s.junk.resize(static_cast<size_t>(rng_range(rng, 1, 300000)));
        for (char& c : s.junk) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
      }
      cue.files.push_back(s);
      continue;
    }
    s.rate = kRates[rng_range(rng, 0, 2)];
    carried_rate = s.rate;
    s.channels = rng_chance(rng, 0.25) ? 1 : 2;
    size_t per_frame = wanted(cue, s) / 4;
    int frames = rng_chance(rng, 0.3) ? rng_range(rng, 1, 40) : rng_range(rng, 41, 450);
    // Whole frames or a part of the last one.
    size_t sample_frames = static_cast<size_t>(frames) * per_frame;
    if (rng_chance(rng, 0.5)) sample_frames -= static_cast<size_t>(rng_range(rng, 1, static_cast<int>(per_frame) - 1));
    s.samples = test_pattern(sample_frames, s.channels, static_cast<uint32_t>(rng_range(rng, 1, 1 << 30)));
    cue.files.push_back(s);
  }
  return cue;
}

void write_cue_folder(const std::string& dir, const Cue& cue, const std::string& cue_name) {
  for (const Source& s : cue.files) {
    if (s.not_audio) write_file(dir + "/" + s.name, s.junk);
    else if (!s.missing) write_wav_file(dir + "/" + s.name, 1, s.channels, s.rate, 16, pcm16_bytes(s.samples));
  }
  write_file(dir + "/" + cue_name, cue_text(cue));
}

// The cue recorded without faults in its own folder: its tape, checked
// against the layout the cue gives.
std::vector<DatFrame> clean_recording(const std::string& dir, const Cue& cue, Verdict* v) {
  mkdir(dir.c_str(), 0755);
  write_cue_folder(dir, cue, "CAMPAIGN.CUE");
  RunPlan plan;
  plan.args = {"/GOSHAWK", "CAMPAIGN", "/OUTPUTID", "0:5"};
  plan.drives = {{"0:5", {{"cassette", "clean.tape"}}}};
  ProcessResult result = run_plan(plan, dir);
  check_process(v, result, skipped_files(cue) > 0 ? 5 : 0);
  check_messages(v, result, {}, record_failures(cue));
  check_skips(v, result, cue, true);
  size_t partial = 0;
  std::vector<DatFrame> tape = read_frames(dir + "/clean.tape", &partial);
  size_t expected = plan_of(cue).total();
  check(v, tape.size() == expected && partial == 0,
        "the recording without faults has " + std::to_string(tape.size()) + " frames, its layout " +
            std::to_string(expected));
  return tape;
}

// Where ESC (read at keyboard poll `poll`, from 1) stops the recording.
struct Cut {
  Cue cue;                      // the tracks recorded, the last up to its frame
  bool before_tracks = false;   // no program: read after the lead-in or its silence
  bool lead_in_silence = true;  // written (before_tracks)
};

// The cue as far as ESC lets it record: read after the lead-in or the lead-in
// silence it records no program (the silence is not begun, or finished);
// else the tracks before, and the track of that poll up to its frame; ESC
// read at the poll between two tracks ends the recording before the next.
// Returns false when the poll lies beyond the recording's last.
bool cut_at_poll(const Cue& cue, int poll, Cut* out) {
  *out = Cut{cue};
  if (poll <= polls_before_tracks(cue)) {
    out->before_tracks = true;
    out->lead_in_silence = poll == 2;
    return true;
  }
  poll -= polls_before_tracks(cue);
  Cue* cut = &out->cue;
  cut->files.clear();
  for (size_t i = 0; i < cue.files.size(); ++i) {
    const Source& s = cue.files[i];
    int polls = track_polls(cue, s);
    if (poll > polls) {
      cut->files.push_back(s);
      poll -= polls;
      if (i + 1 < cue.files.size() && poll-- == 1) return true;  // the poll between tracks
      continue;
    }
    Source part = s;
    int frames = std::min(poll, track_frames(cue, s));
    size_t keep = std::min(s.sample_frames(), static_cast<size_t>(frames) * (wanted(cue, s) / 4));
    part.samples.resize(keep * static_cast<size_t>(s.channels));
    cut->files.push_back(part);
    return true;
  }
  *cut = cue;
  return false;
}

// The lead-out written right after `f` (the lead-in, or the lead-in
// silence's last frame) when no program was recorded.
DatFrame lead_out_after(DatFrame f) {
  f.sid_control = static_cast<uint8_t>(0x40 | (f.sid_control & 0x0F));
  frame_set_sub_id(&f, PROGRAM_LEAD_OUT, f.sid_pno1 & 0x0F);
  frame_set_time_pack(&f, 1, PACK_ITEM_PROGRAM_TIME, PROGRAM_LEAD_OUT, 0x01, TIME_CODE_NONE);
  frame_set_time_pack(&f, 2, PACK_ITEM_ABSOLUTE_TIME, PROGRAM_LEAD_OUT, 0x01, TIME_CODE_NONE);
  frame_set_pack_parity(&f);
  return f;
}

// The recording stopped before its first track, from the clean one laid out
// as plan: the lead-in, its silence when written, and the lead-out; plan
// becomes its layout.
std::vector<DatFrame> no_program(const std::vector<DatFrame>& clean, bool lead_in_silence, RecordPlan* plan) {
  const int silence = lead_in_silence ? plan->lead_in_silence : 0;
  *plan = RecordPlan{};
  plan->lead_in_silence = silence;
  size_t head = static_cast<size_t>(kLeadInFrames + plan->lead_in_silence);
  std::vector<DatFrame> out(clean.begin(), clean.begin() + static_cast<ptrdiff_t>(std::min(head, clean.size())));
  if (out.size() == head) out.insert(out.end(), kLeadOutFrames, lead_out_after(out.back()));
  return out;
}

// The keyboard poll that first follows the interrupt raised before WRITE
// number `transfer`; 0 when no poll follows it.
int poll_after_transfer(const Cue& cue, const RecordPlan& plan, int transfer) {
  int64_t write = transfer - 1;  // writes before it
  write -= kLeadInFrames;
  if (write < 0) return 1;
  if (cue.leadin > 0) {
    if (write < plan.lead_in_silence) return 2;
    write -= plan.lead_in_silence;
  }
  int polls_before = polls_before_tracks(cue);
  for (size_t t = 0; t < plan.tracks.size(); ++t) {
    if (write < plan.tracks[t]) return polls_before + static_cast<int>(write) + 2;
    write -= plan.tracks[t];
    polls_before += track_polls(cue, cue.files[t]);
    if (write < plan.gaps[t]) return t + 1 < plan.tracks.size() ? polls_before + 1 : 0;
    write -= plan.gaps[t];
    if (t + 1 < plan.tracks.size()) ++polls_before;  // the poll between tracks
  }
  return 0;
}

// The writes of each phase of the recording (from 1), and a few beyond.
std::vector<WriteSpan> phase_spans(const RecordPlan& plan) {
  std::vector<int> lengths = {kLeadInFrames, plan.lead_in_silence};
  for (size_t t = 0; t < plan.tracks.size(); ++t) lengths.insert(lengths.end(), {plan.tracks[t], plan.gaps[t]});
  lengths.insert(lengths.end(), {plan.lead_out_silence, kLeadOutFrames, 5});
  std::vector<WriteSpan> spans;
  int first = 1;
  for (int length : lengths) {
    if (length > 0) spans.push_back({first, first + length - 1});
    first += length;
  }
  return spans;
}

}  // namespace

void scenario_record(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  Cue cue = random_cue(rng);
  RecordPlan plan = plan_of(cue);
  int writes = static_cast<int>(plan.total());
  ModelBus bus;
  RunPlan run;
  run.args = {"/GOSHAWK", rng_chance(rng, 0.5) ? "campaign" : "CAMPAIGN", "/OUTPUTID", "0:5"};
  if (rng_chance(rng, 0.3)) run.args.push_back("/REWIND");
  std::vector<std::string> files = {"bus.ini", "clean"};
  for (const Source& s : cue.files)
    if (!s.missing) files.push_back(s.name);
  if (rng_chance(rng, 0.4)) {
    Tape old = random_tape(rng);
    bus.output = old.frames;
    tape_write(old, dir + "/target.tape");
  }
  BusKeys keys = {{"cassette", "target.tape"}};

  enum Fault { NONE, WRITE, ESC, INTERRUPT, LIMIT, NOT_TAPE, NO_CUE } fault;
  int roll = rng_range(rng, 0, 99);
  fault = roll < 8 ? NONE : roll < 50 ? WRITE : roll < 65 ? ESC : roll < 80 ? INTERRUPT : roll < 90 ? LIMIT
        : roll < 95 ? NOT_TAPE : NO_CUE;
  std::string wait_line;
  if (fault == WRITE) wait_line = draw_write_faults(rng, &bus, &keys, v, phase_spans(plan), true);
  if (fault == NOT_TAPE) {
    keys.push_back({"type", "5"});
    add_fault(v, "output drive not a tape drive");
  }
  if (fault == LIMIT) bus.file_size_limit = set_file_limit(rng, &run, v, 0, static_cast<long long>(writes + 2) * 5822);
  if (fault == ESC || fault == INTERRUPT) draw_interruption(rng, &bus, &run, v, writes + 5, true);
  // Recording from a place of the recording on the tape on: the drive written
  // is the one sought, and the recording begins exactly at the frame sought.
  if (fault != NOT_TAPE && seek_possible(bus, false, wait_line)) {
    long long sought = draw_seek(rng, bus.output, &run, &keys, v);
    if (sought >= 0) {
      run.args.insert(run.args.end(), {"/INPUTID", "0:5"});
      bus.output_position = static_cast<size_t>(sought);
    }
  }
  run.drives = {{"0:5", keys}};
  // The cue file's name is matched without regard to case.
  std::string cue_name = rng_chance(rng, 0.3) ? "Campaign.cue" : "CAMPAIGN.CUE";
  write_cue_folder(dir, cue, cue_name);
  if (fault == NO_CUE) {
    std::remove((dir + "/" + cue_name).c_str());
    add_fault(v, "no cue file");
  } else {
    files.push_back(cue_name);
  }
  int missing = static_cast<int>(std::count_if(cue.files.begin(), cue.files.end(), [](const Source& f) { return f.missing; }));
  if (missing > 0) add_fault(v, "listed files missing:", std::to_string(missing));
  int not_audio = static_cast<int>(std::count_if(cue.files.begin(), cue.files.end(), [](const Source& f) { return f.not_audio; }));
  if (not_audio > 0) add_fault(v, "listed files not MPEG audio:", std::to_string(not_audio));
  *describe = run.describe() + " cue: " + std::to_string(cue.files.size()) + " files" +
              (cue.time_date ? ", date" : "") + (cue.long_play ? ", long play" : "");

  std::vector<DatFrame> clean = clean_recording(dir + "/clean", cue, v);
  WriteOutcome model;
  // The files the recording reaches: all of them, or those before ESC.
  const Cue* reached = &cue;
  bool stopped = false;
  Cut cut;
  if (fault == NO_CUE) {
    model.said.push_back("Cannot find cue file: ");
    model.exit_code = 6;  // nothing to record: the mode cannot start
  } else if (fault == ESC || fault == INTERRUPT) {
    int poll = bus.esc_poll > 0 ? bus.esc_poll : poll_after_transfer(cue, plan, static_cast<int>(bus.interrupt_at));
    if (poll > 0 && cut_at_poll(cue, poll, &cut)) {
      stopped = true;
      if (cut.before_tracks) {
        clean = no_program(clean, cut.lead_in_silence, &plan);
        cut.cue.files.clear();
      } else {
        clean = clean_recording(dir + "/clean-cut", cut.cue, v);
        plan = plan_of(cut.cue);
        files.push_back("clean-cut");
      }
      reached = &cut.cue;
    }
    model = model_record(&bus, clean, plan, true);
  } else {
    model = model_record(&bus, clean, plan, fault != NOT_TAPE);
  }
  // ESC ends the recording early; else a file that gave no audio leaves it
  // damaged, unless a failed write ended it.
  if (model.exit_code == 0) model.exit_code = exit_code_of(stopped, skipped_files(*reached) > 0);
  ProcessResult result = run_plan(run, dir);

  check_output_tape(v, dir + "/target.tape", bus, cue.time_date, &files);
  check_files(v, dir, files);
  check_process(v, result, model.exit_code);
  if (!wait_line.empty()) check_said(v, result, wait_line);
  check_said(v, result, " - closing output drive...\n");
  check_seek(v, result, run);
  check_messages(v, result, model.said, record_failures(cue));
  check_skips(v, result, cue, false);
}
