// SPDX-License-Identifier: MIT
// Virtual DAT drives: the drives a bus file lists, each with an optional
// cassette file (the frames of the tape from its beginning, back to back),
// answering the commands of a DDS drive with audio firmware.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "aspi/block_status.h"
#include "aspi/scsi_codes.h"
#include "aspi/trace.h"
#include "aspi/wnaspi32.h"

struct VirtualDrive {
  // From the bus file.
  uint8_t adapter = 0;
  uint8_t target = 0;
  char vendor[8];
  char product[16];
  char revision[4];
  uint8_t device_type = 1;
  std::string cassette;  // the file, "" when there is no tape in the drive
  bool write_protect = false;
  bool never_ready = false;
  uint32_t not_ready_left = 0;  // TEST UNIT READY commands still to answer NOT READY
  bool density_stuck = false;
  std::vector<uint64_t> read_errors;  // ascending frame indices
  // Frames that misread now and then: a READ of one gives a damaged copy
  // (both interpolation flags set, samples altered) or, when unreadable,
  // fails with MEDIUM ERROR, with the given probability on each read.
  struct Flaky {
    uint64_t index;
    double probability;
    bool unreadable;
  };
  std::vector<Flaky> flaky;         // ascending frame indices, one entry each
  uint64_t seed = 0;                // every draw comes from it, the frame and the count of its reads
  uint32_t locate_slop = 0;         // an audio LOCATE stops up to this many frames early
  uint32_t write_error_at = 0;        // the WRITE (counted from 1) that fails; 0: none
  uint8_t write_error_asc = 0x3B;
  int64_t capacity = -1;  // frames the cassette holds; -1: unlimited
  uint32_t search_polls = 0;
  double speed = 1.0;           // READ and WRITE, times the normal playing speed
  double search_speed = 200.0;  // LOCATE and REWIND, times the normal playing speed
  double locate_seconds = 1.0;  // to settle after a LOCATE or REWIND
  // A drive that replays a trace: it answers every command from the lines
  // of its own address in that file, in order, and has nothing else.
  std::string replay;
  std::vector<TraceRecord> replay_records;
  size_t replay_next = 0;         // the record the next command must match
  uint32_t replay_reported = 0;   // commands reported as not matching
  // Behind the SCSI generic loopback: the SG_IO (counted from 1) that fails
  // with sg_errno instead of reaching the drive; 0: none.
  uint32_t sg_errno_at = 0;
  int sg_errno = 0;
  uint32_t sg_calls = 0;  // SG_IOs so far
  // What real drives do and the model otherwise leaves out.
  bool unit_attention = false;   // UNIT ATTENTION on the first command after power-on and after a load
  // After power-on and after a load, the drive threads the tape: this many
  // commands (INQUIRY aside) answer NOT READY, becoming ready. kestrel polls
  // every 100 ms, so 30 stand for about 3 seconds.
  uint32_t becoming_ready = 0;
  uint32_t short_read_at = 0;    // the READ (counted from 1) whose transfer is cut short; 0: none
  uint32_t short_read_bytes = 0; // the bytes it moves
  uint32_t hang_at = 0;          // from this READ on the drive answers nothing; 0: never
  uint32_t bus_reset_at = 0;     // the READ during which the bus is reset; 0: never

  // What the transport has done: READs and WRITEs that moved the tape by a
  // frame, LOCATEs and REWINDs carried out, and the frames those passed.
  uint64_t tape_reads = 0;
  uint64_t tape_writes = 0;
  uint64_t locates = 0;
  uint64_t frames_searched = 0;

  // The drive's state.
  int fd = -1;             // the cassette file, -1 while it does not exist
  bool read_only = false;  // the file could only be opened for reading
  // Taken for this process by its first command (vbus_claim): the cassette
  // file is locked, and made (empty) if it was missing.
  bool claimed = false;
  bool made_by_claim = false;  // removed again at vbus_close while still empty
  uint64_t frames = 0;     // recorded frames: the end of data
  bool loaded = false;
  uint64_t position = 0;  // frame index of the next READ or WRITE
  uint8_t density = DENSITY_DATA;
  uint8_t mrs_flags = 0;  // the fourth byte of mode page 0x30
  uint32_t writes = 0;    // WRITE commands received
  bool searching = false;  // an immediate audio LOCATE is under way
  // Frames read ahead from the cassette file, so that a run of READs costs
  // one file read per batch.
  std::vector<uint8_t> read_ahead;
  uint64_t read_ahead_first = 0;
  uint64_t read_ahead_count = 0;
  uint64_t search_from = 0;
  uint64_t search_to = 0;
  uint32_t search_polls_done = 0;
  std::vector<uint32_t> flaky_reads;  // READs so far of each flaky frame, in the order of flaky
  std::vector<std::pair<uint64_t, uint32_t>> locates_to;  // audio LOCATEs so far to each frame
  uint32_t transferred = 0;  // bytes the command in progress has moved
  uint32_t reads = 0;        // READ commands received
  // The UNIT ATTENTION the next command answers (ASC and ASCQ); 0: none.
  uint8_t attention_asc = 0;
  uint8_t attention_ascq = 0;
  uint32_t threading_left = 0;  // commands still to answer becoming ready
  bool hung = false;    // stopped answering
};

// How a command ended beyond what the request block says: answered, not
// answered within the caller's time-out, or cut off by a bus reset.
enum VbusEnd { VBUS_ANSWERED = 0, VBUS_TIMED_OUT, VBUS_RESET };

// Where the warnings of every bus go (nullptr: standard error).
void vbus_set_message_sink(ASPI32MessageSink sink, void* context);
// One whole warning, ending in a line end, to that sink.
void vbus_say(const std::string& text);

struct VirtualBus {
  std::string path;
  std::vector<VirtualDrive> drives;
  int adapter_count = 0;      // highest listed adapter + 1
  uint32_t interrupt_at = 0;  // [bus] interrupt_at; 0: never
  uint32_t interrupts = 1;    // [bus] interrupts: how many SIGINTs then (2: the second ends kestrel at once)
  uint32_t transfers = 0;     // READ and WRITE commands so far
  uint32_t interrupt_at_poll = 0;  // [bus] interrupt_at_poll; 0: never
  uint32_t polls = 0;              // TEST UNIT READY and READ POSITION commands so far
  std::string stats;               // [bus] stats: where vbus_write_stats puts the tally; "": nowhere
  TransportOutcome last;           // of the last command executed
  VbusEnd last_end = VBUS_ANSWERED;  // how the last command ended
  bool sg_transport = false;       // [bus] transport = sg: served through the SCSI generic loopback
};

// Reads the bus file and opens the cassettes. Problems with single keys or
// sections are reported on standard error and passed over. Returns 0, or -1
// (after a message) when the file cannot be read.
int vbus_load(const char* path, VirtualBus* bus);
VirtualDrive* vbus_find(VirtualBus* bus, uint8_t adapter, uint8_t target, uint8_t lun);
// Takes a drive for this bus until vbus_close: an exclusive lock on its
// cassette file (flock), which no other process (nor another bus of this
// one) can take meanwhile, so two runs never work on one cassette, whichever
// drive entries and bus files name it. Drives of this bus that name the same
// cassette share the lock, so that one run may use both. A missing cassette
// is made empty to carry the lock. 0, or -1 when another holder has it. A
// drive without a cassette has nothing to lock.
int vbus_claim(VirtualBus* bus, VirtualDrive* drive);
// Executes one request block (ASPI_CMD_EXEC_SCSI) and sets its status; the
// first command to a drive claims it, and while another holds it every
// command fails with ASPI_STATUS_IN_USE.
void vbus_execute(VirtualBus* bus, AspiExecRequest* block);
// Closes the cassette files, which ends the claims; a cassette the claim made
// and nothing was written to is removed.
void vbus_close(VirtualBus* bus);

// The seconds a real drive's transport would have spent on what this one did.
double vdrive_seconds(const VirtualDrive* d);
// Writes the tally of every drive as one JSON object to the bus's stats file,
// whole or not at all (a temporary file in the same folder, then renamed),
// with the state each drive is left in (tape loaded, density code).
// Returns 0, also when no stats file is asked for, or -1 after a warning.
int vbus_write_stats(const VirtualBus* bus);

// A draw in [0, 1), the same for the same seed, frame and count (the n-th
// read of the frame, or the n-th LOCATE to it).
double vbus_draw(uint64_t seed, uint64_t frame, uint64_t count);

// Running time: a frame index as a BCD time code (100 frames in 3 seconds),
// and back (-1 for a time code that is not valid).
void vbus_index_to_time_code(uint64_t index, uint8_t* time_code);
int64_t vbus_time_code_to_index(const uint8_t* time_code);
