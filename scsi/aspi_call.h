// The ASPI transport: loading the provider, executing one SCSI command, and
// the two log writers.
#pragma once

#include <cstdint>
#include <cstdio>

// Result words of ASPI_Call: status << 24 | sense byte 2 << 16 | ASC << 8 | ASCQ.
#define ASPI_RESULT_GOOD 0x01000000u
#define ASPI_RESULT_END_OF_DATA 0x04080005u
#define ASPI_RESULT_STATUS(word) ((uint32_t)(word) >> 24)

extern "C" {

// Loads the provider that stands beside the program (or in ../lib of an
// installed tree) and returns its number of host adapters (1-255), or -1
// after printing why it cannot be used.
int32_t load_ASPI(void);
// Releases the provider; nothing happens when it was never loaded.
int32_t unload_ASPI(void);
// Executes one SCSI command and returns its result word; a top byte of 0
// means the command did not complete (no event, time-out, no provider).
uint32_t ASPI_Call(int adapter, int target, int lun, const uint8_t* cdb, int cdb_length, void* data,
                   uint32_t data_length, int data_out, uint32_t timeout_ms);
// Sets the level of the "log.txt" writer and returns it (starts at 0).
int32_t RecVerbose(int32_t level);
// Appends at most 499 formatted characters to "log.txt" (dropped when it cannot
// be opened). Returns the number of characters written, or -1.
int log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes at most 499 formatted characters to the open track log. Returns the
// number written, 0 when no track log is open, -1 when the write fails.
int track_log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}

// The track log that track_log_printf writes to (nullptr: none is open).
void track_log_set(FILE* stream);
FILE* track_log_get(void);
