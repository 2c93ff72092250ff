// SPDX-License-Identifier: MIT
// The ASPI transport: loading the provider, executing one SCSI command, and
// the two log writers.
#pragma once

#include <cstdint>

#include "platform/log.h"
#include <cstdio>

#include "aspi/wnaspi32.h"

// Result words of ASPI_Call: status << 24 | sense byte 2 << 16 | ASC << 8 | ASCQ.
#define ASPI_RESULT_GOOD 0x01000000u
#define ASPI_RESULT_END_OF_DATA 0x04080005u
// MEDIUM ERROR 11/00: the frame cannot be read.
#define ASPI_RESULT_UNREADABLE 0x04031100u
#define ASPI_RESULT_STATUS(word) ((uint32_t)(word) >> 24)
// What ASPI_Call returns for a request it cannot hand to the provider (a CDB
// length outside 1-16, data without a buffer): status 0xE0, invalid request.
#define ASPI_RESULT_INVALID_REQUEST 0xE0000000u
// Returned instead of the word 0 by the commands whose success is 0 (WRITE,
// READ POSITION) when the command never completed, so that a time-out is not
// taken for success.
#define ASPI_RESULT_NOT_COMPLETED 0x00FFFFFFu
// A command that memory ran out for, in kestrel or in the provider (status
// 0xE9): the run ends as out of memory (platform/memory.h).
#define ASPI_RESULT_NO_MEMORY 0xE9000000u

extern "C" {

// Loads the provider that stands beside the program (or in ../lib/kestrel of
// an installed tree) and returns its number of host adapters (1-255), or -1
// after reporting why it cannot be used. The provider's warnings are
// reported as warnings from then on.
int32_t load_ASPI(void);
// Releases the provider; nothing happens when it was never loaded.
int32_t unload_ASPI(void);
// Executes one SCSI command and returns its result word; a top byte of 0
// means the command did not complete (time-out, no provider), and
// ASPI_RESULT_NO_MEMORY that memory ran out for it.
// The provider works on a request block and a copy of the data of ASPI_Call's
// own; a command still pending when timeout_ms has passed keeps both until
// the provider signals it (checked at every later call and at unload), so a
// late completion never writes into memory that has been given back.
uint32_t ASPI_Call(int adapter, int target, int lun, const uint8_t* cdb, int cdb_length, void* data,
                   uint32_t data_length, int data_out, uint32_t timeout_ms);

}

// For tests: a stand-in for the provider's SendASPI32Command (nullptr: the
// loaded provider's own).
void aspi_set_send_function(SendASPI32CommandFn send);
// Commands that timed out and that the provider has not yet finished.
int aspi_pending_commands(void);
// An entry point of the loaded provider beyond the three of ASPI, or nullptr.
void* aspi_provider_symbol(const char* name);

