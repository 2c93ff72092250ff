// SPDX-License-Identifier: MIT
// The command trace: the line each command gives, reading it back, and the
// drive that replays a trace.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "aspi/trace.h"
#include "base/dat_format.h"
#include "aspi/virtual_bus.h"
#include "tests/support/e2e/bus_file.h"
#include "tests/support/cassette.h"
#include "tests/support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

AspiExecRequest block_of(const Bytes& cdb, void* data, uint32_t length, bool out) {
  AspiExecRequest b{};
  b.command = ASPI_CMD_EXEC_SCSI;
  b.target = 4;
  b.flags = out ? ASPI_FLAG_DATA_OUT : ASPI_FLAG_DATA_IN;
  b.data = data;
  b.data_length = length;
  b.sense_length = ASPI_SENSE_LENGTH;
  b.cdb_length = static_cast<uint8_t>(cdb.size());
  std::memcpy(b.cdb, cdb.data(), cdb.size());
  return b;
}

// The one command line a block and its outcome give.
std::string traced_line(const AspiExecRequest& b, const TransportOutcome& outcome, bool full_data) {
  TempDir dir;
  TraceWriter trace;
  EXPECT_EQ(trace_open(&trace, dir.file("t").c_str(), full_data), 0);
  timespec began{3600 * 24 * 10 + 3600 * 5 + 60 * 4 + 3, 7000};
  trace_command(&trace, &b, outcome, began, 42);
  EXPECT_EQ(trace_close(&trace), 0);
  std::string text = read_file(dir.file("t"));
  EXPECT_EQ(text.rfind(TRACE_VERSION_LINE "\n", 0), 0u);
  size_t last = text.rfind('\n', text.size() - 2);
  return text.substr(last + 1, text.size() - last - 2);
}

TEST(Trace, EachCommandGivesOneLineThatReadsBackTheSame) {
  DatFrame frame{};
  recording_frame(&frame, Recording{.program = 12, .start_id_frames = 6}, 5, 40, 40);  // program time 5, start ID
  frame.interpolate_flags = 0x60;
  uint8_t abs[4];
  dat_time_code_of_frames(40, abs);
  std::string abs_text = trace_hex(abs, 1) + ":" + trace_hex(abs + 1, 1) + ":" + trace_hex(abs + 2, 1) + ":" +
                         trace_hex(abs + 3, 1);
  uint8_t inquiry[255] = {1, 0x80, 2, 2, 31};
  uint8_t select[12] = {0, 0, 0x10, 8, 0x80};
  TransportOutcome good;
  TransportOutcome inquiry_short;
  inquiry_short.resid = 219;
  TransportOutcome sg;
  sg.sg_sent = true;
  sg.sg_host_status = 0x0007;
  sg.sg_driver_status = 0x0008;
  sg.sg_info = 1;
  TransportOutcome failed_ioctl;
  failed_ioctl.sg_sent = true;
  failed_ioctl.sg_errno = 5;
  failed_ioctl.resid = 5822;

  struct Case {
    const char* what;
    Bytes cdb;
    void* data;
    uint32_t length;
    bool out;
    uint8_t status, target_status;
    Bytes sense;
    TransportOutcome outcome;
    bool full_data;
    std::string head;                // the line after its time
    std::vector<std::string> parts;  // further text it holds
    std::vector<std::string> absent;
    size_t data_bytes;               // the bytes its data= gives back
  } cases[] = {
      {"INQUIRY, short", {0x12, 0, 0, 0, 0xFF, 0}, inquiry, 255, false, 1, 0, {}, inquiry_short, false,
       "0:4:0 12000000ff00 in 255 01/00/00 - 219 42", {" sum=", " data=01800202"}, {"pno="}, 36},
      {"TEST UNIT READY", {0, 0, 0, 0, 0, 0}, nullptr, 0, false, 1, 0, {}, good, false,
       "0:4:0 000000000000 none 0 01/00/00 - 0 42", {}, {"sum=", "data=", "sg="}, 0},
      {"READ, summarised", {0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false, 1, 0, {}, good, false,
       "0:4:0 08000016be00 in 5822 01/00/00 - 0 42",
       {" pno=012 abs=" + abs_text + " sid=", " flags=60 sum="}, {"data="}, 0},
      {"READ, with the frame's bytes", {0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false, 1, 0, {}, good, true,
       "0:4:0 08000016be00 in 5822 01/00/00 - 0 42", {" pno=012 ", " data="}, {}, sizeof frame},
      {"READ, medium error on the SCSI generic path", {0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false, 4, 2,
       {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0}, sg, false,
       "0:4:0 08000016be00 in 5822 04/02/00 700003000000000a000000001100 0 42 sg=0007/0008/01", {}, {}, 0},
      {"WRITE, summarised", {0x0A, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, true, 1, 0, {}, good, false,
       "0:4:0 0a000016be00 out 5822 01/00/00 - 0 42", {" pno=012 ", " sum="}, {"data="}, 0},
      {"MODE SELECT, always with its bytes", {0x15, 0, 0, 0, 12, 0}, select, sizeof select, true, 1, 0, {}, good,
       false, "0:4:0 150000000c00 out 12 01/00/00 - 0 42", {" data=000010088000000000000000"}, {}, 12},
      {"SG_IO failing with an errno", {0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false, 4, 0, {},
       failed_ioctl, false, "0:4:0 08000016be00 in 5822 04/00/00 - 5822 42 sg=0000/0000/00 errno=5", {}, {"sum="}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AspiExecRequest b = block_of(c.cdb, c.data, c.length, c.out);
    b.status = c.status;
    b.target_status = c.target_status;
    std::copy(c.sense.begin(), c.sense.end(), b.sense);
    std::string line = traced_line(b, c.outcome, c.full_data);
    EXPECT_EQ(line.rfind("05:04:03.000007 " + c.head, 0), 0u) << line.substr(0, 200);
    for (const std::string& part : c.parts) EXPECT_NE(line.find(part), std::string::npos) << part;
    for (const std::string& part : c.absent) EXPECT_EQ(line.find(part), std::string::npos) << part;

    TraceRecord r;
    ASSERT_EQ(trace_parse_line(line, &r), 1);
    EXPECT_EQ(Bytes(r.cdb, r.cdb + r.cdb_length), c.cdb);
    EXPECT_EQ(r.direction, c.length == 0 ? TRACE_NONE : c.out ? TRACE_OUT : TRACE_IN);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(r.aspi_status, c.status);
    EXPECT_EQ(r.scsi_status, c.target_status);
    EXPECT_EQ(r.sense, c.sense);
    EXPECT_EQ(r.resid, c.outcome.resid);
    EXPECT_EQ(r.has_data, c.data_bytes > 0);
    EXPECT_EQ(r.data.size(), c.data_bytes);
    if (c.data_bytes > 0) {
      EXPECT_EQ(std::memcmp(r.data.data(), c.data, c.data_bytes), 0);
    }
    size_t moved = c.length - static_cast<size_t>(c.outcome.resid);
    EXPECT_EQ(r.has_sum, moved > 0);
    if (moved > 0) {
      EXPECT_EQ(r.sum, trace_sum(c.data, moved));
    }
  }
}

TEST(Trace, LinesThatAreNoCommandLines) {
  TraceRecord r;
  struct Case {
    std::string line;
    int kind;
  } cases[] = {
      {TRACE_VERSION_LINE, 0},
      {"# a comment", 0},
      {"", 0},
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00/00 - 0 42", 1},
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00/00 - 0", -1},              // no duration
      {"05:04:03.000007 0:4 000000000000 none 0 01/00/00 - 0 42", -1},             // no LUN
      {"05:04:03.000007 0:4:0 0000000000 00 none 0 01/00/00 - 0 42", -1},         // CDB split
      {"05:04:03.000007 0:4:0 00000000000g none 0 01/00/00 - 0 42", -1},          // not hex
      {"05:04:03.000007 0:4:0 000000000000 sideways 0 01/00/00 - 0 42", -1},      // direction
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00 - 0 42", -1},             // two statuses
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00/100 - 0 42", -1},         // beyond a byte
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00/00 700 0 42", -1},        // odd sense
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00/00 - 0 42 data=0", -1},   // odd data
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00/00 - 0 42 stray", -1},    // no key
      {"05:04:03.000007 0:4:0 000000000000 none 0 01/00/00 - -3 42 later=1", 1},  // keys to come pass
  };
  for (const Case& c : cases) EXPECT_EQ(trace_parse_line(c.line, &r), c.kind) << c.line;
}

TEST(Trace, DifferencesNameBothSidesAndAnswersNeedTheBytes) {
  std::string dir_path = std::string(KESTREL_SOURCE_DIR) + "/tests/aspi/traces/short.trace";
  std::vector<TraceRecord> records;
  std::string why;
  ASSERT_EQ(trace_read_file(dir_path, 0, 4, 0, &records, &why), 0) << why;
  ASSERT_EQ(records.size(), 5u);  // the command of 0:5:0 is another drive's
  const TraceRecord& select = records[3];
  const TraceRecord& read = records[4];

  uint8_t list[12] = {0, 0, 0x10, 8, 0x80, 0, 0, 0, 0, 0, 0, 2};
  uint8_t other[12] = {0, 0, 0x10, 8, 0x13, 0, 0, 0, 0, 0, 0, 2};
  DatFrame frame{};
  struct Case {
    const char* what;
    const TraceRecord& expected;
    Bytes cdb;
    void* data;
    uint32_t length;
    bool out;
    std::string difference;
  } cases[] = {
      {"the same", select, {0x15, 0, 0, 0, 12, 0}, list, 12, true, ""},
      {"other bytes sent", select, {0x15, 0, 0, 0, 12, 0}, other, 12, true,
       "the data sent differs from byte 4 on (150000000c00 out 12)"},
      {"another length", select, {0x15, 0, 0, 0, 12, 0}, list, 11, true,
       "expected 150000000c00 out 12, got 150000000c00 out 11"},
      {"another command", select, {0x1A, 0, 0, 0, 12, 0}, list, 12, false,
       "expected 150000000c00 out 12, got 1a0000000c00 in 12"},
      {"a READ, the same", read, {0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false, ""},
      {"a WRITE where a READ was", read, {0x0A, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, true,
       "expected 08000016be00 in 5822, got 0a000016be00 out 5822"},
  };
  for (const Case& c : cases) {
    AspiExecRequest b = block_of(c.cdb, c.data, c.length, c.out);
    EXPECT_EQ(trace_difference(c.expected, &b), c.difference) << c.what;
  }
  // A WRITE recorded by its sum only is compared by its sum.
  TraceRecord write = read;
  write.cdb[0] = 0x0A;
  write.direction = TRACE_OUT;
  write.sum = trace_sum(&frame, sizeof frame);
  AspiExecRequest b = block_of({0x0A, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, true);
  EXPECT_EQ(trace_difference(write, &b), "");
  frame.audio[7] ^= 1;
  EXPECT_EQ(trace_difference(write, &b).rfind("expected data sum ", 0), 0u);

  // A READ recorded without its frame's bytes cannot be answered.
  b = block_of({0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false);
  EXPECT_EQ(trace_answer(read, &b, &why), -1);
  EXPECT_NE(why.find("KESTREL_TRACE_DATA=1"), std::string::npos) << why;
}

// A drive that replays the checked-in trace, and what it says when the
// commands differ from it.
TEST(Trace, ReplayingDriveAnswersAsRecordedAndReportsTheRest) {
  TempDir dir;
  std::string trace = std::string(KESTREL_SOURCE_DIR) + "/tests/aspi/traces/short.trace";
  ASSERT_TRUE(write_bus_file(dir.file("bus.ini"), {{"0:4", {{"replay", trace}}}, {"0:6", {{"replay", "missing.trace"}}}}));
  static std::string said;
  said.clear();
  vbus_set_message_sink([](const char* text, void*) { said += text; }, nullptr);
  VirtualBus bus;
  ASSERT_EQ(vbus_load(dir.file("bus.ini").c_str(), &bus), 0);
  EXPECT_NE(said.find("cannot replay " + dir.file("missing.trace") + ": cannot read it"), std::string::npos) << said;

  uint8_t inquiry[36] = {};
  uint8_t list[12] = {0, 0, 0x10, 8, 0x80, 0, 0, 0, 0, 0, 0, 2};
  DatFrame frame{};
  struct Step {
    Bytes cdb;
    void* data;
    uint32_t length;
    bool out;
    uint8_t status;
    uint8_t sense_key;
    std::string said;  // a report that contains this; "" for none
  } steps[] = {
      {{0x12, 0, 0, 0, 36, 0}, inquiry, 36, false, 1, 0, ""},
      {{0, 0, 0, 0, 0, 0}, nullptr, 0, false, 4, 2, ""},
      {{0x15, 0, 0, 0, 12, 0}, list, 12, true, 4, 0, "command 3: expected 000000000000 none 0, got 150000000c00 out 12"},
      {{0, 0, 0, 0, 0, 0}, nullptr, 0, false, 1, 0, ""},
      {{0x15, 0, 0, 0, 12, 0}, list, 12, true, 1, 0, ""},
      {{0x08, 0, 0, 0x16, 0xBE, 0}, &frame, sizeof frame, false, 4, 0, "command 5: the trace holds no bytes"},
  };
  for (const Step& s : steps) {
    said.clear();
    AspiExecRequest b = block_of(s.cdb, s.data, s.length, s.out);
    vbus_execute(&bus, &b);
    SCOPED_TRACE(trace_hex(s.cdb.data(), s.cdb.size()));
    EXPECT_EQ(b.status, s.status);
    EXPECT_EQ(b.sense[2] & 0x0F, s.sense_key);
    if (s.said.empty()) {
      EXPECT_EQ(said, "");
    } else {
      EXPECT_NE(said.find(trace + ": replay at 0:4:0, " + s.said), std::string::npos) << said;
    }
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 8, 8), "SONY    ");
  // The drive without a trace answers nothing, and says so.
  said.clear();
  AspiExecRequest b = block_of({0, 0, 0, 0, 0, 0}, nullptr, 0, false);
  b.target = 6;
  vbus_execute(&bus, &b);
  EXPECT_EQ(b.status, ASPI_STATUS_ERROR);
  EXPECT_NE(said.find("expected the end of the trace, got 000000000000 none 0"), std::string::npos) << said;
  vbus_set_message_sink(nullptr, nullptr);
  vbus_close(&bus);
}

}  // namespace
