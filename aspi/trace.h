// SPDX-License-Identifier: MIT
// The command trace: one line for every SCSI command the provider executes,
// whichever drives it presents, written where KESTREL_TRACE says; and the
// same lines read back, for the virtual drive that replays a trace. The
// format is described in doc/trace.md; TRACE_VERSION_LINE opens every trace.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "aspi/block_status.h"
#include "aspi/wnaspi32.h"

#define TRACE_VERSION_LINE "kestrel-trace 1"

enum TraceDirection { TRACE_NONE = 0, TRACE_IN = 1, TRACE_OUT = 2 };

struct TraceWriter {
  FILE* file = nullptr;
  bool full_data = false;  // the bytes of audio frames too, not only their summary
  bool failed = false;     // a write failed: the trace stops there
  std::string path;
  std::vector<char> line;
};

// One command as a trace line gives it.
struct TraceRecord {
  uint8_t adapter = 0, target = 0, lun = 0;
  uint8_t cdb[16] = {};
  uint8_t cdb_length = 0;
  int direction = TRACE_NONE;
  uint32_t length = 0;
  uint8_t aspi_status = 0, scsi_status = 0, host_status = 0;
  std::vector<uint8_t> sense;  // empty: none
  int32_t resid = 0;
  bool has_sum = false;
  uint32_t sum = 0;  // of the bytes moved
  bool has_data = false;
  std::vector<uint8_t> data;  // the bytes moved: to the host (in) or the bytes offered (out)
};

// Opens (truncates) the trace and writes its head. 0, or -1 with errno.
int trace_open(TraceWriter* trace, const char* path, bool full_data);
// The line of one command: the block after it was executed, what the
// transport said, when it began (wall clock) and how long it took.
void trace_command(TraceWriter* trace, const AspiExecRequest* block, const TransportOutcome& outcome,
                   const timespec& began, int64_t microseconds);
// Writes out what is buffered and closes the trace. 0, or -1 when the trace
// could not be written whole.
int trace_close(TraceWriter* trace);

// The direction a request block moves its data in.
int trace_direction(const AspiExecRequest* block);
// A 32-bit FNV-1a checksum of bytes, the "sum" of a line.
uint32_t trace_sum(const void* bytes, size_t count);
// Bytes as lower-case hex without separators.
std::string trace_hex(const uint8_t* bytes, size_t count);

// Reads one line: 1 with the record of a command, 0 for the version line, a
// comment or a blank line, -1 for a line that is no command line.
int trace_parse_line(const std::string& line, TraceRecord* record);
// Reads a trace file: the commands of the drive at adapter:target:lun, in
// order. 0, or -1 with the reason in *why.
int trace_read_file(const std::string& path, uint8_t adapter, uint8_t target, uint8_t lun,
                    std::vector<TraceRecord>* records, std::string* why);
// What a command would need to be the recorded one: "" when the block asks
// the same (CDB, direction, length, and the bytes it sends), else what
// differs, both sides.
std::string trace_difference(const TraceRecord& expected, const AspiExecRequest* block);
// Answers the block as recorded: statuses, sense, the data sent to the host.
// 0, or -1 with the reason in *why when the record lacks bytes the answer
// needs (a READ recorded without KESTREL_TRACE_DATA=1).
int trace_answer(const TraceRecord& recorded, AspiExecRequest* block, std::string* why);
// The CDB, direction and length of a command as the trace writes them.
std::string trace_command_text(const uint8_t* cdb, uint8_t cdb_length, int direction, uint32_t length);
