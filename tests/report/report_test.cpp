// SPDX-License-Identifier: MIT
// The transfer report's three files as text: the JSON object (escaping, the
// fields, the events), the sha256 list (its form, and that a changed byte
// is caught) and the page (well-formed and whole without a network).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "report/bag.h"
#include "report/checksums.h"
#include "report/text.h"
#include "report/transfer_report.h"
#include "tests/support/e2e/json.h"
#include "tests/support/process.h"
#include "tests/support/report_schema.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(ReportJson, StringsAreEscapedAndInvalidUtf8Replaced) {
  const std::string kReplacement = "\xEF\xBF\xBD";
  struct Row {
    const char* name;
    std::string text, json;
  } rows[] = {
      {"plain", "TAPE001.wav", "\"TAPE001.wav\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"control characters", std::string("l\n\t\x01", 4), "\"l\\n\\t\\u0001\""},
      {"delete, which JSON leaves as it is", "x\x7F", "\"x\x7F\""},
      {"two-byte UTF-8 kept", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"four-byte UTF-8 kept", "\xF0\x9F\x8E\xB5", "\"\xF0\x9F\x8E\xB5\""},
      {"stray byte", "a\xFF" "b", "\"a" + kReplacement + "b\""},
      {"overlong form", "\xC0\x80", "\"" + kReplacement + kReplacement + "\""},
      {"surrogate", "\xED\xA0\x80", "\"" + kReplacement + kReplacement + kReplacement + "\""},
      {"cut off at the end, one character", "ok\xE2\x82", "\"ok" + kReplacement + "\""},
      {"empty", "", "\"\""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(json_string(row.text), row.json) << row.name;
    JsonFlat parsed;
    EXPECT_TRUE(json_flatten(row.json, &parsed)) << row.name << ": not valid JSON";
  }
}

FrameTime time_of(uint32_t code) { return FrameTime{code, 1}; }

ReportEvent event(int64_t frame, int32_t kind, int32_t flags, int32_t file) {
  ReportEvent e{};
  e.frame = frame;
  e.kind = kind;
  e.abs_time = time_of(0x00010203);
  e.program_kind = FRAME_PROGRAM_NUMBER;
  e.program = 2;
  e.flags = flags;
  e.file = file;
  e.sample_offset = file >= 0 ? 1440 : -1;
  e.reads = 1;
  e.kept = 1;
  return e;
}

// A report of a drive's reading with one program, two files, one of each event.
struct SampleReport {
  RunTally tally{};
  TransferReport report;

  SampleReport() {
    tally.damaged = 1;
    tally.unreadable = 1;
    tally.continuity_breaks = 1;
    report.mode = "KESTREL";
    report.base_name = "out/TAPE";
    report.arguments = {"/KESTREL", "TAPE", "/REPORT"};
    report.source = ReportSource{0, 4, "SONY", "SDT-9000", "1.13", "", false, {}};
    report.started = "2026-12-09T06:00:00+0000";
    report.finished = "2026-12-09T06:01:00+0000";
    report.frames = 1001;
    report.frames_read = 1000;
    report.tally = &tally;
    ProgramStretch p{};
    p.program_kind = FRAME_PROGRAM_NUMBER;
    p.program = 2;
    p.first_frame = 0;
    p.frames = 1000;
    p.abs_start = time_of(0x00000000);
    p.abs_end = time_of(0x00002809);
    p.rate = 48000;
    p.channels = 2;
    p.bits = 16;
    p.file = "out/TAPE001.wav";
    report.programs = {p};
    report.blanks = {BlankStretch{1000, 1}};
    report.file_names = {"out/TAPE001.wav"};
    report.events = {event(10, REPORT_INTERPOLATED, 0x60, 0), event(20, REPORT_UNREADABLE, 0, 0),
                     event(30, REPORT_CONTINUITY, 0, -1)};
    report.events[1].read_result = 0x04110000;
    report.events[2].expected = 0x00000101;
    report.files = {ReportFile{"out/TAPE001.wav", 1, 5760044, std::string(64, 'a'), std::string(32, 'b')},
                    ReportFile{"out/TAPE001.log", 0, -1, "", ""}};
  }
};

// A frame re-reads gave clean at the third read, the second kept.
void add_recovered(SampleReport* sample) {
  ReportEvent recovered = event(40, REPORT_RECOVERED, 0, 0);
  recovered.reads = 3;
  recovered.kept = 2;
  sample->report.recovered = {recovered};
}

TEST(ReportJson, FieldsAndEventsAreThoseOfTheRun) {
  SampleReport sample;
  add_recovered(&sample);
  JsonFlat json;
  const std::string text = report_json(sample.report);
  ASSERT_TRUE(json_flatten(text, &json)) << text;
  const std::pair<const char*, std::string> expected[] = {
      {"mode", "KESTREL"},
      {"options#", "3"},
      {"options.2", "/REPORT"},
      {"source.adapter", "0"},
      {"source.target", "4"},
      {"source.vendor", "SONY"},
      {"source.revision", "1.13"},
      {"frames_read", "1000"},
      {"frames_unreadable", "1"},
      {"frames_damaged", "1"},
      {"continuity_breaks", "1"},
      {"programs#", "1"},
      {"programs.0.file", "TAPE001.wav"},  // as it lies beside the report
      {"blank_stretches.0.first_frame", "1000"},
      {"blank_stretches.0.frames", "1"},
      {"events#", "3"},
      // Interpolated: the channels its flags name.
      {"events.0.frame", "10"},
      {"events.0.kind", "interpolated"},
      {"events.0.abs_time", "00:01:02:03"},
      {"events.0.program", "2"},
      {"events.0.channels", "LR"},
      {"events.0.flags", "0x60"},
      {"events.0.file", "TAPE001.wav"},
      {"events.0.sample_offset", "1440"},
      // Unreadable: nothing of the frame itself, the read's result word.
      {"events.1.kind", "unreadable"},
      {"events.1.program", "null"},
      {"events.1.flags", "null"},
      {"events.1.channels", "null"},
      {"events.1.read_result", "0x04110000"},
      // A continuity break in no file: the time expected.
      {"events.2.kind", "continuity"},
      {"events.2.expected", "00:00:01:01"},
      {"events.2.file", "null"},
      {"events.2.sample_offset", "null"},
      // Re-read: how often, which read was kept.
      {"recovered#", "1"},
      {"recovered.0.kind", "recovered"},
      {"recovered.0.reads", "3"},
      {"recovered.0.kept", "2"},
      {"recovered.0.clean", "true"},
      {"files#", "2"},
      {"files.0.name", "TAPE001.wav"},
      {"files.0.bytes", "5760044"},
      {"files.0.audio_md5", std::string(32, 'b')},
      {"files.1.bytes", "null"},
      {"files.1.sha256", "null"},
      {"files.1.audio_md5", "<absent>"},  // no WAV file
      {"verdict", "damaged"},
  };
  for (const auto& [path, value] : expected) {
    auto found = json.find(path);
    EXPECT_EQ(found == json.end() ? "<absent>" : found->second, value) << path;
  }
  EXPECT_EQ(transfer_report_names("TAPE").json, "TAPE.json");
}

TEST(ReportSchema, TheSampleReportConformsAndEachBreakOfTheSchemaIsFound) {
  SampleReport sample;
  add_recovered(&sample);
  sample.report.started = sample.report.finished = "2026-12-09T07:00:00+01:00";
  const std::string text = report_json(sample.report);
  auto replaced = [&text](const std::string& from, const std::string& to) {
    std::string changed = text;
    size_t at = changed.find(from);
    return at == std::string::npos ? std::string("not found: ") + from : changed.replace(at, from.size(), to);
  };
  struct Row {
    const char* name;
    std::string json;
    const char* found;  // "" : conforms
  } rows[] = {
      {"as written", text, ""},
      {"no schema_version", replaced("\"schema_version\": 1,", ""), "'schema_version' is a required property"},
      {"an unknown verdict", replaced("\"verdict\": \"damaged\"", "\"verdict\": \"fine\""), "verdict"},
      {"a break without the time expected", replaced(", \"expected\": \"00:00:01:01\"", ""), "'expected' is a required"},
      {"a checksum that is no SHA-256", replaced(std::string(64, 'a'), "a"), "sha256"},
      {"a field the schema does not know", replaced("\"mode\"", "\"extra\": 1, \"mode\""), "extra"},
  };
  TempDir dir;
  std::vector<std::string> files;
  for (size_t i = 0; i < std::size(rows); ++i) {
    files.push_back(dir.file("R" + std::to_string(i) + ".json"));
    ASSERT_TRUE(write_file(files.back(), rows[i].json));
  }
  std::string problems = report_schema_problems(files);
  ASSERT_EQ(problems.find("did not run"), std::string::npos) << problems;
  for (size_t i = 0; i < std::size(rows); ++i) {
    std::string mine;
    for (size_t at = problems.find(files[i] + ":"); at != std::string::npos; at = problems.find(files[i] + ":", at + 1))
      mine += problems.substr(at, problems.find('\n', at) - at) + "\n";
    if (*rows[i].found) EXPECT_NE(mine.find(rows[i].found), std::string::npos) << rows[i].name << ": " << mine;
    else EXPECT_EQ(mine, "") << rows[i].name;
  }
}

TEST(ReportJson, SourceAndVerdictFollowTheRun) {
  struct Row {
    const char* name;
    std::function<void(SampleReport*)> change;
    const char* path;
    const char* value;
  } rows[] = {
      {"an image names its file only", [](SampleReport* s) { s->report.source.image = "a \"b\".img"; }, "source.image",
       "a \"b\".img"},
      {"an image has no adapter", [](SampleReport* s) { s->report.source.image = "x.img"; }, "source.adapter",
       "<absent>"},
      {"an image's record names the drive that read the tape",
       [](SampleReport* s) {
         s->report.source.image = "x.img";
         s->report.source.image_made_known = true;
         s->report.source.image_made = ImageProvenance{"x.img", "SONY", "SDT-9000", "1.13", "t", "1", {"/BITTERN"}, ""};
       },
       "source.made.drive.product", "SDT-9000"},
      {"no record, no drive", [](SampleReport* s) { s->report.source.image = "x.img"; }, "source.made.drive.product",
       "<absent>"},
      {"nothing wrong is clean", [](SampleReport* s) { s->tally = RunTally{}; }, "verdict", "clean"},
      {"ended early is incomplete", [](SampleReport* s) { s->tally.ended_early = 1; }, "verdict", "incomplete"},
      {"no events is an empty list", [](SampleReport* s) { s->report.events.clear(); }, "events#", "0"},
      {"no re-reads, no list", [](SampleReport* s) { s->report.recovered.clear(); }, "recovered#", "<absent>"},
  };
  for (const Row& row : rows) {
    SampleReport sample;
    row.change(&sample);
    JsonFlat json;
    const std::string text = report_json(sample.report);
    ASSERT_TRUE(json_flatten(text, &json)) << row.name << "\n" << text;
    auto found = json.find(row.path);
    EXPECT_EQ(found == json.end() ? "<absent>" : found->second, row.value) << row.name;
  }
}

TEST(ReportSha256, ListIsInSha256sumsFormWithNamesEscaped) {
  const std::string a(64, 'a'), b(64, 'b');
  struct Row {
    const char* name;
    std::vector<ReportFile> files;
    std::string list;
  } rows[] = {
      {"two files, by their last part", {{"out/A001.wav", 1, 1, a, ""}, {"B.log", 0, 1, b, ""}},
       a + "  A001.wav\n" + b + "  B.log\n"},
      {"a file without a checksum is left out", {{"A.wav", 1, -1, "", ""}, {"B.log", 0, 1, b, ""}}, b + "  B.log\n"},
      {"a backslash", {{"a\\b.wav", 1, 1, a, ""}}, "\\" + a + "  a\\\\b.wav\n"},
      {"a line end", {{"a\nb.wav", 1, 1, a, ""}}, "\\" + a + "  a\\nb.wav\n"},
      {"a carriage return", {{"a\rb.wav", 1, 1, a, ""}}, "\\" + a + "  a\\rb.wav\n"},
      {"markup and spaces as they are", {{"x <b> y.wav", 1, 1, a, ""}}, a + "  x <b> y.wav\n"},
      {"nothing", {}, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(report_sha256_list(row.files), row.list) << row.name;
}

// A 44-byte-header WAV file of audio_bytes bytes of audio.
std::string wav_bytes(size_t audio_bytes) {
  std::string wav(44 + audio_bytes, '\0');
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) wav[at + i] = static_cast<char>(v >> (8 * i));
  };
  std::memcpy(wav.data(), "RIFF", 4);
  put32(4, static_cast<uint32_t>(36 + audio_bytes));
  std::memcpy(wav.data() + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put32(20, 1 | 2 << 16);
  put32(24, 48000);
  put32(28, 192000);
  put32(32, 4 | 16 << 16);
  std::memcpy(wav.data() + 36, "data", 4);
  put32(40, static_cast<uint32_t>(audio_bytes));
  for (size_t i = 0; i < audio_bytes; ++i) wav[44 + i] = static_cast<char>(i * 31 + 7);
  return wav;
}

// The checksums of a finished file, checked by sha256sum: a byte changed
// afterwards is caught, in the header (the audio MD5 stays) or in the audio.
TEST(ReportSha256, AChangedByteIsCaught) {
  struct Row {
    const char* name;
    size_t at;  // the byte changed after the checksums
    bool audio_md5_changes;
  } rows[] = {
      {"a byte of the header (the byte rate)", 28, false},
      {"the first byte of the audio", 44, true},
      {"the last byte of the audio", 44 + 5759, true},
  };
  for (const Row& row : rows) {
    TempDir dir;
    const std::string path = dir.file("T001.wav");
    ASSERT_TRUE(write_file(path, wav_bytes(5760)));
    ReportFile before{path, 1, 0, "", ""};
    ASSERT_EQ(checksum_file(&before), 0) << row.name;
    EXPECT_EQ(before.bytes, 44 + 5760);
    ASSERT_TRUE(write_file(dir.file("T.sha256"), report_sha256_list({before})));
    ProcessOptions in_dir;
    in_dir.cwd = dir.path();
    ProcessResult check = run_process("/usr/bin/sha256sum", {"-c", "T.sha256"}, in_dir);
    EXPECT_EQ(check.exit_code, 0) << row.name << ": " << check.out << check.err;

    std::string bytes = read_file(path);
    bytes[row.at] = static_cast<char>(bytes[row.at] ^ 0x01);
    ASSERT_TRUE(write_file(path, bytes));
    check = run_process("/usr/bin/sha256sum", {"-c", "T.sha256"}, in_dir);
    EXPECT_NE(check.exit_code, 0) << row.name;
    EXPECT_NE(check.out.find("T001.wav: FAILED"), std::string::npos) << row.name << ": " << check.out;
    ReportFile after{path, 1, 0, "", ""};
    ASSERT_EQ(checksum_file(&after), 0);
    EXPECT_NE(after.sha256, before.sha256) << row.name;
    EXPECT_EQ(after.audio_md5 != before.audio_md5, row.audio_md5_changes) << row.name;
  }
  ReportFile missing{"/nonexistent/T001.wav", 1, 0, "", ""};
  EXPECT_EQ(checksum_file(&missing), -1);
}

// A file listed with the MD5 its writer took keeps it: the audio is not
// hashed again (a value no hash of this audio gives shows it), the SHA-256
// of the file is taken as for any other.
TEST(ReportSha256, AnAudioMd5GivenWithTheFileIsTakenAsItIs) {
  TempDir dir;
  const std::string path = dir.file("T001.wav");
  ASSERT_TRUE(write_file(path, wav_bytes(5760)));
  ReportFile computed{path, 1, 0, "", ""}, given{path, 1, 0, "", std::string(32, 'c')};
  ASSERT_EQ(checksum_file(&computed), 0);
  ASSERT_EQ(checksum_file(&given), 0);
  EXPECT_EQ(given.audio_md5, std::string(32, 'c'));
  EXPECT_NE(computed.audio_md5, given.audio_md5);
  EXPECT_EQ(given.sha256, computed.sha256);
  EXPECT_EQ(given.bytes, computed.bytes);
}

// Why the page is not well-formed: an element closed that is not open, one
// left open, a tag cut off; "" when it is.
std::string markup_fault(const std::string& page) {
  static const char* const kVoid[] = {"meta", "br", "hr", "img", "input", "link", "col", "wbr"};
  std::vector<std::string> open;
  size_t at = 0;
  while ((at = page.find('<', at)) != std::string::npos) {
    size_t end = page.find('>', at);
    if (end == std::string::npos) return "a tag without its end at " + std::to_string(at);
    std::string tag = page.substr(at + 1, end - at - 1);
    at = end + 1;
    if (tag.rfind("!DOCTYPE", 0) == 0 || tag.back() == '/') continue;
    bool closing = tag[0] == '/';
    std::string name = tag.substr(closing ? 1 : 0);
    name = name.substr(0, name.find_first_of(" \n"));
    if (closing) {
      if (open.empty() || open.back() != name) return "</" + name + "> where " + (open.empty() ? "" : open.back()) + " is open";
      open.pop_back();
      continue;
    }
    bool is_void = false;
    for (const char* v : kVoid) is_void = is_void || name == v;
    if (!is_void) open.push_back(name);
    if (name == "style") {  // its text holds no tags
      at = page.find("</style>", at);
      if (at == std::string::npos) return "<style> not closed";
    }
  }
  return open.empty() ? "" : "<" + open.back() + "> not closed";
}

// What of the page would need the network: a link, a source, an import.
// The SVG namespace's name is an identifier, never fetched: it is left aside.
std::string external_reference(std::string page) {
  const std::string kSvgNamespace = " xmlns=\"http://www.w3.org/2000/svg\"";
  for (size_t at; (at = page.find(kSvgNamespace)) != std::string::npos;) page.erase(at, kSvgNamespace.size());
  for (const char* needle : {"http:", "https:", "//", "src=", "href=", "@import", "url("}) {
    size_t at = page.find(needle);
    if (at != std::string::npos) return std::string(needle) + " at " + std::to_string(at);
  }
  return "";
}

TEST(ReportPage, IsWellFormedWholeOfflineAndEscaped) {
  struct Row {
    const char* name;
    std::function<void(SampleReport*)> change;
    std::vector<std::string> shown;  // texts the page must hold
  } rows[] = {
      {"a drive's reading", [](SampleReport*) {}, {"SONY", "damaged", "TAPE001.wav", "0x60", "00:01:02:03"}},
      {"no problem frames", [](SampleReport* s) { s->report.events.clear(); }, {"<p>None.</p>"}},
      {"an image", [](SampleReport* s) { s->report.source.image = "x.img"; }, {"x.img"}},
      {"markup in the names",
       [](SampleReport* s) {
         s->report.base_name = "x<b>\"&";
         s->report.arguments = {"/KESTREL", "<script>x</script>"};
         s->report.files[0].name = "out/a<b>'.wav";
         s->report.file_names[0] = "<i>.wav";
       },
       {"x&lt;b&gt;&quot;&amp;", "&lt;script&gt;x&lt;/script&gt;", "a&lt;b&gt;&#39;.wav", "&lt;i&gt;.wav"}},
      {"more problem frames than the page lists",
       [](SampleReport* s) {
         s->report.events.assign(501, event(5, REPORT_INTERPOLATED, 0x40, 0));
       },
       {"The first 500 of 501"}},
  };
  for (const Row& row : rows) {
    SampleReport sample;
    row.change(&sample);
    const std::string page = report_html(sample.report);
    EXPECT_EQ(markup_fault(page), "") << row.name;
    EXPECT_EQ(external_reference(page), "") << row.name;
    EXPECT_EQ(page.find("<script"), std::string::npos) << row.name;
    EXPECT_EQ(page.find("<b>"), std::string::npos) << row.name;
    for (const std::string& text : row.shown) EXPECT_NE(page.find(text), std::string::npos) << row.name << ": " << text;
  }
  // The checker itself: each fault is seen.
  EXPECT_NE(markup_fault("<p><b>x</p></b>"), "");
  EXPECT_NE(markup_fault("<table><tr><td>x</td></tr>"), "");
  EXPECT_NE(external_reference("<img src=\"https://example.org/a.png\">"), "");
}

TEST(ReportBag, AStepThatFailsTakesTheBagApartAndManifestPathsAreEncoded) {
  EXPECT_EQ(bag_manifest_path("data/a%b\nc\rd.wav"), "data/a%25b%0Ac%0Dd.wav");
  // The second file vanished before the bag: the first goes back where it
  // was, the report's file too, and no folder is left.
  TempDir dir;
  const std::string kept = dir.file("T001.wav"), gone = dir.file("T002.wav"), json = dir.file("T.json");
  ASSERT_TRUE(write_file(kept, "audio") && write_file(json, "{}"));
  TransferReport r;
  r.base_name = dir.file("T");
  r.finished = "2026-12-09T07:00:00+00:00";
  r.files = {ReportFile{kept, 1, 5, std::string(64, 'a'), ""}, ReportFile{gone, 1, 5, std::string(64, 'b'), ""}};
  ReportSummary summary{};
  summary.verdict = "clean";
  summary.report_files = {ReportFile{json, 0, 2, std::string(64, 'c'), ""}};
  BagSummary bag{};
  ReportFailure failure{};
  EXPECT_EQ(transfer_report_bag(&r, summary, "kestrel", &bag, &failure), -1);
  EXPECT_EQ(failure.file, gone);
  EXPECT_EQ(failure.error, ENOENT);
  EXPECT_EQ(read_file(kept), "audio");
  EXPECT_EQ(read_file(json), "{}");
  EXPECT_FALSE(file_exists(dir.file("T")));
}

}  // namespace
