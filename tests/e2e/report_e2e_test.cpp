// SPDX-License-Identifier: MIT
// /REPORT end to end: composed cassettes read with the transfer report, its
// JSON compared field by field, its checksums checked with sha256sum.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "base/dat_format.h"
#include "platform/digest.h"
#include "tests/support/bytes.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/json.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// The absolute time of the frame count frames into the tape, as the report writes it.
std::string at(uint32_t frames) { return tape_time_text(frames); }

const int kSamples48k = DAT_AUDIO_BYTES / 4;  // sample frames of a 48 kHz frame

struct ReportCase {
  std::string name;
  std::function<Tape()> tape;
  std::vector<std::string> args;
  BusKeys drive_keys;
  std::string stdin_data;
  std::vector<std::pair<std::string, std::string>> expected;  // JSON paths and values
  long long size_limit = -1;  // the largest file the run may write
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

struct ReportRun : TapeRun {
  ProcessResult result;
  JsonFlat json;
  bool parsed = false;

  ReportRun(const Tape& tape, std::vector<std::string> args, const BusKeys& drive_keys, const std::string& stdin_data,
            long long size_limit = -1) {
    ProcessOptions options;
    options.stdin_data = stdin_data;
    options.file_size_limit = size_limit;
    result = run(tape, std::move(args), drive_keys, options);
    parsed = json_flatten(read("TAPE.json"), &json);
  }
  std::string at(const std::string& path) const {
    auto found = json.find(path);
    return found == json.end() ? "<absent>" : found->second;
  }
  ProcessResult sha256sum() const {
    ProcessOptions options;
    options.cwd = dir.path();
    return run_process("/usr/bin/sha256sum", {"-c", "TAPE.sha256"}, options);
  }
};

class ReportTest : public testing::TestWithParam<ReportCase> {};

// The exit code of a run with this verdict.
int exit_code_of(const std::string& verdict) { return verdict == "clean" ? 0 : verdict == "damaged" ? 5 : 6; }

TEST_P(ReportTest, JsonSaysWhatTheTapeHeldAndWhereEveryProblemFrameWent) {
  const ReportCase& c = GetParam();
  Tape tape = c.tape();
  std::vector<std::string> args = c.args;
  args.push_back("/REPORT");
  ReportRun run(tape, args, c.drive_keys, c.stdin_data, c.size_limit);
  ASSERT_TRUE(run.parsed) << run.result.out;
  // The exit code agrees with the verdict, and is the same without /REPORT.
  EXPECT_EQ(run.result.exit_code, exit_code_of(run.at("verdict"))) << run.result.out;
  ReportRun plain(tape, c.args, c.drive_keys, c.stdin_data, c.size_limit);
  EXPECT_EQ(plain.result.exit_code, run.result.exit_code) << plain.result.out;
  EXPECT_FALSE(plain.parsed);
  for (const auto& [path, value] : c.expected) EXPECT_EQ(run.at(path), value) << path;
  // Every event is listed in the expected rows.
  size_t events = std::stoul(run.at("events#"));
  size_t expected_events = 0;
  for (const auto& [path, value] : c.expected)
    if (path.rfind("events.", 0) == 0 && path.size() > 12 && path.substr(path.size() - 5) == ".kind") ++expected_events;
  EXPECT_EQ(events, expected_events);
  // The concealed samples are those the track logs count.
  long long concealed = 0, fixed = 0;
  for (size_t i = 0; i < events; ++i) concealed += std::stoll(run.at("events." + std::to_string(i) + ".concealed"));
  for (size_t i = 0; i < std::stoul(run.at("files#")); ++i) {
    std::string log = read_file(run.dir.file(run.at("files." + std::to_string(i) + ".name")));
    size_t total = log.find("total samples fixed: ");
    if (total != std::string::npos) fixed += std::stoll(log.substr(total + 21));
  }
  EXPECT_EQ(concealed, fixed);
  // The audio MD5 of every WAV file is of the audio it holds.
  for (size_t i = 0; i < std::stoul(run.at("files#")); ++i) {
    std::string f = "files." + std::to_string(i) + ".";
    if (run.at(f + "audio_md5") == "<absent>") continue;
    std::string audio = read_wav(run.dir.file(run.at(f + "name"))).data;
    char hex[33] = "";
    Digest* md5 = digest_begin(DIGEST_MD5);
    digest_add(md5, audio.data(), audio.size());
    ASSERT_EQ(digest_end(md5, nullptr, hex), 0);
    EXPECT_EQ(run.at(f + "audio_md5"), hex) << run.at(f + "name");
  }
  EXPECT_NE(run.result.out.find(" - verdict: " + run.at("verdict") + "\n"), std::string::npos) << run.result.out;
  EXPECT_NE(run.result.out.find(" - report: TAPE.json, TAPE.sha256, TAPE.html\n"), std::string::npos);
  ProcessResult check = run.sha256sum();
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
}

Tape formats() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 0, .scms = 2}, 100);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1, .start_id_frames = 20}, 400);
  tape_record(&tape, Recording{.program = 3, .rate_code = 2}, 350);
  tape_record(&tape, Recording{.program = 4, .long_play = true}, 120);
  tape_blank(&tape, 70);
  return tape;
}

// Flags on the left, the right and both channels at frames 100, 200, 300, and
// one the drive flags without naming a channel at 400.
Tape flagged() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 600);
  tape_flag(&tape, 100, 0x40);
  tape_flag(&tape, 200, 0x20);
  tape_flag(&tape, 300, 0x60);
  tape_flag(&tape, 400, 0x80);
  return tape;
}

std::vector<std::pair<std::string, std::string>> flagged_rows(bool repaired) {
  std::vector<std::pair<std::string, std::string>> rows = {{"frames_damaged", "4"}, {"verdict", "damaged"},
                                                           {"programs.0.damaged_frames", "4"}};
  const char* channels[] = {"L", "R", "LR", "null"};
  const char* flags[] = {"0x40", "0x20", "0x60", "0x80"};
  for (int i = 0; i < 4; ++i) {
    std::string e = "events." + std::to_string(i) + ".";
    rows.insert(rows.end(), {{e + "frame", std::to_string(100 * (i + 1))},
                             {e + "kind", "interpolated"},
                             {e + "abs_time", at(100 * (i + 1))},
                             {e + "program", "1"},
                             {e + "channels", channels[i]},
                             {e + "flags", flags[i]},
                             {e + "file", "TAPE001.wav"},
                             {e + "sample_offset", std::to_string(100 * (i + 1) * kSamples48k)}});
    if (!repaired || i == 3) rows.push_back({e + "concealed", "0"});
  }
  return rows;
}


std::vector<std::pair<std::string, std::string>> out_of_order_rows() {
  std::vector<std::pair<std::string, std::string>> rows = {{"frames_read", "601"}, {"continuity_breaks", "3"},
                                                           {"frames_damaged", "0"}, {"verdict", "damaged"},
                                                           {"programs#", "1"}, {"programs.0.frames", "601"}};
  struct Break {
    int frame, expected, found;
  };
  const Break breaks[] = {{101, 101, 100}, {202, 201, 500}, {302, 300, 301}};
  for (int i = 0; i < 3; ++i) {
    std::string e = "events." + std::to_string(i) + ".";
    rows.insert(rows.end(), {{e + "frame", std::to_string(breaks[i].frame)},
                             {e + "kind", "continuity"},
                             {e + "abs_time", at(static_cast<uint32_t>(breaks[i].found))},
                             {e + "expected", at(static_cast<uint32_t>(breaks[i].expected))},
                             {e + "sample_offset", std::to_string(breaks[i].frame * kSamples48k)}});
  }
  return rows;
}

Tape three_programs() {
  Tape tape;
  for (int p = 1; p <= 3; ++p) tape_record(&tape, Recording{.program = p, .start_id_frames = 20}, 400);
  tape_flag(&tape, 150, 0x40);
  tape_flag(&tape, 550, 0x20);
  tape_blank(&tape, 70);
  return tape;
}

Tape short_program() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 100);
  return tape;
}

// A program of 150 frames at a DC offset (1000 left, -500 right) with
// silence from frame 40 to 109, a clipped run of 5 samples on the left in
// frame 120, 2 samples at full scale on the right in frame 130 (too short),
// and a run of 4 on the right across frames 139 and 140.
Tape levels() {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 150);
  for (size_t i = 0; i < 150; ++i)
    for (int s = 0; s < kSamples48k; ++s) {
      bool silent = i >= 40 && i < 110;
      int16_t l = silent ? 0 : 1000, r = silent ? 0 : -500;
      if (i == 120 && s >= 100 && s < 105) l = 32767;
      if ((i == 130 && (s == 10 || s == 11)) || (i == 139 && s >= kSamples48k - 2) || (i == 140 && s < 2)) r = -32768;
      std::memcpy(tape.frames[i].audio + 4 * s, &l, 2);
      std::memcpy(tape.frames[i].audio + 4 * s + 2, &r, 2);
    }
  return tape;
}

// The DC offset of a channel as the report writes it: the mean over the
// sample frames as a fraction of full scale, to six places.
std::string dc_text(double sum, double samples) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", sum / samples / 32768);
  std::string t = text;
  while (t.back() == '0') t.pop_back();
  return t;
}

// The unreadable frame 60 is in no silence: of the silence around it only
// the 49 frames after it last a second. It is in no mean either.
std::vector<std::pair<std::string, std::string>> levels_rows() {
  const double samples = 149.0 * kSamples48k, loud = 80.0 * kSamples48k;
  const std::string l = "programs.0.levels.";
  return {{l + "samples", std::to_string(149 * kSamples48k)},
          {l + "sample_peak_dbfs.0", "0.0"}, {l + "sample_peak_dbfs.1", "0.0"},
          {l + "dc_offset.0", dc_text(1000 * (loud - 5) + 32767.0 * 5, samples)},
          {l + "dc_offset.1", dc_text(-500 * (loud - 6) - 32768.0 * 6, samples)},
          {l + "clipped_runs", "2"}, {l + "clips#", "2"},
          {l + "clips.0.first_frame", "120"}, {l + "clips.0.abs_time", at(120)}, {l + "clips.0.channel", "L"},
          {l + "clips.0.sample_offset", std::to_string(120 * kSamples48k + 100)}, {l + "clips.0.samples", "5"},
          {l + "clips.1.first_frame", "139"}, {l + "clips.1.channel", "R"},
          {l + "clips.1.sample_offset", std::to_string(140 * kSamples48k - 2)}, {l + "clips.1.samples", "4"},
          {l + "silences", "1"}, {l + "silence#", "1"}, {l + "silence.0.first_frame", "61"},
          {l + "silence.0.abs_time", at(61)}, {l + "silence.0.sample_offset", std::to_string(61 * kSamples48k)},
          {l + "silence.0.samples", std::to_string(49 * kSamples48k)}, {l + "loudness", "<absent>"},
          {"events.0.frame", "60"}, {"events.0.kind", "unreadable"}, {"verdict", "damaged"}};
}

const ReportCase kCases[] = {
    {"ThreeRatesAndLongPlay", formats, {"/KESTREL", "TAPE"}, {}, "",
     {{"kestrel", "1.3b"}, {"mode", "KESTREL"}, {"source.adapter", "0"}, {"source.target", "4"},
      {"source.vendor", "SONY"}, {"source.product", "SDT-9000"}, {"source.revision", "1.13"},
      {"options.0", "/KESTREL"}, {"options.1", "TAPE"}, {"options.2", "/REPORT"},
      {"frames_read", "1032"}, {"frames_unreadable", "0"}, {"frames_damaged", "0"}, {"continuity_breaks", "0"},
      {"programs#", "4"}, {"verdict", "clean"},
      {"programs.0.number", "1"}, {"programs.0.first_frame", "0"}, {"programs.0.frames", "100"},
      {"programs.0.abs_start", at(0)}, {"programs.0.abs_end", at(99)}, {"programs.0.rate", "48000"},
      {"programs.0.channels", "2"}, {"programs.0.bits", "16"}, {"programs.0.emphasis", "none"},
      {"programs.0.scms", "10"}, {"programs.0.date", "null"}, {"programs.0.start_id_frames", "0"},
      {"programs.0.file", "TAPE001.wav"},
      {"programs.1.number", "2"}, {"programs.1.first_frame", "100"}, {"programs.1.frames", "400"},
      {"programs.1.abs_start", at(100)}, {"programs.1.abs_end", at(499)}, {"programs.1.rate", "44100"},
      {"programs.1.start_id_frames", "20"}, {"programs.1.file", "TAPE002.wav"},
      {"programs.2.rate", "32000"}, {"programs.2.bits", "16"}, {"programs.2.frames", "350"},
      {"programs.2.file", "TAPE003.wav"},
      {"programs.3.number", "4"}, {"programs.3.first_frame", "850"}, {"programs.3.frames", "120"},
      {"programs.3.rate", "32000"}, {"programs.3.bits", "12"}, {"programs.3.abs_end", at(969)},
      {"programs.3.file", "TAPE003.wav"},
      {"blank_stretches.0.first_frame", "970"}, {"blank_stretches.0.frames", "62"},
      {"files#", "8"}, {"files.0.name", "TAPE001.wav"}, {"files.0.bytes", std::to_string(44 + 100 * 5760)},
      {"files.1.name", "TAPE001.log"}, {"files.5.name", "TAPE003.log"}}},
    {"LevelsOfAProgram", levels, {"/KESTREL", "TAPE", "/STOPEOT"}, {{"read_errors", "60"}}, "", levels_rows()},
    {"FlagsOnEachChannel", flagged, {"/KESTREL", "TAPE"}, {}, "", flagged_rows(false)},
    {"FlagsOnEachChannelRepaired", flagged, {"/KESTREL", "TAPE", "/ERRORCORRECT"}, {}, "", flagged_rows(true)},
    {"UnreadableFramesReadOn", short_program, {"/KESTREL", "TAPE", "/STOPEOT"}, {{"read_errors", "50 70"}}, "",
     {{"frames_read", "98"}, {"frames_unreadable", "2"}, {"continuity_breaks", "0"}, {"verdict", "damaged"},
      {"programs#", "1"}, {"programs.0.frames", "100"},
      {"events.0.frame", "50"}, {"events.0.kind", "unreadable"}, {"events.0.file", "TAPE001.wav"},
      {"events.0.sample_offset", std::to_string(50 * kSamples48k)}, {"events.0.abs_time", "null"},
      {"events.1.frame", "70"}, {"events.1.kind", "unreadable"},
      {"events.1.sample_offset", std::to_string(70 * kSamples48k)}, {"files.0.bytes", std::to_string(44 + 100 * 5760)}}},
    {"UnreadableFrameEndsTheRun", short_program, {"/KESTREL", "TAPE"}, {{"read_errors", "50"}}, "",
     {{"frames_read", "50"}, {"frames_unreadable", "1"}, {"verdict", "incomplete"},
      {"events.0.frame", "50"}, {"events.0.kind", "unreadable"}, {"events.0.file", "TAPE001.wav"},
      {"events.0.sample_offset", std::to_string(50 * kSamples48k)}}},
    // A drive that stops answering: the frame that did not come is the last
    // event, at the end of the file.
    {"LostPlaceIsTheLastEvent", short_program, {"/KESTREL", "TAPE", "/STOPEOT"}, {{"hang_at", "51"}}, "",
     {{"frames_read", "50"}, {"frames_unreadable", "1"}, {"verdict", "incomplete"}, {"events#", "1"},
      {"events.0.frame", "50"}, {"events.0.kind", "unreadable"}, {"events.0.file", "TAPE001.wav"},
      {"events.0.sample_offset", std::to_string(50 * kSamples48k)}, {"files.0.bytes", std::to_string(44 + 50 * 5760)}}},
    // The dump reads on and keeps a stand-in at the place of each: frames
    // that could not be read, in the program around them, none damaged.
    {"DumpKeepsStandInsOfUnreadableFrames", short_program, {"/BITTERN", "TAPE", "/STOPEOT"},
     {{"read_errors", "50 70"}}, "",
     {{"mode", "BITTERN"}, {"frames_read", "98"}, {"frames_unreadable", "2"}, {"frames_damaged", "0"},
      {"continuity_breaks", "0"}, {"verdict", "damaged"}, {"programs#", "1"}, {"programs.0.frames", "100"},
      {"programs.0.damaged_frames", "0"}, {"events.0.frame", "50"}, {"events.0.kind", "unreadable"},
      {"events.1.frame", "70"}, {"events.1.kind", "unreadable"}, {"files.0.name", "TAPE.img"},
      {"files.0.bytes", std::to_string(100 * DAT_FRAME_BYTES)}}},
    {"DumpEndsAtAnUnreadableFrameWithoutStopEot", short_program, {"/BITTERN", "TAPE"}, {{"read_errors", "50"}}, "",
     {{"frames_read", "50"}, {"frames_unreadable", "1"}, {"verdict", "incomplete"}, {"events.0.frame", "50"},
      {"events.0.kind", "unreadable"}, {"files.0.bytes", std::to_string(50 * DAT_FRAME_BYTES)}}},
    {"RepeatedSkippedAndStrayFrames", tape_out_of_order, {"/KESTREL", "TAPE"}, {}, "", out_of_order_rows()},
    {"StartIdSplitsRestartSampleOffsets", three_programs, {"/KESTREL", "TAPE", "/STARTID"}, {}, "",
     {{"programs#", "3"}, {"programs.1.file", "TAPE002.wav"}, {"programs.2.frames", "400"},
      {"events.0.frame", "150"}, {"events.0.file", "TAPE001.wav"},
      {"events.0.sample_offset", std::to_string(150 * kSamples48k)}, {"events.0.kind", "interpolated"},
      {"events.1.frame", "550"}, {"events.1.file", "TAPE002.wav"},
      {"events.1.sample_offset", std::to_string(150 * kSamples48k)}, {"events.1.kind", "interpolated"},
      {"files#", "6"}, {"verdict", "damaged"}}},
    {"EscEndsTheRunIncomplete", three_programs, {"/KESTREL", "TAPE"}, {}, "\x1b",
     // The frame read after the first is not written.
     {{"frames_read", "2"}, {"verdict", "incomplete"}, {"files#", "2"}, {"programs.0.file", "TAPE001.wav"},
      {"programs.1.file", "null"}}},
    // A write that fails: the WAV file is listed as it was left, and its
    // checksum is of what it holds.
    {"FailedWrite", short_program, {"/KESTREL", "TAPE"}, {}, "",
     {{"verdict", "incomplete"}, {"files.0.name", "TAPE001.wav"}, {"files.0.bytes", std::to_string(44 + (100000 - 44) / 4 * 4)}},
     100000},
};

INSTANTIATE_TEST_SUITE_P(Report, ReportTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<ReportCase>& info) { return info.param.name; });

TEST(Report, ChecksumsCatchAChangedByteAndTheFramesAreWrittenAsTheyCame) {
  Tape tape = tape_out_of_order();
  ReportRun run(tape, {"/KESTREL", "TAPE", "/REPORT"}, {}, "");
  ASSERT_EQ(run.result.exit_code, 5) << run.result.out;  // three continuity breaks
  EXPECT_TRUE(same_bytes(read_wav(run.dir.file("TAPE001.wav")).data, tape_pcm(tape, 0, tape.frames.size())));
  EXPECT_EQ(run.sha256sum().exit_code, 0);
  std::string wav = read_file(run.dir.file("TAPE001.wav"));
  wav[1000] = static_cast<char>(wav[1000] ^ 1);
  ASSERT_TRUE(write_file(run.dir.file("TAPE001.wav"), wav));
  ProcessResult check = run.sha256sum();
  EXPECT_NE(check.exit_code, 0);
  EXPECT_NE(check.out.find("TAPE001.wav: FAILED"), std::string::npos) << check.out;
}

TEST(Report, NamesFromTheCommandLineAreEscapedInEveryFile) {
  // A backslash, markup and a quote in the name: sha256sum's escaped form,
  // JSON's escapes, HTML's entities.
  TapeRun t;
  ProcessResult r = t.run(short_program(), {"/KESTREL", "x<b>\\\"&", "/REPORT"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const std::string name = "X<B>\\\"&";
  JsonFlat json;
  ASSERT_TRUE(json_flatten(read_file(t.path(name + ".json")), &json));
  EXPECT_EQ(json["files.0.name"], name + "001.wav");
  EXPECT_EQ(json["options.1"], "x<b>\\\"&");
  std::string page = read_file(t.path(name + ".html"));
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_NE(page.find("X&lt;B&gt;\\&quot;&amp;001.wav"), std::string::npos);
  ProcessOptions in_dir;
  in_dir.cwd = t.dir.path();
  ProcessResult check = run_process("/usr/bin/sha256sum", {"-c", name + ".sha256"}, in_dir);
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
}

TEST(Report, AReportThatCannotBeWrittenFailsTheRunAndKeepsTheFiles) {
  Tape tape = short_program();
  TapeRun t;
  ASSERT_EQ(mkdir(t.path("TAPE.json").c_str(), 0755), 0);  // the name is taken by a folder
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/REPORT"});
  EXPECT_EQ(r.exit_code, 6) << r.out;
  EXPECT_NE(r.out.find("The transfer report could not be written:\nwrite to TAPE.json failed: Is a directory\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(same_bytes(read_wav(t.path("TAPE001.wav")).data, tape_pcm(tape, 0, 100)));
  EXPECT_FALSE(file_exists(t.path("TAPE.sha256")));

  // Without /REPORT nothing of it is there.
  TapeRun plain;
  r = plain.run(tape, {"/KESTREL", "TAPE"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.find("Transfer report"), std::string::npos);
  EXPECT_FALSE(file_exists(plain.path("TAPE.json")) || file_exists(plain.path("TAPE.html")) ||
               file_exists(plain.path("TAPE.sha256")));
}

}  // namespace

namespace {

// How often needle stands in text between the first begin and the end after it.
size_t count_in(const std::string& text, const std::string& begin, const std::string& end, const std::string& needle) {
  size_t from = text.find(begin);
  if (from == std::string::npos) return 0;
  size_t to = text.find(end, from);
  size_t count = 0;
  for (size_t at = text.find(needle, from); at != std::string::npos && at < to; at = text.find(needle, at + 1))
    ++count;
  return count;
}

TEST(Report, PageShowsTheProgramsAndTheDamageInABrowser) {
  const char* chromium = "/usr/bin/chromium";
  if (!file_exists(chromium)) GTEST_SKIP() << "no chromium to render the page";
  // Three programs, a blank stretch, frames flagged on L, R and both, an
  // unreadable frame and a frame out of order.
  Tape tape = three_programs();
  tape_flag(&tape, 900, 0x60);
  DatFrame repeat = tape.frames[1000];
  tape.frames.insert(tape.frames.begin() + 1001, repeat);
  ReportRun run(tape, {"/KESTREL", "TAPE", "/STARTID", "/STOPEOT", "/REPORT"}, {{"read_errors", "700"}}, "");
  ASSERT_TRUE(run.parsed) << run.result.out;
  ProcessOptions options;
  options.timeout_s = 120;
  ProcessResult page = run_process(chromium,
                                   {"--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + run.dir.file("profile"),
                                    "--dump-dom", "file://" + run.dir.file("TAPE.html")},
                                   options);
  ASSERT_EQ(page.exit_code, 0) << page.err;
  const std::string& dom = page.out;
  EXPECT_NE(dom.find("<p id=\"verdict\" class=\"verdict verdict-damaged\">damaged</p>"), std::string::npos) << dom;
  size_t programs = std::stoul(run.at("programs#"));
  EXPECT_EQ(programs, 3u);
  EXPECT_EQ(count_in(dom, "<table id=\"programs\">", "</table>", "<tr>"), programs + 1);  // and the head
  EXPECT_EQ(count_in(dom, "<svg id=\"tape-map\"", "</svg>", "class=\"band "), programs);
  EXPECT_EQ(count_in(dom, "<svg id=\"tape-map\"", "</svg>", "class=\"blank\""), 1u);
  // L: frames 150 and 900 and the unreadable one; R: 550, 900 and the unreadable one.
  EXPECT_EQ(count_in(dom, "<svg id=\"tape-map\"", "</svg>", "class=\"tick tick-l"), 3u);
  EXPECT_EQ(count_in(dom, "<svg id=\"tape-map\"", "</svg>", "class=\"tick tick-r"), 3u);
  EXPECT_EQ(count_in(dom, "<svg id=\"tape-map\"", "</svg>", "class=\"tick tick-l unreadable"), 1u);
  EXPECT_EQ(count_in(dom, "<svg id=\"tape-map\"", "</svg>", "class=\"break\""), 1u);
  EXPECT_GE(count_in(dom, "<g class=\"axis\">", "</g>", "<text"), 2u);
  // The level lane: one path, a bar for each pixel column the programs fill
  // (the blank stretch has none); the table gives each program's levels.
  EXPECT_EQ(count_in(dom, "<svg id=\"tape-map\"", "</svg>", "<path class=\"level\""), 1u);
  // Its bars are lines: drawn only with a stroke (a path's default is a fill and no stroke).
  EXPECT_NE(dom.find(".level{fill:none;stroke:#"), std::string::npos);
  size_t bars = count_in(dom, "<path class=\"level\"", "</path>", "v-");
  EXPECT_GT(bars, 850u);
  EXPECT_LT(bars, 920u);
  EXPECT_EQ(count_in(dom, "<table id=\"programs\">", "</table>", " dBFS</td>"), programs);

  // A rescue pass's page: one lane per pass, each frame a pass read damaged
  // marked by whose the damage is. The dump misread 300 and could not read
  // 700, the rescue read both (the drive's); 150, 550, 900 are flagged on the tape.
  ProcessResult r = run.run(tape, {"/BITTERN", "IMG", "/STOPEOT"}, {{"flaky", "300:1"}, {"read_errors", "700"}});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  r = run.run(tape, {"/RESCUE", "IMG", "/REPORT"});
  ASSERT_EQ(r.exit_code, 5) << r.out;
  page = run_process(chromium,
                     {"--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + run.dir.file("profile"),
                      "--dump-dom", "file://" + run.dir.file("IMG-pass2.html")},
                     options);
  ASSERT_EQ(page.exit_code, 0) << page.err;
  EXPECT_EQ(count_in(page.out, "<svg id=\"tape-map\"", "</svg>", "<g class=\"pass\""), 2u);
  EXPECT_EQ(count_in(page.out, "<svg id=\"tape-map\"", "</svg>", "class=\"level\""), 0u);  // no audio measured
  EXPECT_EQ(count_in(page.out, "id=\"pass-1\">", "</g>", "whose-tape"), 3u);
  EXPECT_EQ(count_in(page.out, "id=\"pass-1\">", "</g>", "whose-drive"), 2u);
  EXPECT_EQ(count_in(page.out, "id=\"pass-2\">", "</g>", "whose-tape"), 3u);
  EXPECT_EQ(count_in(page.out, "id=\"pass-2\">", "</g>", "whose-drive"), 0u);
}

}  // namespace
