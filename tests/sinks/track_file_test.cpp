// SPDX-License-Identifier: MIT
// The three writers of a track's audio file (WAV, Broadcast WAV, FLAC): each
// leaves a file a reader accepts, holding the audio written, whole or up to a
// fault: a write refused mid-file, or the second interrupt's repair while the
// file is being written. A file finished is no longer one the repair touches.
#include "sinks/track_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <string>

#include "sinks/program_levels.h"
#include "sinks/valid_files.h"
#include "tests/support/e2e/archival_files.h"
#include "tests/support/e2e/tape.h"
#include "tests/support/temp_dir.h"

namespace {

enum Fault { NO_FAULT, WRITE_REFUSED, ABRUPT_EXIT };

const int kFrames = 60;
const int kFrameBytes = 5760;  // 16-bit stereo of one frame at 48 kHz

// The audio in a file as its reader gives it back; valid false when the
// reader refuses the file.
struct Audio {
  bool valid = false;
  std::string pcm;
};

Audio read_back(const std::string& path, bool flac, bool bwf) {
  Audio audio;
  if (flac) {
    audio.valid = flac_tests_ok(path);
    audio.pcm = flac_pcm(path);
  } else if (bwf) {
    RiffFile riff = read_riff(path);
    audio.valid = riff.valid && riff.chunks.count("bext") == 1;
    audio.pcm = riff.data();
  } else {
    WavFile wav = read_wav(path);
    audio.valid = wav.valid && wav.data_size == wav.data.size();
    audio.pcm = wav.data;
  }
  return audio;
}

// Noise, so that the encoder's frames take room.
std::string noise(size_t bytes) {
  std::string pcm(bytes, '\0');
  uint32_t x = 7;
  for (char& c : pcm) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return pcm;
}

TEST(TrackFile, WritersLeaveValidFilesWholeOrUpToAFault) {
  struct Row {
    const char* name;
    bool flac;
    bool bwf;
    Fault fault;
  } rows[] = {
      {"WAV", false, false, NO_FAULT},
      {"Broadcast WAV", false, true, NO_FAULT},
      {"FLAC", true, false, NO_FAULT},
      {"WAV, a write refused", false, false, WRITE_REFUSED},
      {"Broadcast WAV, a write refused", false, true, WRITE_REFUSED},
      {"FLAC, a write refused", true, false, WRITE_REFUSED},
      {"WAV, abrupt exit", false, false, ABRUPT_EXIT},
      {"Broadcast WAV, abrupt exit", false, true, ABRUPT_EXIT},
      {"FLAC, abrupt exit", true, false, ABRUPT_EXIT},
  };
  // A write beyond the file-size limit fails (EFBIG) instead of ending the test.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit unlimited{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const std::string pcm = noise(static_cast<size_t>(kFrames) * kFrameBytes);
  for (const Row& row : rows) {
    TempDir dir;
    RunSettings s{};
    std::snprintf(s.base_name, sizeof s.base_name, "%s/T", dir.path().c_str());
    s.flac_arg = row.flac;
    s.bwf_arg = row.bwf;
    TrackFile file;
    std::snprintf(file.drive, sizeof file.drive, "TEST DRIVE 1.0");
    FrameInfo info{};
    info.rate = 48000;
    testing::internal::CaptureStdout();
    ASSERT_EQ(track_file_open(&file, &s, 1, 0), 0) << row.name;
    const std::string path = file.name;
    if (row.fault == WRITE_REFUSED) {
      rlimit limit = unlimited;
      limit.rlim_cur = 100000;  // the audio of some 17 frames, less for FLAC's
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    int taken = 0;  // writes taken (a refused one may come to light only at the finish)
    for (; taken < kFrames; ++taken) {
      std::string frame = pcm.substr(static_cast<size_t>(taken) * kFrameBytes, kFrameBytes);
      if (track_file_write(&file, &info, reinterpret_cast<uint8_t*>(frame.data()), kFrameBytes) != 0) break;
    }
    Audio repaired;
    if (row.fault == ABRUPT_EXIT) {
      abrupt_exit_repair_files();  // as a second interrupt would, mid-file
      repaired = read_back(path, row.flac, row.bwf);
    }
    ConcealTotals totals{};
    int finished = track_file_finish(&file, &totals, 0, 0);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    std::string said = testing::internal::GetCapturedStdout();

    Audio audio = read_back(path, row.flac, row.bwf);
    EXPECT_TRUE(audio.valid) << row.name << "\n" << said;
    EXPECT_EQ(audio.pcm.size() % 4, 0u) << row.name << ": whole sample pairs only";
    EXPECT_EQ(audio.pcm, pcm.substr(0, audio.pcm.size())) << row.name << ": the audio written, in order";
    if (row.fault == WRITE_REFUSED) {
      EXPECT_NE(finished, 0) << row.name;
      EXPECT_NE(said.find("failed"), std::string::npos) << row.name << ": the failure is said\n" << said;
      EXPECT_LT(audio.pcm.size(), pcm.size()) << row.name;
    } else {
      EXPECT_EQ(taken, kFrames) << row.name << "\n" << said;
    }
    if (row.fault == NO_FAULT) {
      EXPECT_EQ(finished, 0) << row.name << "\n" << said;
      EXPECT_EQ(audio.pcm.size(), pcm.size()) << row.name;
    }
    if (row.fault == ABRUPT_EXIT) {
      EXPECT_TRUE(repaired.valid) << row.name << ": the repair left no valid file";
      EXPECT_EQ(repaired.pcm, pcm.substr(0, repaired.pcm.size())) << row.name;
    }

    // Finished, the file is the repair's no more: a file opened after it
    // (which may take its descriptor) is left alone, and so is the file.
    const std::string other = dir.file("other");
    const std::string other_bytes(300, 'x');
    ASSERT_TRUE(write_file(other, other_bytes));
    const std::string before = read_file(path);
    FILE* kept = std::fopen(other.c_str(), "r+b");
    ASSERT_NE(kept, nullptr);
    abrupt_exit_repair_files();
    std::fclose(kept);
    EXPECT_EQ(read_file(other), other_bytes) << row.name;
    EXPECT_EQ(read_file(path), before) << row.name;
  }
}

// The meter's lanes given a file's record stream whole or in pieces, with
// the loudness or without: a program that begins the file (a tone at -20
// dBFS), a blank frame, a second program at -6 dBFS with an unreadable frame
// and a clipped run across two frames. The second program's loudness, taken
// from the file's measurement, is that of its audio measured alone.
TEST(LevelMeter, ProgramsAreMeasuredAsTheRecordsTellThemApart) {
  const int kPairs = kFrameBytes / 4;
  std::vector<std::pair<LevelRecord, std::string>> stream;
  Loudness* alone[2] = {loudness_begin(48000), loudness_begin(48000)};
  for (int i = 0; i < 401; ++i) {
    LevelRecord r{kFrameBytes, i == 200 ? LEVEL_OUTSIDE : i == 300 ? LEVEL_UNREADABLE : LEVEL_FRAME,
                  i == 0 || i == 201, 0, 0, 0};
    std::string pcm(kFrameBytes, '\0');
    for (int n = 0; n < kPairs && r.kind == LEVEL_FRAME; ++n)
      for (int c = 0; c < 2; ++c) {
        double level = i < 200 ? 3277 : 16384;
        auto v = static_cast<int16_t>(std::lround(level * std::sin(2 * M_PI * 1000 * (i * kPairs + n) / 48000.0)));
        if (c == 1 && ((i == 350 && n >= kPairs - 2) || (i == 351 && n < 3))) v = 32767;
        std::memcpy(&pcm[static_cast<size_t>(4 * n + 2 * c)], &v, 2);
      }
    if (i != 200) {  // each program measured alone, all three parts on this thread
      const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
      loudness_add_energy(alone[i > 200], bytes, pcm.size());
      for (int c = 0; c < 2; ++c) loudness_add_channel_peak(loudness_channel(alone[i > 200], c), bytes, pcm.size());
    }
    stream.emplace_back(r, pcm);
  }
  const LoudnessFigures each[2] = {loudness_end(alone[0]), loudness_end(alone[1])};
  for (size_t piece : {size_t{kFrameBytes}, size_t{1000}})
    for (bool loudness : {true, false}) {
      SCOPED_TRACE(std::to_string(piece) + (loudness ? " with the loudness" : ""));
      LevelMeter* m = level_meter_begin(48000, loudness, true);
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(level_meter_lanes(m), loudness ? 3 : 1);
      for (int lane = 0; lane < level_meter_lanes(m); ++lane)
        for (const auto& [record, pcm] : stream) {
          ASSERT_EQ(level_meter_add(level_meter_lane(m, lane), reinterpret_cast<const uint8_t*>(&record), sizeof record), 0);
          for (size_t at = 0; at < pcm.size(); at += piece)
            ASSERT_EQ(level_meter_add(level_meter_lane(m, lane), reinterpret_cast<const uint8_t*>(pcm.data() + at),
                                      std::min(piece, pcm.size() - at)), 0);
        }
      LoudnessFigures file;
      std::vector<ProgramLevels> programs;
      level_meter_end(m, &file, &programs);
      ASSERT_EQ(programs.size(), 2u);
      EXPECT_EQ(programs[0].sample_offset, 0);
      EXPECT_EQ(programs[1].sample_offset, 201 * kPairs);
      EXPECT_EQ(programs[1].samples, 199 * kPairs);  // the unreadable frame is not measured
      EXPECT_EQ(programs[0].peak[0], 3277);
      EXPECT_EQ(programs[1].peak[1], 32767);
      EXPECT_EQ(programs[0].clipped_runs + programs[1].clipped_runs, 1);
      ASSERT_EQ(programs[1].clips.size(), 1u);
      EXPECT_EQ(programs[1].clips[0].frame, 149);
      EXPECT_EQ(programs[1].clips[0].sample_offset, 351 * kPairs - 2);
      EXPECT_EQ(programs[1].clips[0].samples, 5);
      EXPECT_EQ(programs[1].peak_per_second.size(), 6u);  // 200 frames: six seconds
      EXPECT_EQ(file.measured, loudness);
      EXPECT_EQ(programs[1].loudness.measured, loudness);
      if (!loudness) continue;
      for (int p = 0; p < 2; ++p) {
        EXPECT_NEAR(programs[p].loudness.integrated, each[p].integrated, 0.1) << p;
        EXPECT_NEAR(programs[p].loudness.true_peak, each[p].true_peak, 0.05) << p;
        EXPECT_NEAR(programs[p].loudness.max_short_term, each[p].max_short_term, 0.1) << p;
      }
      EXPECT_GT(programs[1].loudness.integrated - programs[0].loudness.integrated, 10);
    }
}

}  // namespace
