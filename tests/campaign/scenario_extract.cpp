// SPDX-License-Identifier: MIT
// /KESTREL runs: tape to WAV files and logs, under read faults, interruptions,
// a file-size limit and files that cannot be created.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>

#include "tests/campaign/scenarios.h"
#include "tests/support/e2e/archival_files.h"
#include "tests/support/temp_dir.h"

namespace {

const size_t kWavHeaderBytes = 44;

uint32_t rate_of(int rate_code) { return rate_code == 1 ? 44100 : rate_code == 2 ? 32000 : 48000; }

std::string totals_text(const ConcealTotals& t) {
  return "total samples fixed: " + std::to_string(t.samples_fixed) + "\ntotal frames fixed: " +
         std::to_string(t.frames_fixed) + "\ntotal frames not fixed: " + std::to_string(t.frames_not_fixed) + "\n";
}

// The flags of the "Error: 0x.." entries of a track log, in order.
std::vector<uint8_t> logged_flags(const std::string& log) {
  std::vector<uint8_t> flags;
  const std::string mark = "Error: 0x";
  for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
    flags.push_back(static_cast<uint8_t>(std::stoul(log.substr(at + mark.size(), 2), nullptr, 16)));
  return flags;
}

// The log of a finished track: an entry for every flagged frame written and
// the three totals. A track cut short by a failed write holds a first part of
// the entries and its own totals.
void check_log(Verdict* v, const std::string& name, const std::string& log, const ModelTrack& t, bool cut_short) {
  std::vector<uint8_t> flags = logged_flags(log);
  if (!cut_short) {
    check(v, flags == t.flags, name + ": the flagged frames logged are not those written");
    std::string totals = totals_text(t.totals);
    if (t.unreadable > 0) totals += "total frames unreadable: " + std::to_string(t.unreadable) + "\n";
    size_t unreadable = 0;
    for (size_t at = log.find("Unreadable: 0x"); at != std::string::npos; at = log.find("Unreadable: 0x", at + 1))
      ++unreadable;
    check(v, unreadable == static_cast<size_t>(t.unreadable), name + ": the unreadable frames logged are not those met");
    check(v, log.size() >= totals.size() && log.compare(log.size() - totals.size(), totals.size(), totals) == 0,
          name + ": totals do not end the log as expected: " + totals);
    return;
  }
  check(v, flags.size() <= t.flags.size() && std::equal(flags.begin(), flags.end(), t.flags.begin()),
        name + ": the flagged frames logged are not a first part of those written");
  check(v, log.find("total frames not fixed: ") != std::string::npos, name + ": no totals");
}

// A track's audio file of any kind: whether it is valid (sizes agreeing with
// the file, a Broadcast WAV file's MD5 and markers agreeing with its audio, a
// FLAC file passing flac's test), its rate and its audio.
WavFile read_track_file(const std::string& path, FileKind kind) {
  if (kind == PLAIN_WAV) return read_wav(path);
  WavFile file;
  if (kind == FLAC) {
    file.valid = flac_tests_ok(path);
    file.data = flac_pcm(path);
    ProcessResult rate = run_process("/usr/bin/metaflac", {"--show-sample-rate", path});
    file.rate = static_cast<uint32_t>(std::strtoul(rate.out.c_str(), nullptr, 10));
    return file;
  }
  RiffFile riff = read_riff(path);
  file.data = riff.data();
  const std::string format = riff.chunks.count("fmt ") ? riff.chunks.at("fmt ") : std::string();
  if (format.size() >= 8) std::memcpy(&file.rate, format.data() + 4, 4);
  // The bext chunk first, behind the room kept for RF64's ds64 chunk.
  size_t first = !riff.order.empty() && riff.order.front() == "JUNK" ? 1 : 0;
  file.valid = riff.valid && riff.order.size() > first && riff.order[first] == "bext";
  if (riff.chunks.count("MD5 ")) file.valid = file.valid && md5_chunk_hex(riff) == md5_hex(file.data);
  for (const CueMarker& marker : cue_markers(riff)) file.valid = file.valid && marker.sample * 4ull < file.data.size();
  return file;
}

// The verbs' command line for a /KESTREL plan: each switch as its option,
// the name as the slash form upper-cases it (a verb takes it as typed).
std::vector<std::string> verb_args(const std::vector<std::string>& slash, const std::string& upper) {
  static const std::map<std::string, std::vector<std::string>> kOptions = {
      {"/REWIND", {"--rewind"}},          {"/STARTID", {"--split", "start-id"}}, {"/ONEWAV", {"--one-file"}},
      {"/STOPEOT", {"--read-on"}},        {"/ERRORCORRECT", {"--conceal"}},      {"/BYPROGRAM", {"--split", "program"}},
      {"/BWF", {"--format", "bwf"}},      {"/FLAC", {"--format", "flac"}},       {"/REPORT", {"--report"}},
      {"/INPUTID", {"--drive"}},          {"/REREAD", {"--reread"}}};
  static const std::map<std::string, std::string> kSeek = {
      {"PROGNUM", "program:"}, {"ABSTIME", "abs:"}, {"RUNTIME", "run:"}, {"PROGTIME", "program-time:"}};
  std::vector<std::string> args = {"read", upper};
  for (size_t i = 2; i < slash.size(); ++i) {
    std::string word = slash[i];
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "/SEEK" && i + 2 < slash.size()) {
      args.insert(args.end(), {"--seek", kSeek.at(slash[i + 1]) + slash[i + 2]});
      i += 2;
    } else if (kOptions.count(word)) {
      args.insert(args.end(), kOptions.at(word).begin(), kOptions.at(word).end());
    } else {
      args.push_back(slash[i]);  // a switch's value
    }
  }
  return args;
}

// A Broadcast WAV file's reference: random bits, new in every run.
std::string without_reference(const std::string& bytes) {
  static const std::regex reference("KESTREL-[0-9a-f]{16}-");
  return std::regex_replace(bytes, reference, "KESTREL-REFERENCE-");
}

// The verbs' front end, for a share of the runs it can stand for (no keys,
// no interruption, no limit, no file in the way): the same tape read by the
// verb the slash command stands for, in a folder of its own, ends the same
// way and leaves the same files, byte for byte (the report's, which name the
// command, aside).
void compare_with_verb(Verdict* v, const RunPlan& plan, const std::string& dir, const std::string& upper,
                       const ProcessResult& slash) {
  add_fault(v, "verbs' front end beside the slash form");
  TempDir verb_dir;
  // The same cassette, if there is one (an empty drive has none).
  std::error_code no_cassette;
  std::filesystem::copy_file(dir + "/tape.dat", verb_dir.file("tape.dat"), no_cassette);
  RunPlan verb = plan;
  verb.args = verb_args(plan.args, upper);
  verb.options.env.insert(verb.options.env.end(),
                          {"KESTREL_DRIVE=", "XDG_CONFIG_HOME=/nonexistent", "KESTREL_SYSTEM_CONFIG=/nonexistent"});
  ProcessResult result = run_plan(verb, verb_dir.path());
  std::string command;
  for (const std::string& a : verb.args) command += " " + a;
  check(v, result.exit_code == slash.exit_code,
        "kestrel" + command + " ended with " + std::to_string(result.exit_code) + ", the slash form with " +
            std::to_string(slash.exit_code));
  auto written = [&upper](const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const std::string& name : list_dir(folder)) {
      bool report = name == upper + ".json" || name == upper + ".html" || name == upper + ".sha256";
      if (name.rfind(upper, 0) == 0 && !report) files[name] = without_reference(read_file(folder + "/" + name));
    }
    return files;
  };
  std::map<std::string, std::string> old = written(dir), now = written(verb_dir.path());
  check(v, old.size() == now.size(), "kestrel" + command + " wrote " + std::to_string(now.size()) + " files, the slash form " +
                                         std::to_string(old.size()));
  for (const auto& [name, bytes] : old) {
    auto it = now.find(name);
    check(v, it != now.end() && it->second == bytes,
          name + " of kestrel" + command + (it == now.end() ? " missing" : " differs: " + difference(it->second, bytes)));
  }
}

}  // namespace

std::string check_tracks(Verdict* v, const std::string& dir, const ExtractOutcome& model, const std::string& upper,
                         long long limit, FileKind kind, const ProcessResult& result,
                         std::vector<std::string>* expected_files, std::vector<std::string>* touched) {
  std::string failed_file;
  const std::string audio_ext = kind == FLAC ? ".flac" : ".wav";
  // The size of an archival file under a limit is not modelled: the limit
  // ends the run at some track, whose file then holds a first part of its
  // audio (or is not there, when not even its header fitted).
  const bool size_unknown = limit >= static_cast<long long>(kWavHeaderBytes) && kind != PLAIN_WAV;
  for (const ModelTrack& t : model.tracks) {
    std::string wav_name = upper + track_number(t.number) + audio_ext;
    std::string log_name = upper + track_number(t.number) + ".log";
    touched->push_back(wav_name);
    std::vector<Segment> allowed = {t.segments.back()};
    bool cut_short = false;
    if (limit >= 0 && limit < static_cast<long long>(kWavHeaderBytes)) {
      failed_file = wav_name;  // not even the header: no file is left
      break;
    }
    if (limit >= 0 && !size_unknown) {
      size_t room = static_cast<size_t>(limit) - kWavHeaderBytes;
      for (size_t s = 0; s < t.segments.size() && !cut_short; ++s) {
        const Segment& segment = t.segments[s];
        if (segment.audio.size() <= room) continue;
        cut_short = true;
        allowed = {Segment{segment.rate_code, segment.audio.substr(0, room / 4 * 4)}};
        // Found when the file starts over: the file at its new rate is empty.
        if (s + 1 < t.segments.size()) allowed.push_back(Segment{t.segments[s + 1].rate_code, ""});
      }
    }
    bool failed_here = size_unknown && count_said(result, "write to " + wav_name + " failed: ") > 0;
    if (failed_here && !file_exists(dir + "/" + wav_name)) {
      failed_file = wav_name;
      break;
    }
    expected_files->push_back(wav_name);
    WavFile wav = read_track_file(dir + "/" + wav_name, kind);
    if (failed_here) {
      // A first part of the audio of one of the file's segments.
      cut_short = true;
      std::vector<Segment> parts;
      for (const Segment& segment : t.segments)
        if (wav.data.size() <= segment.audio.size())
          parts.push_back(Segment{segment.rate_code, segment.audio.substr(0, wav.data.size())});
      allowed = parts.empty() ? allowed : parts;
    }
    check(v, wav.valid, wav_name + ": the file is not valid (sizes, MD5, markers or decoding)");
    // An archival file spans its stretch of the tape, the places of frames
    // that could not be read included.
    if (kind != PLAIN_WAV && !cut_short && !failed_here) {
      const Segment& last = t.segments.back();
      check(v, static_cast<int64_t>(wav.data.size() / 4) == last.span_samples,
            wav_name + ": " + std::to_string(wav.data.size() / 4) + " samples for a span of " +
                std::to_string(last.positions) + " frames on the tape (" + std::to_string(last.span_samples) +
                " samples)");
    }
    bool audio_ok = false;
    for (const Segment& a : allowed) audio_ok = audio_ok || (wav.data == a.audio && wav.rate == rate_of(a.rate_code));
    check(v, audio_ok,
          wav_name + ": rate " + std::to_string(wav.rate) + " (expected " +
              std::to_string(rate_of(allowed.front().rate_code)) + "), audio " +
              difference(wav.data, allowed.front().audio));
    if (t.log_created) {
      touched->push_back(log_name);
      expected_files->push_back(log_name);
      check_log(v, log_name, read_file(dir + "/" + log_name), t, cut_short);
    }
    if (cut_short) {
      failed_file = wav_name;
      break;
    }
  }
  return failed_file;
}

ExtractSwitches draw_extract_switches(Rng* rng, RunPlan* plan) {
  ExtractSwitches sw;
  sw.rewind = rng_chance(rng, 0.3);
  sw.startid = rng_chance(rng, 0.5);
  sw.onewav = rng_chance(rng, 0.2);
  sw.stopeot = rng_chance(rng, 0.12);
  sw.errorcorrect = rng_chance(rng, 0.3);
  sw.byprogram = rng_chance(rng, 0.2);
  std::vector<std::string> switches;
  if (sw.rewind) switches.push_back("/REWIND");
  if (sw.startid) switches.push_back(rng_chance(rng, 0.5) ? "/STARTID" : "/startid");
  if (sw.onewav) switches.push_back("/ONEWAV");
  if (sw.stopeot) switches.push_back("/STOPEOT");
  if (sw.errorcorrect) switches.push_back("/ERRORCORRECT");
  if (sw.byprogram) switches.push_back("/BYPROGRAM");
  add_switches(rng, plan, switches);
  return sw;
}

void scenario_extract(Rng* rng, const std::string& dir, Verdict* v, std::string* describe) {
  ModelBus bus;
  bus.input = random_tape(rng);
  BaseName base = random_base(rng);
  RunPlan plan;
  plan.args = {"/KESTREL", base.typed, "/INPUTID", "0:4"};
  ExtractSwitches sw = draw_extract_switches(rng, &plan);
  FileKind kind = rng_chance(rng, 0.3) ? (rng_chance(rng, 0.5) ? BROADCAST_WAV : FLAC) : PLAIN_WAV;
  const std::string audio_ext = kind == FLAC ? ".flac" : ".wav";
  std::vector<std::string> more;
  if (kind == BROADCAST_WAV) more.push_back("/BWF");
  if (kind == FLAC) more.push_back("/FLAC");
  bool report = rng_chance(rng, 0.5);
  if (report) more.push_back(rng_chance(rng, 0.5) ? "/REPORT" : "/report");
  add_switches(rng, &plan, more);

  BusKeys keys = {{"cassette", "tape.dat"}};
  EarlyOutcome early;
  if (draw_early_interruption(rng, static_cast<int>(bus.input.frames.size()), &plan, &keys, v, &early)) {
    // Nothing is read: no file is made, and the tape stays as it was.
    plan.drives = {{"0:4", keys}};
    std::vector<std::string> files = {"bus.ini"};
    put_input_tape(bus, dir, "tape.dat", &files);
    *describe = plan.describe();
    ProcessResult result = run_plan(plan, dir);
    check_files(v, dir, files);
    check_early_interruption(v, result, early);
    check_said(v, result, " - closing input drive...\n");
    return;
  }
  std::string wait_line = draw_read_faults(rng, &bus, &keys, v);
  int frames = static_cast<int>(bus.input.frames.size());
  // /STOPEOT ends by itself at the end of the recorded data.
  draw_interruption(rng, &bus, &plan, v, frames + 5, false);
  long long sought = seek_possible(bus, true, wait_line) ? draw_seek(rng, bus.input.frames, &plan, &keys, v) : -1;
  if (sought >= 0) bus.input_position = static_cast<size_t>(sought);  // reading begins with the frame sought
  draw_lost_read(rng, &bus, &keys, v, wait_line, sought >= 0, !sw.rewind);
  std::string rewound = draw_slow_rewind(rng, bus, &keys, v, sw.rewind, wait_line, sought >= 0);

  long long limit = -1;
  if (rng_chance(rng, 0.2)) {
    // Too small for a header, or room for some audio (and always for the logs).
    bool tiny = rng_chance(rng, 0.15);
    limit = set_file_limit(rng, &plan, v, tiny ? 0 : 4096, tiny ? 43 : 6000000);
  }
  std::vector<std::string> expected_files = {"bus.ini"};
  int wav_blocked = 0, log_blocked = 0;
  if (rng_chance(rng, 0.08)) {
    int track = rng_range(rng, 1, 3);
    (rng_chance(rng, 0.5) ? wav_blocked : log_blocked) = track;
    block_file(dir, base.upper + track_number(track) + (wav_blocked ? audio_ext : ".log"), &expected_files, v);
  }
  plan.drives = {{"0:4", keys}};
  put_input_tape(bus, dir, "tape.dat", &expected_files);
  std::vector<std::string> old_files =
      leave_old_files(rng, dir, {base.upper + "001.wav", base.upper + "001.log", base.upper + "002.wav"}, v);
  *describe = plan.describe();

  ExtractOutcome model = model_extract(sw, &bus, base.upper, wav_blocked, log_blocked);
  ProcessResult result = run_plan(plan, dir);
  bool as_verb = plan.options.stdin_data.empty() && plan.options.trigger_text.empty() && plan.file_size_limit < 0 &&
                 !wav_blocked && !log_blocked && old_files.empty() && rng_chance(rng, 0.3);
  if (as_verb) compare_with_verb(v, plan, dir, base.upper, result);

  std::vector<std::string> touched;  // files the run creates (or replaces)
  std::string failed_file =
      check_tracks(v, dir, model, base.upper, limit, kind, result, &expected_files, &touched);
  keep_untouched(old_files, touched, &expected_files);
  bool report_written = true;
  if (report) {
    bool incomplete = model.exit_code == 6 || !failed_file.empty();
    report_written = check_report(v, dir, base.upper, model.report, incomplete, !failed_file.empty(), result,
                                  limit >= 0, &expected_files);
    if (!report_written) model.said.push_back(report_failure_line(result));
  }
  check_files(v, dir, expected_files);

  check_process(v, result, failed_file.empty() && report_written ? model.exit_code : 6);
  check_said(v, result, wait_line);
  if (!rewound.empty()) check_said(v, result, rewound);
  check_said(v, result, " - closing input drive...\n");
  check_seek(v, result, plan);
  if (!failed_file.empty()) {
    check_said(v, result, "write to " + failed_file + " failed: File too large\n");
    return;
  }
  // The model names the tracks' files as WAV files.
  std::vector<std::string> said = model.said;
  for (std::string& line : said)
    for (size_t at = line.find(".wav"); kind == FLAC && at != std::string::npos; at = line.find(".wav", at))
      line.replace(at, 4, audio_ext);
  check_messages(v, result, said,
                 {"first read audio block failed", "leadin read audio block failed", "loop1 read audio block failed",
                  "loop2 read audio block failed", "Cannot open", "write to "});
  size_t failures = count_said(result, "loop2 read audio block failed: ");
  check(v, failures == static_cast<size_t>(model.loop_read_failures),
        std::to_string(failures) + " failed reads reported, expected " + std::to_string(model.loop_read_failures));
  // The end of the recorded data is said once, as it ends the reading.
  size_t ends = count_said(result, " - end of the recorded data\n");
  check(v, ends <= 1, "the end of the recorded data said " + std::to_string(ends) + " times");
}
