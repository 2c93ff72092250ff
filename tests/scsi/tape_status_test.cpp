// SPDX-License-Identifier: MIT
// tape_status: the words the virtual drive, real drives and ASPI_Call give,
// each with the status a caller acts on.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "scsi/aspi_call.h"
#include "scsi/tape_status.h"

namespace {

struct Row {
  uint32_t word;
  TapeStatus status;
  const char* what;
};

const Row kRows[] = {
    {0x01000000u, TAPE_GOOD, "GOOD"},
    {0x01010000u, TAPE_RECOVERED, "RECOVERED ERROR"},
    {0x01400000u, TAPE_RECOVERED, "end-of-medium warning on a write that completed"},
    {0x01200000u, TAPE_RECOVERED, "incorrect length, completed"},
    {0x04080005u, TAPE_END_OF_DATA, "BLANK CHECK 00/05"},
    {0x04480005u, TAPE_END_OF_DATA, "BLANK CHECK with the EOM flag"},
    {0x04020401u, TAPE_NOT_READY, "becoming ready 04/01"},
    {0x04023A00u, TAPE_NOT_READY, "no cassette 3A/00"},
    {0x04031100u, TAPE_MEDIUM_ERROR, "unrecovered read error 11/00"},
    {0x04033000u, TAPE_MEDIUM_ERROR, "read in data mode 30/00"},
    {0x04030C00u, TAPE_MEDIUM_ERROR, "write error 0C/00"},
    {0x04072700u, TAPE_WRITE_PROTECTED, "DATA PROTECT 27/00"},
    {0x044D0002u, TAPE_END_OF_MEDIUM, "VOLUME OVERFLOW with EOM"},
    {0x04430000u, TAPE_END_OF_MEDIUM, "MEDIUM ERROR with EOM"},
    {0x04033B00u, TAPE_POSITIONING, "positioning error 3B/00"},
    {0x04043B00u, TAPE_POSITIONING, "HARDWARE ERROR 3B/00"},
    {0x04052000u, TAPE_ILLEGAL_REQUEST, "unknown command 20/00"},
    {0x04052400u, TAPE_ILLEGAL_REQUEST, "invalid field in CDB 24/00"},
    {0x82000000u, TAPE_NO_DEVICE, "no device at the address"},
    {0x00000000u, TAPE_PENDING, "never completed"},
    {ASPI_RESULT_NOT_COMPLETED, TAPE_PENDING, "the stand-in for 0 of WRITE and READ POSITION"},
    {0xE5000000u, TAPE_IN_USE, "another process holds the drive"},
    {ASPI_RESULT_NO_MEMORY, TAPE_NO_MEMORY, "no memory for the command, in ASPI_Call or the provider"},
    {ASPI_RESULT_INVALID_REQUEST, TAPE_OTHER, "refused by ASPI_Call"},
    {0x04040000u, TAPE_OTHER, "HARDWARE ERROR"},
    {0x04000000u, TAPE_OTHER, "error without sense"},
    {0x02000000u, TAPE_ABORTED, "aborted: a bus reset, or a transfer cut short"},
    {0x04062900u, TAPE_UNIT_ATTENTION, "UNIT ATTENTION 29/00, power on or reset"},
    {0x04062800u, TAPE_UNIT_ATTENTION, "UNIT ATTENTION 28/00, medium may have changed"},
};

TEST(TapeStatus, NamesEachResultWord) {
  std::set<int> seen;
  for (const Row& row : kRows) {
    EXPECT_EQ(tape_status(row.word), row.status) << std::hex << row.word << " " << row.what;
    EXPECT_EQ(tape_completed(row.status), row.status == TAPE_GOOD || row.status == TAPE_RECOVERED) << row.what;
    seen.insert(row.status);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(TAPE_OTHER) + 1) << "a status without a row";
  std::set<std::string> names;
  for (int s = TAPE_GOOD; s <= TAPE_OTHER; ++s) names.insert(tape_status_name(static_cast<TapeStatus>(s)));
  EXPECT_EQ(names.size(), static_cast<size_t>(TAPE_OTHER) + 1) << "two statuses share a name";
}

// The statuses after which a read cannot go on from where it stands have
// words of their own for it; a frame that cannot be read, the end of the
// data and the rest have none.
TEST(TapeStatus, SaysWhereTheDrivesPlaceIsLost) {
  for (int s = TAPE_GOOD; s <= TAPE_OTHER; ++s) {
    auto status = static_cast<TapeStatus>(s);
    bool lost = status == TAPE_PENDING || status == TAPE_UNIT_ATTENTION || status == TAPE_ABORTED ||
                status == TAPE_NO_DEVICE;
    EXPECT_EQ(tape_lost_place(status) != nullptr, lost) << tape_status_name(status);
  }
}

}  // namespace
