// SPDX-License-Identifier: MIT
// A provider for unit tests, installed through aspi_set_send_function: it
// records every request block and answers from a queue of replies (GOOD
// without data when the queue is empty).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "aspi/wnaspi32.h"

struct RecordedCommand {
  uint8_t adapter, target, lun, flags, sense_length;
  std::vector<uint8_t> cdb;
  uint32_t data_length;
  std::vector<uint8_t> data_out;  // what a data-out command sent
  uint32_t timeout_ms;
  bool has_event;
  uint32_t address32_fields;  // the 32-bit address fields, which must stay 0
};

struct FakeReply {
  uint8_t status = ASPI_STATUS_COMPLETED;
  uint8_t sense2 = 0, asc = 0, ascq = 0;
  std::vector<uint8_t> data_in;  // delivered to the host (at most the block's length)
};

struct FakeProvider {
  std::vector<RecordedCommand> commands;
  std::deque<FakeReply> replies;
};

// Installs a fresh fake provider and returns it; uninstalled by fake_uninstall.
FakeProvider* fake_install();
void fake_uninstall();

FakeReply reply_word(uint32_t word);  // status and sense bytes from a result word
FakeReply reply_data(std::vector<uint8_t> data);
