// SPDX-License-Identifier: MIT
// /KESTREL /BWF, /FLAC and /DEEMPHASIS end to end: the files read back with
// ffprobe, mediainfo and flac, the markers against the composed tape.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "datframe/frame_build.h"
#include "tests/support/bytes.h"
#include "tests/support/e2e/archival_files.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/e2e/json.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/e2e/tape_run.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

// The tags ffprobe shows of a file's container, name to value.
std::map<std::string, std::string> ffprobe_tags(const std::string& path) {
  ProcessResult r = run_process("/usr/bin/ffprobe", {"-v", "error", "-show_entries", "format_tags", "-of", "default=nw=1", path});
  std::map<std::string, std::string> tags;
  std::istringstream lines(r.out);
  std::string line, last;
  while (std::getline(lines, line)) {
    if (line.rfind("TAG:", 0) == 0) {
      size_t eq = line.find('=');
      last = line.substr(4, eq - 4);
      tags[last] = line.substr(eq + 1);
    } else if (!last.empty()) {
      tags[last] += "\n" + line;  // a value of several lines (the coding history)
    }
  }
  return tags;
}

// Two programs after a lead-in stretch: a date pack from frame 5 on, the
// absolute time running from frame 1000, damaged frames in program 2.
Tape archival_tape() {
  Tape tape;
  tape.absolute_frames = 1000;
  tape_record(&tape, Recording{.program = 1, .start_id_frames = 20}, 400);
  tape_record(&tape, Recording{.program = 2, .start_id_frames = 20}, 400);
  tape_blank(&tape, 70);
  FrameDate date{3, 94, 5, 17, 13, 45, 30};
  for (size_t i = 5; i < 800; ++i) frame_set_date_pack(&tape.frames[i], 5, &date);
  tape_flag(&tape, 450, 0x40);
  tape_flag(&tape, 500, 0x20);
  tape_flag(&tape, 620, 0x60);
  return tape;
}

TEST(Archival, BroadcastWavCarriesTheTapesMetadataMarkersAndMd5) {
  Tape tape = archival_tape();
  TapeRun plain, bwf;
  ASSERT_EQ(plain.run(tape, {"/KESTREL", "TAPE"}).exit_code, 5);  // three flagged frames
  ProcessResult r = bwf.run(tape, {"/KESTREL", "TAPE", "/BWF"});
  ASSERT_EQ(r.exit_code, 5) << r.out;

  RiffFile f = read_riff(bwf.path("TAPE001.wav"));
  ASSERT_TRUE(f.valid);
  // "JUNK" keeps the place of "ds64", should the file pass 4 GiB.
  EXPECT_EQ(f.order, (std::vector<std::string>{"JUNK", "bext", "fmt ", "data", "cue ", "LIST", "MD5 "}));
  EXPECT_FALSE(f.rf64);
  // The audio exactly as the plain WAV file has it, and its MD5 beside it.
  WavFile wav = read_wav(plain.path("TAPE001.wav"));
  EXPECT_TRUE(same_bytes(f.data(), wav.data));
  EXPECT_TRUE(same_bytes(f.data(), tape_pcm(tape, 0, 800 + 61)));
  EXPECT_EQ(md5_chunk_hex(f), md5_hex(f.data()));
  EXPECT_EQ(mediainfo_md5_hex(bwf.path("TAPE001.wav")), md5_hex(f.data()));
  EXPECT_EQ(f.chunks["bext"].size(), 602u + 446u);

  // Markers: program and start-ID run starts, every damaged frame, the blank
  // stretch's start, in samples.
  const uint32_t kFrame = 1440;
  std::vector<CueMarker> expected = {{0, "program 1"},           {0, "start ID program 1"},
                                     {400 * kFrame, "program 2"}, {400 * kFrame, "start ID program 2"},
                                     {450 * kFrame, "damaged L"}, {500 * kFrame, "damaged R"},
                                     {620 * kFrame, "damaged LR"}, {800 * kFrame, "blank"}};
  EXPECT_EQ(cue_markers(f), expected);

  std::map<std::string, std::string> tags = ffprobe_tags(bwf.path("TAPE001.wav"));
  EXPECT_EQ(tags["comment"], "DAT program 1 from absolute time 00:00:30:00");
  EXPECT_EQ(tags["encoded_by"], "kestrel");
  EXPECT_EQ(tags["date"], "1994-05-17");
  EXPECT_EQ(tags["creation_time"], "13:45:30");
  // The date pack's 13:45:30 is the time of day of frame 5, which carries it first.
  EXPECT_EQ(tags["time_reference"], std::to_string(49530ull * 48000 - 5 * 1440));
  EXPECT_EQ(tags["originator_reference"].rfind("KESTREL-", 0), 0u) << tags["originator_reference"];
  EXPECT_NE(tags["coding_history"].find("A=PCM,F=48000,W=16,M=stereo,T=DAT;SONY SDT-9000 1.13;absolute time 00:00:30:00\r"),
            std::string::npos)
      << tags["coding_history"];
  EXPECT_NE(tags["coding_history"].find("A=PCM,F=48000,W=16,M=stereo,T=kestrel "), std::string::npos);

  ProcessResult info = run_process("/usr/bin/mediainfo", {"--Inform=General;%Description%|%Producer%|%Encoded_Date%",
                                                 bwf.path("TAPE001.wav")});
  EXPECT_NE(info.out.find("DAT program 1 from absolute time 00:00:30:00|kestrel|1994-05-17"), std::string::npos)
      << info.out;

  // The reference comes from the tape's frames: the same in another reading;
  // the plain WAV file stays canonical.
  TapeRun again;
  again.run(tape, {"/KESTREL", "TAPE", "/BWF"});
  EXPECT_EQ(ffprobe_tags(again.path("TAPE001.wav"))["originator_reference"], tags["originator_reference"]);
  EXPECT_TRUE(std::regex_match(tags["originator_reference"], std::regex("KESTREL-[0-9a-f]{16}-001")));
  EXPECT_TRUE(wav.valid);
}

TEST(Archival, FlacDecodesToTheWavPathsPcmWithTagsAndACueSheet) {
  Tape tape = archival_tape();
  // A long-play recording of its own: expanded to 16 bits as for WAV.
  Tape lp;
  tape_record(&lp, Recording{.program = 7, .rate_code = 2, .long_play = true, .start_id_frames = 10}, 200);
  tape_blank(&lp, 70);
  for (const Tape* t : {&tape, &lp}) {
    TapeRun plain, flac;
    const int exit_code = t == &tape ? 5 : 0;  // the first has flagged frames
    ASSERT_EQ(plain.run(*t, {"/KESTREL", "TAPE"}).exit_code, exit_code);
    ProcessResult r = flac.run(*t, {"/KESTREL", "TAPE", "/FLAC"});
    ASSERT_EQ(r.exit_code, exit_code) << r.out;
    EXPECT_NE(r.out.find(" - saving audio track# 1 in file:TAPE001.flac"), std::string::npos);
    EXPECT_FALSE(file_exists(flac.path("TAPE001.wav")));
    std::string path = flac.path("TAPE001.flac");
    EXPECT_TRUE(flac_tests_ok(path));
    std::string pcm = read_wav(plain.path("TAPE001.wav")).data;
    EXPECT_TRUE(same_bytes(flac_pcm(path), pcm));
    ProcessResult md5 = run_process("/usr/bin/metaflac", {"--show-md5sum", path});
    EXPECT_EQ(md5.out.substr(0, 32), md5_hex(pcm));
  }
  TapeRun flac;
  flac.run(tape, {"/KESTREL", "TAPE", "/FLAC"});
  std::string path = flac.path("TAPE001.flac");
  std::string comments = run_process("/usr/bin/metaflac", {"--export-tags-to=-", path}).out;
  for (const char* tag : {"TRACKNUMBER=1\n", "DAT_PROGRAM=1\n", "DATE=1994-05-17T13:45:30\n", "DAT_ABSOLUTE_TIME=00:00:30:00\n",
                          "DAT_SAMPLE_RATE=48000\n", "DAT_BITS=16\n", "DAT_EMPHASIS=none\n", "DAT_COPY_CODE=0\n",
                          "DAT_DRIVE=SONY SDT-9000 1.13\n"})
    EXPECT_NE(comments.find(tag), std::string::npos) << tag << " not in\n" << comments;
  // The two programs in a cue sheet: track 1 at 0, track 2 at frame 400.
  std::string cues = run_process("/usr/bin/metaflac", {"--export-cuesheet-to=-", path}).out;
  EXPECT_NE(cues.find("TRACK 01"), std::string::npos) << cues;
  EXPECT_NE(cues.find("TRACK 02"), std::string::npos) << cues;
  EXPECT_NE(cues.find("TRACK 02 AUDIO\n    INDEX 01 576000\n"), std::string::npos) << cues;
}

std::string hex_of(const std::string& bytes) {
  std::string hex;
  char two[3];
  for (char c : bytes) {
    std::snprintf(two, sizeof two, "%.2x", static_cast<uint8_t>(c));
    hex += two;
  }
  return hex;
}

// Every file of a folder, name to bytes.
std::map<std::string, std::string> folder_files(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    files[entry.path().filename().string()] = read_file(entry.path().string());
  return files;
}

// The archive's identity in the files, each field through two readers, and
// two readings of one image with the transfer time fixed alike byte for byte
// (WAV, Broadcast WAV, FLAC, the report and its page).
TEST(Archival, TheArchivesIdentityIsInTheFilesAndTwoReadingsOfAnImageAreAlike) {
  TapeRun t;
  t.run(archival_tape(), {"/BITTERN", "TAPE"});
  ASSERT_TRUE(t.has("TAPE.img"));
  const std::vector<std::string> kIdentity = {
      "/ORIGINATOR", "US-ABC", "/IDENTIFIER", "shelf 42", "/LOCATION", "US, Abc Archive", "/COPYRIGHT", "CC0",
      "/TRANSFERTIME", "2026-12-09T10:00:00+01:00", "/REPORT"};
  std::map<std::string, std::string> umid;  // of TAPE001, by format
  for (const char* format : {"/WAV", "/BWF", "/FLAC"}) {
    SCOPED_TRACE(format);
    std::vector<std::map<std::string, std::string>> readings;
    for (const char* folder : {"a", "b"}) {
      std::vector<std::string> args = {"/KESTREL", "TAPE", "/FROMIMAGE", "../TAPE.img"};
      if (std::strcmp(format, "/WAV") != 0) args.push_back(format);
      args.insert(args.end(), kIdentity.begin(), kIdentity.end());
      std::filesystem::remove_all(t.path(folder));
      ProcessResult r = t.run_in(folder, args);
      ASSERT_EQ(r.exit_code, 5) << r.out;
      readings.push_back(folder_files(t.path(folder)));
    }
    EXPECT_EQ(readings[0].size(), 5u);  // the audio file, its log, the report's three
    for (const auto& [name, bytes] : readings[0]) EXPECT_TRUE(readings[1][name] == bytes) << name << " differs";
    JsonFlat report;
    ASSERT_TRUE(json_flatten(readings[0]["TAPE.json"], &report));
    EXPECT_EQ(report["started"], "2026-12-09T09:00:00+00:00");
    EXPECT_EQ(report["finished"], "2026-12-09T09:00:00+00:00");
    if (std::strcmp(format, "/BWF") == 0) {
      std::string path = t.path("a/TAPE001.wav");
      RiffFile f = read_riff(path);
      EXPECT_EQ(f.order, (std::vector<std::string>{"JUNK", "bext", "fmt ", "data", "cue ", "LIST", "LIST", "MD5 "}));
      std::map<std::string, std::string> tags = ffprobe_tags(path);
      EXPECT_EQ(tags["encoded_by"], "US-ABC");
      EXPECT_EQ(tags["comment"], "shelf 42; DAT program 1 from absolute time 00:00:30:00");
      EXPECT_TRUE(std::regex_match(tags["originator_reference"], std::regex("KESTREL-[0-9a-f]{16}-001")));
      EXPECT_EQ(tags["IARL"], "US, Abc Archive");
      EXPECT_EQ(tags["copyright"], "CC0");
      ProcessResult info = run_process("/usr/bin/mediainfo", {"--Inform=General;%Producer%|%Description%|%Archival_Location%|%Copyright%", path});
      EXPECT_EQ(info.out, "US-ABC|shelf 42; DAT program 1 from absolute time 00:00:30:00|US, Abc Archive|CC0\n");
      // A basic UMID: the universal label, its length, instance 0, a UUID of version 8.
      const std::string& bext = f.chunks["bext"];
      std::string label = bext.substr(348, 16);
      EXPECT_EQ(hex_of(label), "060a2b340101010501010f2013000000");
      EXPECT_EQ(static_cast<uint8_t>(bext[348 + 22]) >> 4, 8);
      EXPECT_EQ(bext.substr(348 + 32, 32), std::string(32, '\0'));
      umid["/BWF"] = hex_of(bext.substr(348, 32));
      std::string shown = tags["umid"];
      std::transform(shown.begin(), shown.end(), shown.begin(), [](char c) { return std::tolower(c); });
      EXPECT_EQ(shown, "0x" + umid["/BWF"]);
    }
    if (std::strcmp(format, "/FLAC") == 0) {
      std::string comments = run_process("/usr/bin/metaflac", {"--export-tags-to=-", t.path("a/TAPE001.flac")}).out;
      std::smatch found;
      ASSERT_TRUE(std::regex_search(comments, found, std::regex("DAT_UMID=([0-9a-f]{64})\n"))) << comments;
      umid["/FLAC"] = found[1];
      for (const char* tag : {"ORGANIZATION=US-ABC\n", "COPYRIGHT=CC0\n", "DAT_ARCHIVE_LOCATION=US, Abc Archive\n",
                              "DESCRIPTION=shelf 42; DAT program 1 from absolute time 00:00:30:00\n"})
        EXPECT_NE(comments.find(tag), std::string::npos) << tag << " not in\n" << comments;
      std::map<std::string, std::string> tags = ffprobe_tags(t.path("a/TAPE001.flac"));
      EXPECT_EQ(tags["ORGANIZATION"], "US-ABC");
    }
  }
  // The same frames in either format: the same name for the archive.
  EXPECT_EQ(umid["/BWF"], umid["/FLAC"]);
}

// The record of an image's making: written by the dump beside the image,
// carried by the files split from it into the coding history, the tags and
// the report; without it (missing, or no JSON) one line, and "image file".
TEST(Archival, TheImagesRecordNamesTheDriveInTheFilesSplitFromIt) {
  TapeRun t;
  t.run(archival_tape(), {"/BITTERN", "TAPE", "/REPORT", "/TRANSFERTIME", "2026-12-09T10:00:00Z"});
  ASSERT_TRUE(t.has("TAPE.img.json"));
  ProcessResult record = run_process(
      "/usr/bin/python3", {"-c", "import json,sys; r=json.load(open(sys.argv[1])); d=r['drive']; "
                                 "print(r['image'], d['vendor'], d['product'], d['revision'], r['transfer_time'], "
                                 "r['report'], ' '.join(r['options'][:3]))",
                           t.path("TAPE.img.json")});
  EXPECT_EQ(record.out, "TAPE.img SONY SDT-9000 1.13 2026-12-09T10:00:00+00:00 TAPE.json /BITTERN TAPE /REPORT\n");
  JsonFlat dump;
  ASSERT_TRUE(json_flatten(t.read("TAPE.json"), &dump));
  EXPECT_EQ(dump["files.1.name"], "TAPE.img.json");
  struct Case {
    const char* name;
    std::string record;  // "" : as the dump wrote it; "-": none
    std::string said;    // the one line, or ""
    std::string drive;
  } cases[] = {
      {"as written", "", "", "SONY SDT-9000 1.13"},
      {"missing", "-", "no record of the image's making (../TAPE.img.json: No such file or directory): the files "
                       "name the image file as the source\n", "image file"},
      {"no JSON", "{\"image\": ", "../TAPE.img.json is no JSON object: the image's making is not known: the files "
                                  "name the image file as the source\n", "image file"},
      {"no drive", "{\"image\": \"TAPE.img\", \"transfer_time\": \"x\"}", "lacks the image, the drive or the transfer time", "image file"},
  };
  const std::string kept = t.read("TAPE.img.json");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(t.path("TAPE.img.json"));
    if (c.record != "-") {
      ASSERT_TRUE(write_file(t.path("TAPE.img.json"), c.record.empty() ? kept : c.record));
    }
    for (const char* format : {"/BWF", "/FLAC"}) {
      std::filesystem::remove_all(t.path("x"));
      ProcessResult r = t.run_in("x", {"/KESTREL", "X", "/FROMIMAGE", "../TAPE.img", format, "/REPORT"});
      ASSERT_EQ(r.exit_code, 5) << r.out;
      if (c.said.empty()) EXPECT_EQ(r.out.find("image's making"), std::string::npos) << r.out;
      else EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
      JsonFlat report;
      ASSERT_TRUE(json_flatten(t.read("x/X.json"), &report));
      EXPECT_EQ(report["source.made.drive.product"], c.said.empty() ? "SDT-9000" : "") << format;
      EXPECT_EQ(report["source.made.report"], c.said.empty() ? "TAPE.json" : "") << format;
      if (std::strcmp(format, "/BWF") == 0) {
        std::string history = ffprobe_tags(t.path("x/X001.wav"))["coding_history"];
        std::string line = "T=DAT;" + c.drive + ";absolute time 00:00:30:00" +
                           (c.said.empty() ? ";via image TAPE.img of 2026-12-09T10:00:00+00:00" : "") + "\r";
        EXPECT_NE(history.find(line), std::string::npos) << history;
      } else {
        std::string comments = run_process("/usr/bin/metaflac", {"--export-tags-to=-", t.path("x/X001.flac")}).out;
        EXPECT_NE(comments.find("DAT_DRIVE=" + c.drive + "\n"), std::string::npos) << comments;
        EXPECT_EQ(comments.find("DAT_IMAGE=image TAPE.img of 2026-12-09T10:00:00+00:00\n") != std::string::npos,
                  c.said.empty()) << comments;
      }
    }
  }
}

// The samples of the markers labelled label in TAPE001's audio file: the
// Broadcast WAV file's cue points, or the FLAC file's DAT_MARKER tags.
std::vector<uint64_t> marked_samples(const TapeRun& t, bool flac, const std::string& label) {
  std::vector<uint64_t> marked;
  if (!flac) {
    for (const CueMarker& m : cue_markers(read_riff(t.path("TAPE001.wav"))))
      if (m.label == label) marked.push_back(m.sample);
    return marked;
  }
  std::istringstream tags(run_process("/usr/bin/metaflac", {"--export-tags-to=-", t.path("TAPE001.flac")}).out);
  const std::string name = "DAT_MARKER=";
  for (std::string line; std::getline(tags, line);) {
    size_t space = line.find(' ');
    if (line.rfind(name, 0) == 0 && space != std::string::npos && line.substr(space + 1) == label)
      marked.push_back(std::stoull(line.substr(name.size(), space - name.size())));
  }
  return marked;
}

// An unreadable frame keeps its place in time, whether the drive could not
// read it, re-reads could not either, or an image holds its stand-in: a frame
// of silence where it lies, a marker on it, every later sample at its place
// on the tape, and the report's event names the file and the sample.
struct UnreadableCase {
  const char* name;
  std::vector<std::string> args;  // besides /KESTREL TAPE /STOPEOT /REPORT
  bool from_image;                // the frames come from an image a dump of the tape kept
};

TEST(Archival, UnreadableFramesKeepTheirPlaceAndAreMarked) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 300);
  const std::vector<size_t> unreadable = {100, 101, 250};
  const BusKeys errors = {{"read_errors", "100 101 250"}};
  std::string expected;
  for (size_t i = 0; i < 300; ++i)
    expected += std::count(unreadable.begin(), unreadable.end(), i) ? std::string(5760, '\0') : tape_pcm(tape, i, i + 1);
  const UnreadableCase cases[] = {
      {"drive, Broadcast WAV", {"/BWF"}, false},
      {"drive, FLAC", {"/FLAC"}, false},
      {"no copy after re-reads, Broadcast WAV", {"/BWF", "/REREAD", "2"}, false},
      {"image stand-ins, Broadcast WAV", {"/BWF"}, true},
      {"image stand-ins, FLAC", {"/FLAC"}, true},
  };
  for (const UnreadableCase& c : cases) {
    SCOPED_TRACE(c.name);
    TapeRun t;
    std::vector<std::string> args = {"/KESTREL", "TAPE", "/STOPEOT", "/REPORT"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.from_image) {
      ASSERT_EQ(t.run(tape, {"/BITTERN", "IMG", "/STOPEOT"}, errors).exit_code, 5);
      args.insert(args.end(), {"/FROMIMAGE", "IMG.img"});
    }
    ProcessResult r = c.from_image ? t.run_in("", args) : t.run(tape, args, errors);
    ASSERT_EQ(r.exit_code, 5) << r.out;
    const bool flac = c.args[0] == std::string("/FLAC");
    JsonFlat json;
    ASSERT_TRUE(json_flatten(t.read("TAPE.json"), &json));
    std::string audio;
    if (flac) {
      audio = flac_pcm(t.path("TAPE001.flac"));
    } else {
      RiffFile f = read_riff(t.path("TAPE001.wav"));
      EXPECT_TRUE(f.valid);
      audio = f.data();
      EXPECT_EQ(md5_chunk_hex(f), md5_hex(audio));
      EXPECT_EQ(json["files.0.audio_md5"], md5_hex(audio));  // the MD5 the writer took for its chunk
    }
    // The file spans the tape: every sample after the places where it lies on it.
    EXPECT_EQ(audio.size(), 300u * 5760u);
    EXPECT_TRUE(same_bytes(audio, expected));
    EXPECT_EQ(marked_samples(t, flac, "unreadable"), (std::vector<uint64_t>{100 * 1440, 101 * 1440, 250 * 1440}));
    for (size_t i = 0; i < unreadable.size(); ++i) {
      std::string event = "events." + std::to_string(i) + ".";
      EXPECT_EQ(json[event + "kind"], "unreadable");
      EXPECT_EQ(json[event + "file"], flac ? "TAPE001.flac" : "TAPE001.wav");
      EXPECT_EQ(json[event + "sample_offset"], std::to_string(unreadable[i] * 1440));
    }
  }
}

// What players and archives read of a FLAC file: a seek table with a point
// every 10 seconds (each at the first sample of the frame that holds its
// time), the track number of the tape's program whatever the file's number,
// the recording's date and time in ISO 8601, the encoder. metaflac --list
// shows them.
struct FlacListCase {
  const char* file;
  uint64_t samples;  // the file's audio, in sample pairs
  std::vector<std::string> lines;  // in the listing
};

TEST(Archival, FlacCarriesASeekTableAndTheCommonTagNames) {
  Tape tape = tape_of_programs({{3, 400}, {5, 800}});
  FrameDate date{3, 94, 5, 17, 13, 45, 30};
  tape_date(&tape, 0, tape.frames.size(), date);
  TapeRun t;
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/FLAC", "/BYPROGRAM"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const FlacListCase cases[] = {
      {"TAPE001.flac", 400 * 1440, {"TRACKNUMBER=3", "DATE=1994-05-17T13:45:30", "ENCODER=kestrel "}},
      {"TAPE002.flac", 800 * 1440, {"TRACKNUMBER=5", "DATE=1994-05-17T13:45:30"}},
  };
  for (const FlacListCase& c : cases) {
    SCOPED_TRACE(c.file);
    std::string list = run_process("/usr/bin/metaflac", {"--list", t.path(c.file)}).out;
    EXPECT_NE(list.find("total samples: " + std::to_string(c.samples) + "\n"), std::string::npos) << list;
    for (const std::string& line : c.lines) EXPECT_NE(list.find(line), std::string::npos) << line << " not in\n" << list;
    // The seek points: one for each 10 seconds the file reaches, none past its end.
    std::vector<uint64_t> points;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
      unsigned long long sample = 0;
      if (std::sscanf(line.c_str(), "    point %*u: sample_number=%llu", &sample) == 1) points.push_back(sample);
    }
    const uint64_t every = 48000 * 10;
    ASSERT_EQ(points.size(), (c.samples + every - 1) / every) << list;
    for (size_t i = 0; i < points.size(); ++i) {
      EXPECT_LE(points[i], i * every);
      EXPECT_GT(points[i] + 4608, i * every) << "point " << i;
    }
  }
}

// A repeated, a stray and a skipped frame: each frame out of order gets a
// marker where its audio begins, in the Broadcast WAV file's cue points and
// the FLAC file's tags alike.
TEST(Archival, ContinuityBreaksAreMarked) {
  Tape tape = tape_out_of_order();
  const std::vector<uint64_t> expected = {101 * 1440, 202 * 1440, 302 * 1440};
  for (const char* kind : {"/BWF", "/FLAC"}) {
    SCOPED_TRACE(kind);
    TapeRun t;
    ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", kind});
    ASSERT_EQ(r.exit_code, 5) << r.out;
    EXPECT_EQ(marked_samples(t, std::string(kind) == "/FLAC", "continuity break"), expected);
  }
}

TEST(Archival, FlacWithBwfIsRefused) {
  TapeRun t;
  Tape tape;
  tape_record(&tape, Recording{}, 10);
  ProcessResult r = t.run(tape, {"/KESTREL", "TAPE", "/FLAC", "/BWF"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.out.find("/BWF and /FLAC cannot be given together"), std::string::npos) << r.out;
  EXPECT_FALSE(file_exists(t.path("TAPE001.wav")) || file_exists(t.path("TAPE001.flac")));
}

// A tape of programs of frames_each frames whose two channels hold
// sample(program index, seconds into the program), then blank tape;
// pre-emphasised when emphasised.
Tape tone_tape(int programs, size_t frames_each, const std::function<double(int, double)>& sample, bool emphasised) {
  Tape tape;
  for (int p = 0; p < programs; ++p) {
    size_t first = tape_record(&tape, Recording{.program = p + 1}, frames_each);
    for (size_t i = first; i < first + frames_each; ++i) {
      DatFrame& f = tape.frames[i];
      if (emphasised) f.main_id_format = static_cast<uint8_t>(f.main_id_format | 0x10);
      for (int s = 0; s < 1440; ++s) {
        double t = static_cast<double>((i - first) * 1440 + static_cast<size_t>(s)) / 48000.0;
        int16_t v = static_cast<int16_t>(std::lround(sample(p, t)));
        for (int c = 0; c < 2; ++c) std::memcpy(f.audio + 4 * s + 2 * c, &v, 2);
      }
    }
  }
  tape_blank(&tape, 70);
  return tape;
}

// Two programs of tones: 1 kHz at -20 dBFS, then 3 kHz at -8 dBFS in
// bursts of a second, a spread of loudness over 20 seconds.
Tape level_tape() {
  return tone_tape(2, 340, [](int p, double t) {
    double level = p == 0 ? 0.1 : (static_cast<int>(t) % 2 ? 0.4 : 0.05);
    return 32767 * level * std::sin(2 * M_PI * (p ? 3000 : 1000) * t);
  }, false);
}

// What ffmpeg's ebur128 filter (true peak on) measures of a file: I, LRA,
// Peak and the highest M and S of its 100 ms lines;
// first filters the audio before (e.g. "atrim=...,": a part of the file).
std::map<std::string, double> ffmpeg_levels(const std::string& path, const std::string& first = "") {
  ProcessResult r = run_process("/usr/bin/ffmpeg", {"-nostats", "-v", "verbose", "-i", path, "-af",
                                                    first + "ebur128=peak=true", "-f", "null", "-"});
  std::map<std::string, double> levels = {{"M", -1e9}, {"S", -1e9}};
  std::smatch m;
  std::string text = r.err;
  const std::regex line(" M: *(-?[0-9.]+) S: *(-?[0-9.]+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) {
    levels["M"] = std::max(levels["M"], std::stod((*it)[1]));
    levels["S"] = std::max(levels["S"], std::stod((*it)[2]));
  }
  size_t summary = text.rfind("Summary:");
  std::string tail = summary == std::string::npos ? "" : text.substr(summary);
  for (const char* key : {"I", "LRA", "Peak"})
    if (std::regex_search(tail, m, std::regex(std::string("\\s") + key + ": *(-?[0-9.]+)"))) levels[key] = std::stod(m[1]);
  return levels;
}

// A 16-bit field of the "bext" chunk, hundredths.
double bext_level(const RiffFile& f, size_t offset) {
  int16_t v;
  std::memcpy(&v, f.chunks.at("bext").data() + offset, 2);
  return v == 0x7FFF ? NAN : v / 100.0;
}

TEST(Archival, LoudnessAgreesWithAnIndependentMeter) {
  Tape tape = level_tape();
  struct Row {
    std::vector<std::string> args;
    bool flac;
    bool measured;
  } rows[] = {
      {{"/KESTREL", "TAPE", "/BWF", "/ONEWAV", "/REPORT"}, false, true},
      {{"/KESTREL", "TAPE", "/FLAC", "/REPORT"}, true, true},
      {{"/KESTREL", "TAPE", "/BWF", "/NOLOUDNESS", "/REPORT"}, false, false},
      {{"read", "TAPE", "--format", "flac", "--no-loudness", "--report", "-d", "0:4"}, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[2] + " " + row.args[3]);
    TapeRun t;
    t.load(tape);
    ProcessResult r = row.args[0] == "read" ? t.run_in("", row.args) : t.run(tape, row.args);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    std::string path = t.path(row.flac ? "TAPE001.flac" : "TAPE001.wav");
    std::map<std::string, double> figures;  // what the file says, in ffmpeg's names
    if (row.flac) {
      std::istringstream tags(run_process("/usr/bin/metaflac", {"--export-tags-to=-", path}).out);
      std::map<std::string, std::string> names = {{"LOUDNESS_INTEGRATED", "I"}, {"LOUDNESS_RANGE", "LRA"},
                                                  {"LOUDNESS_TRUE_PEAK", "Peak"}, {"LOUDNESS_MAX_MOMENTARY", "M"},
                                                  {"LOUDNESS_MAX_SHORT_TERM", "S"}};
      for (std::string line; std::getline(tags, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && names.count(line.substr(0, eq))) figures[names[line.substr(0, eq)]] = std::stod(line.substr(eq + 1));
      }
    } else {
      RiffFile f = read_riff(path);
      ASSERT_TRUE(f.valid);
      const std::pair<const char*, size_t> fields[] = {{"I", 412}, {"LRA", 414}, {"Peak", 416}, {"M", 418}, {"S", 420}};
      for (const auto& [name, offset] : fields)
        if (!std::isnan(bext_level(f, offset))) figures[name] = bext_level(f, offset);
    }
    // The report gives what the file carries.
    JsonFlat report;
    ASSERT_TRUE(json_flatten(t.read("TAPE.json"), &report));
    EXPECT_EQ(report["files.0.name"], row.flac ? "TAPE001.flac" : "TAPE001.wav");
    const std::pair<const char*, const char*> in_report[] = {{"I", "integrated_lufs"}, {"LRA", "range_lu"},
        {"Peak", "true_peak_dbtp"}, {"M", "max_momentary_lufs"}, {"S", "max_short_term_lufs"}};
    for (const auto& [name, field] : in_report) {
      std::string path = std::string("files.0.loudness.") + field;
      if (!row.measured) {
        EXPECT_FALSE(report.count(path)) << path;
        continue;
      }
      ASSERT_TRUE(report.count(path)) << path;
      EXPECT_NEAR(std::stod(report[path]), figures[name], 0.006) << path;
    }
    // The page shows them in its table of files.
    auto figure = [&figures](const char* name) { return figures.count(name) ? figures.at(name) : 0.0; };
    char shown[96];
    std::snprintf(shown, sizeof shown, "<td>%.1f LUFS, range %.1f LU, true peak %.1f dBTP</td>", figure("I"),
                  figure("LRA"), figure("Peak"));
    EXPECT_EQ(t.read("TAPE.html").find(shown) != std::string::npos, row.measured) << shown;
    if (!row.measured) {
      EXPECT_TRUE(figures.empty());
      continue;
    }
    std::map<std::string, double> meter = ffmpeg_levels(path);
    for (const char* name : {"I", "LRA", "Peak", "M", "S"}) {
      ASSERT_TRUE(figures.count(name) && meter.count(name)) << name << "\n" << r.out;
      EXPECT_NEAR(figures[name], meter[name], 0.1) << name;
    }
    EXPECT_GT(meter["LRA"], 3);  // a spread worth measuring
    // Each program's integrated loudness and true peak: of its samples alone
    // (the first shares the file's measurement, the second has its own).
    for (int p = 0; p < 2; ++p) {
      std::string at = "programs." + std::to_string(p) + ".levels.";
      ASSERT_TRUE(report.count(at + "loudness.integrated_lufs")) << at;
      long long first = std::stoll(report[at + "sample_offset"]);
      EXPECT_EQ(first, p * 340 * 1440);
      std::map<std::string, double> part = ffmpeg_levels(
          path, "atrim=start_sample=" + std::to_string(first) + ":end_sample=" + std::to_string(first + 340 * 1440) + ",");
      EXPECT_NEAR(std::stod(report[at + "loudness.integrated_lufs"]), part["I"], 0.1) << at;
      EXPECT_NEAR(std::stod(report[at + "loudness.true_peak_dbtp"]), part["Peak"], 0.1) << at;
    }
    EXPECT_GT(std::abs(std::stod(report["programs.0.levels.loudness.integrated_lufs"]) -
                       std::stod(report["programs.1.levels.loudness.integrated_lufs"])), 3);
  }
}

// What the archive's policy (doc/kestrel-bwf-policy.xml) finds of a file
// through mediaconch: the outcome, and the checks that fail (the sampling
// rates aside, of which one passing is enough).
struct PolicyOutcome {
  bool passed = false;
  std::set<std::string> failed;
  std::string report;
};

PolicyOutcome mediaconch_policy(const std::string& path) {
  // A folder of its own for mediaconch's database: it keeps results across
  // files and runs, and one file's outcome must not stand for another's.
  TempDir home;
  ProcessOptions options;
  options.env = {"HOME=" + home.path()};
  ProcessResult r = run_process("/usr/bin/mediaconch",
                                {"-p", std::string(KESTREL_SOURCE_DIR) + "/doc/kestrel-bwf-policy.xml", "-fx", path}, options);
  PolicyOutcome outcome;
  outcome.report = r.out + r.err;
  std::smatch top;
  outcome.passed = std::regex_search(r.out, top, std::regex("<policy name=\"kestrel Broadcast WAV\"[^>]*outcome=\"(\\w+)\"")) &&
                   top[1] == "pass";
  std::regex rule("<rule name=\"([^\"]+)\"[^>]*outcome=\"fail\"");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), rule); it != std::sregex_iterator(); ++it) {
    std::string name = (*it)[1];
    if (name.find("kHz") == std::string::npos) outcome.failed.insert(name);
  }
  return outcome;
}

// The file of a run that a fault ended: valid, its sizes agreeing with it,
// and decoding to a first part of what was read.
void expect_valid_first_part(const TapeRun& t, bool flac, bool rf64, const std::string& read, size_t at_least) {
  std::string audio;
  if (flac) {
    std::string path = t.path("TAPE001.flac");
    EXPECT_TRUE(flac_tests_ok(path));
    audio = flac_pcm(path);
  } else {
    RiffFile f = read_riff(t.path("TAPE001.wav"));
    EXPECT_TRUE(f.valid);
    EXPECT_EQ(f.rf64, rf64);
    EXPECT_EQ(f.order[0], rf64 ? "ds64" : "JUNK");
    EXPECT_EQ(f.order[1], "bext");
    audio = f.data();
    if (f.chunks.count("MD5 ")) {
      EXPECT_EQ(md5_chunk_hex(f), md5_hex(audio));
    }
    for (const CueMarker& m : cue_markers(f)) EXPECT_LT(m.sample * 4ull, audio.size()) << m.label;
  }
  EXPECT_GE(audio.size(), at_least);
  EXPECT_TRUE(same_bytes(audio, read.substr(0, audio.size())));
}

TEST(Archival, FilesAFaultEndsStayValid) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 3100);
  tape_flag(&tape, 10, 0x40);
  std::string read = tape_pcm(tape, 0, 3100);
  struct Kind {
    const char* name;
    const char* rf64_above;  // KESTREL_RF64_ABOVE: the file passes it and becomes RF64
  } kinds[] = {{"/BWF", nullptr}, {"/FLAC", nullptr}, {"/BWF", "1000000"}};
  for (const Kind& kind : kinds) {
    bool flac = std::string(kind.name) == "/FLAC", rf64 = kind.rf64_above != nullptr;
    SCOPED_TRACE(std::string(kind.name) + (rf64 ? " as RF64" : ""));
    ProcessOptions options;
    if (rf64) options.env = {std::string("KESTREL_RF64_ABOVE=") + kind.rf64_above};
    // Two Ctrl-C: kestrel ends at once, the file is cut to what it holds whole.
    TapeRun twice;
    ProcessResult r = twice.run(tape, {"/KESTREL", "TAPE", kind.name}, {}, options, {{"interrupt_at", "3000"}, {"interrupts", "2"}});
    EXPECT_EQ(r.term_signal, SIGINT) << r.out;
    expect_valid_first_part(twice, flac, rf64, read, 1000u * 5760);
    // A full disk: the mode fails and says so.
    TapeRun full;
    options.file_size_limit = 3000000;
    r = full.run(tape, {"/KESTREL", "TAPE", kind.name}, {}, options);
    EXPECT_EQ(r.exit_code, 6) << r.out;
    EXPECT_NE(r.out.find(flac ? "write to TAPE001.flac failed: File too large\n"
                              : "write to TAPE001.wav failed: File too large\n"),
              std::string::npos)
        << r.out;
    expect_valid_first_part(full, flac, rf64, read, 100u * 5760);
  }
}

// Past the size a RIFF file can state (4 GiB, brought down to 2 MB here
// through KESTREL_RF64_ABOVE), a Broadcast WAV file, or a WAV file with
// /RF64, becomes RF64 and stays one file; below it, it stays RIFF. Read back
// by libsndfile, ffprobe and mediainfo, and the archive's policy.
TEST(Archival, PastTheRiffLimitAFileBecomesRf64AndStaysWhole) {
  Tape tape;
  tape_record(&tape, Recording{.program = 1}, 300);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1}, 300);
  tape_blank(&tape, 70);
  const std::vector<std::string> kBwfChunks = {"bext", "fmt ", "data", "cue ", "LIST", "MD5 "};
  struct Row {
    const char* what;
    std::vector<std::string> args;
    const char* above;
    bool rf64;
    std::vector<std::string> after_ds64;  // the chunks behind "ds64" or "JUNK"
  } rows[] = {
      {"Broadcast WAV past the limit", {"/BWF", "/ONEWAV"}, "2000000", true, kBwfChunks},
      {"Broadcast WAV below it", {"/BWF", "/ONEWAV"}, "4000000", false, kBwfChunks},
      {"WAV past it with /RF64", {"/RF64", "/ONEWAV"}, "2000000", true, {"fmt ", "data"}},
      {"WAV past it, verb", {"--rf64", "-d", "0:4"}, "1000000", true, {"fmt ", "data"}},
  };
  TapeRun plain;
  ASSERT_EQ(plain.run(tape, {"/KESTREL", "TAPE", "/ONEWAV"}).exit_code, 0);
  const std::string audio = plain.wav("TAPE001.wav").data;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TapeRun t;
    ProcessOptions options;
    options.env = {std::string("KESTREL_RF64_ABOVE=") + row.above};
    bool verb = row.args[0][0] == '-';
    std::vector<std::string> args = verb ? std::vector<std::string>{"read", "TAPE"} : std::vector<std::string>{"/KESTREL", "TAPE"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    t.load(tape);
    ProcessResult r = verb ? t.run_in("", args, options) : t.run(tape, args, {}, options);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    // With the verb, the file of each rate: the first is past 1 MB.
    const std::string path = t.path("TAPE001.wav");
    EXPECT_EQ(t.has("TAPE002.wav"), verb);
    RiffFile f = read_riff(path);
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.rf64, row.rf64);
    std::vector<std::string> order = {row.rf64 ? "ds64" : "JUNK"};
    order.insert(order.end(), row.after_ds64.begin(), row.after_ds64.end());
    EXPECT_EQ(f.order, order);
    const std::string expected = verb ? audio.substr(0, 300 * 5760) : audio;
    EXPECT_TRUE(same_bytes(f.data(), expected));
    const std::string frames = std::to_string(expected.size() / 4);
    ProcessResult info = run_process("/usr/bin/sndfile-info", {path});
    EXPECT_NE(info.out.find("Frames      : " + frames + "\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(row.rf64 ? "RF64" : "RIFF"), std::string::npos) << info.out;
    ProcessResult probe = run_process("/usr/bin/ffprobe", {"-v", "error", "-count_packets", "-show_entries",
                                                           "stream=duration_ts", "-of", "csv=p=0", path});
    EXPECT_EQ(probe.out, frames + "\n") << probe.err;
    ProcessResult media = run_process("/usr/bin/mediainfo", {"--Inform=Audio;%SamplingCount%|%StreamSize%", path});
    EXPECT_EQ(media.out, frames + "|" + std::to_string(expected.size()) + "\n");
    if (row.args[0] == "/BWF") {
      EXPECT_EQ(mediainfo_md5_hex(path), md5_hex(f.data()));
      EXPECT_TRUE(mediaconch_policy(path).passed);
    }
  }
}

// A 50/15 us tape: three programs of sines at 1, 5 and 15 kHz, half scale.
const double kTones[] = {1000, 5000, 15000};
Tape emphasised_tape() {
  return tone_tape(3, 300, [](int p, double t) { return 16384 * std::sin(2 * M_PI * kTones[p] * t); }, true);
}

double rms(const std::string& pcm, size_t first_pair, size_t pairs) {
  double sum = 0;
  for (size_t i = first_pair; i < first_pair + pairs; ++i) {
    int16_t v;
    std::memcpy(&v, pcm.data() + 4 * i, 2);
    sum += static_cast<double>(v) * v;
  }
  return std::sqrt(sum / static_cast<double>(pairs));
}

TEST(Archival, PreEmphasisIsSaidKeptOrUndoneByTheStandardCurve) {
  Tape tape = emphasised_tape();
  TapeRun kept, undone;
  ProcessResult r = kept.run(tape, {"/KESTREL", "TAPE", "/BWF"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  // Once per track, and every record says so; the audio bit for bit as recorded.
  const std::string said = " - the audio is pre-emphasised (50/15 us): written as recorded\n";
  size_t at = r.out.find(said);
  EXPECT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(said, at + 1), std::string::npos);
  EXPECT_NE(read_file(kept.path("TAPE001.log")).find("emphasis: 50/15 us, written as recorded\n"), std::string::npos);
  RiffFile f = read_riff(kept.path("TAPE001.wav"));
  EXPECT_TRUE(same_bytes(f.data(), tape_pcm(tape, 0, 900 + 61)));
  EXPECT_NE(f.chunks["bext"].find("T=DAT;SONY SDT-9000 1.13;absolute time 00:00:00:00;emphasis 50/15us\r\n"), std::string::npos);
  EXPECT_NE(f.chunks["bext"].find(";emphasis kept\r\n"), std::string::npos);

  r = undone.run(tape, {"/KESTREL", "TAPE", "/DEEMPHASIS", "/FLAC"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find(" - the audio is pre-emphasised (50/15 us): written de-emphasised\n"), std::string::npos);
  EXPECT_NE(read_file(undone.path("TAPE001.log")).find("emphasis: 50/15 us, written de-emphasised\n"),
            std::string::npos);
  std::string comments = run_process("/usr/bin/metaflac", {"--export-tags-to=-", undone.path("TAPE001.flac")}).out;
  EXPECT_NE(comments.find("DAT_EMPHASIS=50/15 us, written de-emphasised\n"), std::string::npos) << comments;
  std::string in = tape_pcm(tape, 0, 900), out = flac_pcm(undone.path("TAPE001.flac"));
  ASSERT_GE(out.size(), in.size());
  for (int p = 0; p < 3; ++p) {
    // The middle 200 frames of each program: whole periods of each tone.
    size_t first = static_cast<size_t>(p * 300 + 50) * 1440;
    double level = 20 * std::log10(rms(out, first, 200 * 1440) / rms(in, first, 200 * 1440));
    double w = 2 * M_PI * kTones[p];
    double standard = 10 * std::log10((1 + w * w * 15e-6 * 15e-6) / (1 + w * w * 50e-6 * 50e-6));
    EXPECT_NEAR(level, standard, 0.1) << kTones[p] << " Hz";
  }
}

TEST(Archival, TheShippedPolicyPassesEveryBroadcastWavAndNoOtherFile) {
  // A program at each DAT rate, the last in long play (32 kHz, 16 bits in the file).
  Tape tape;
  tape_record(&tape, Recording{.program = 1, .rate_code = 0}, 60);
  tape_record(&tape, Recording{.program = 2, .rate_code = 1}, 60);
  tape_record(&tape, Recording{.program = 3, .rate_code = 2}, 60);
  tape_record(&tape, Recording{.program = 4, .rate_code = 2, .long_play = true}, 60);
  tape_blank(&tape, 70);
  const std::set<std::string> kNotBwf = {"bext chunk present", "bext version 2", "Originator set", "MD5 chunk present"};
  struct Row {
    std::vector<std::string> args;
    std::vector<std::string> files;
    bool passes;
    std::set<std::string> failed;
  } rows[] = {
      {{"/BWF", "/BYPROGRAM"}, {"TAPE001.wav", "TAPE002.wav", "TAPE003.wav", "TAPE004.wav"}, true, {}},
      {{"/BWF", "/ONEWAV"}, {"TAPE001.wav"}, true, {}},  // one file across the rates
      {{"/BYPROGRAM"}, {"TAPE001.wav", "TAPE004.wav"}, false, kNotBwf},
      {{"/FLAC", "/BYPROGRAM"}, {"TAPE003.flac"}, false, {}},
  };
  for (const Row& row : rows) {
    TapeRun t;
    std::vector<std::string> args = {"/KESTREL", "TAPE"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    ProcessResult r = t.run(tape, args);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    for (const std::string& file : row.files) {
      PolicyOutcome outcome = mediaconch_policy(t.path(file));
      SCOPED_TRACE(file + " of " + row.args[0] + "\n" + outcome.report);
      EXPECT_EQ(outcome.passed, row.passes);
      if (row.passes || !row.failed.empty()) EXPECT_EQ(outcome.failed, row.failed);
      else EXPECT_TRUE(outcome.failed.count("RIFF WAVE file"));
    }
  }
}

}  // namespace
