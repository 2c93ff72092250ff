// SPDX-License-Identifier: MIT
// What a command's result word says, as one named status. The commands
// return both (TapeResult): callers switch on the status, and messages that
// show the word print it as the command gave it.
#pragma once

#include <cstdint>

enum TapeStatus {
  TAPE_GOOD = 0,          // completed, no sense data
  TAPE_RECOVERED,         // completed, with informational sense data
  TAPE_END_OF_DATA,       // BLANK CHECK: the end of the recorded data, or blank tape
  TAPE_NOT_READY,         // NOT READY: no cassette, or one still being loaded
  TAPE_MEDIUM_ERROR,      // MEDIUM ERROR: the frame cannot be read or written
  TAPE_WRITE_PROTECTED,   // DATA PROTECT
  TAPE_END_OF_MEDIUM,     // failed at the end of the tape (VOLUME OVERFLOW or the EOM flag)
  TAPE_POSITIONING,       // a positioning error (ASC 3B)
  TAPE_ILLEGAL_REQUEST,   // ILLEGAL REQUEST: the drive does not take the command
  TAPE_NO_DEVICE,         // no device answers at the address
  TAPE_PENDING,           // the command did not complete (time-out, no provider)
  TAPE_IN_USE,            // another process holds the drive: the command was not sent
  TAPE_NO_MEMORY,         // memory ran out for the command
  TAPE_UNIT_ATTENTION,    // UNIT ATTENTION: the drive was reset or its cassette changed; not carried out
  TAPE_ABORTED,           // cut off on the way: a bus reset, or a transfer that moved less than asked
  TAPE_OTHER,             // any other failure
};

TapeStatus tape_status(uint32_t word);

// A command's outcome: the status named from its result word, and the word.
struct TapeResult {
  TapeStatus status;
  uint32_t word;
};
inline TapeResult tape_result(uint32_t word) { return TapeResult{tape_status(word), word}; }
// Short lower-case name, for messages and reports ("end of data").
const char* tape_status_name(TapeStatus status);
// For a status after which the drive's place on the tape is not known, or
// the drive no longer answers, the plain words that end a read there;
// nullptr for any other.
const char* tape_lost_place(TapeStatus status);
// The command completed (good or recovered): its data, if any, arrived.
inline bool tape_completed(TapeStatus status) { return status == TAPE_GOOD || status == TAPE_RECOVERED; }
inline bool tape_completed(TapeResult result) { return tape_completed(result.status); }

// The sense bytes a word carries, for showing them.
inline uint8_t tape_sense_key(uint32_t word) { return static_cast<uint8_t>((word >> 16) & 0x0F); }
inline uint8_t tape_asc(uint32_t word) { return static_cast<uint8_t>(word >> 8); }
inline uint8_t tape_ascq(uint32_t word) { return static_cast<uint8_t>(word); }
