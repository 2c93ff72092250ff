// SPDX-License-Identifier: MIT
// ASPI_Call: the request block it hands the provider, the result word, the
// zero fill of data-in buffers, and commands that outlive their time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/event.h"
#include "platform/memory.h"
#include "scsi/aspi_call.h"
#include "tests/scsi/fake_provider.h"

namespace {

struct AspiCall : ::testing::Test {
  FakeProvider* fake = fake_install();
  ~AspiCall() override { fake_uninstall(); }
};

const uint8_t kInquiry[6] = {0x12, 0, 0, 0, 36, 0};

TEST_F(AspiCall, FillsTheRequestBlockForADataInCommand) {
  uint8_t buffer[36];
  ASPI_Call(0x103, 0x205, 0x100, kInquiry, 6, buffer, sizeof buffer, 0, 25000);
  ASSERT_EQ(fake->commands.size(), 1u);
  const RecordedCommand& c = fake->commands[0];
  EXPECT_EQ(c.adapter, 3);  // the low byte of each address number
  EXPECT_EQ(c.target, 5);
  EXPECT_EQ(c.lun, 0);
  EXPECT_EQ(c.flags, 0x48);
  EXPECT_EQ(c.sense_length, 14);
  EXPECT_EQ(c.cdb, std::vector<uint8_t>(kInquiry, kInquiry + 6));
  EXPECT_EQ(c.data_length, 36u);
  EXPECT_EQ(c.timeout_ms, 25000u);
  EXPECT_TRUE(c.has_event);
  EXPECT_EQ(c.address32_fields, 0u);
}

TEST_F(AspiCall, SendsTheCallersBytesForADataOutCommand) {
  const uint8_t cdb[6] = {0x15, 0, 0, 0, 4, 0};
  uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(ASPI_Call(0, 4, 0, cdb, 6, data, 4, 1, 100), ASPI_RESULT_GOOD);
  EXPECT_EQ(fake->commands[0].flags, 0x50);
  EXPECT_EQ(fake->commands[0].data_out, std::vector<uint8_t>({1, 2, 3, 4}));
  EXPECT_EQ(data[0], 1) << "a data-out buffer is not cleared";
}

TEST_F(AspiCall, PacksStatusSenseKeyAscAndAscqIntoTheResultWord) {
  const uint8_t tur[6] = {};
  for (uint32_t word : {0x01000000u, 0x01010000u, 0x04080005u, 0x04033b00u, 0x82000000u, 0x044d0002u}) {
    fake->replies.push_back(reply_word(word));
    EXPECT_EQ(ASPI_Call(0, 4, 0, tur, 6, nullptr, 0, 0, 100), word);
  }
}

TEST_F(AspiCall, BytesTheDeviceDoesNotDeliverReadAsZero) {
  uint8_t buffer[100];
  std::memset(buffer, 0xEE, sizeof buffer);
  fake->replies.push_back(reply_data(std::vector<uint8_t>(36, 0x41)));
  ASPI_Call(0, 4, 0, kInquiry, 6, buffer, sizeof buffer, 0, 100);
  for (int i = 0; i < 36; ++i) EXPECT_EQ(buffer[i], 0x41) << i;
  for (int i = 36; i < 100; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

TEST_F(AspiCall, RefusesRequestsItCannotHandOn) {
  uint8_t cdb[17] = {};
  EXPECT_EQ(ASPI_Call(0, 4, 0, cdb, 0, nullptr, 0, 0, 100), ASPI_RESULT_INVALID_REQUEST);
  EXPECT_EQ(ASPI_Call(0, 4, 0, cdb, 17, nullptr, 0, 0, 100), ASPI_RESULT_INVALID_REQUEST);
  EXPECT_EQ(ASPI_Call(0, 4, 0, cdb, 6, nullptr, 10, 0, 100), ASPI_RESULT_INVALID_REQUEST);
  EXPECT_TRUE(fake->commands.empty());
}

// A provider that had no memory for the command: its word comes back, and
// the run is to end as out of memory.
TEST_F(AspiCall, AProviderWithoutMemoryEndsTheRunAsOutOfMemory) {
  const uint8_t tur[6] = {};
  EXPECT_EQ(ASPI_Call(0, 4, 0, tur, 6, nullptr, 0, 0, 100), ASPI_RESULT_GOOD);
  EXPECT_EQ(memory_has_run_out(), 0);
  fake->replies.push_back(reply_word(ASPI_RESULT_NO_MEMORY));
  EXPECT_EQ(ASPI_Call(0, 4, 0, tur, 6, nullptr, 0, 0, 100), ASPI_RESULT_NO_MEMORY);
  EXPECT_EQ(memory_has_run_out(), 1);
}

TEST_F(AspiCall, WithoutAProviderNothingCompletes) {
  fake_uninstall();
  EXPECT_EQ(ASPI_Call(0, 4, 0, kInquiry, 6, nullptr, 0, 0, 100), 0u);
}

// A provider that answers "pending" and finishes later on its own.
AspiExecRequest* g_held = nullptr;
uint32_t hold_send(void* request) {
  g_held = static_cast<AspiExecRequest*>(request);
  return ASPI_STATUS_PENDING;
}

void finish_held(uint8_t fill, uint8_t status) {
  std::memset(g_held->data, fill, g_held->data_length);
  g_held->status = status;
  g_held->sense[2] = 0x01;
  event_signal(static_cast<PlatformEvent*>(g_held->event));
}

TEST_F(AspiCall, WaitsForTheEventOfAPendingCommand) {
  aspi_set_send_function(hold_send);
  uint8_t buffer[8] = {};
  std::thread provider([] {
    while (!__atomic_load_n(&g_held, __ATOMIC_ACQUIRE)) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    finish_held(0x5A, ASPI_STATUS_COMPLETED);
  });
  uint32_t word = ASPI_Call(0, 4, 0, kInquiry, 6, buffer, sizeof buffer, 0, 5000);
  provider.join();
  g_held = nullptr;
  EXPECT_EQ(word, 0x01010000u);
  EXPECT_EQ(buffer[7], 0x5A);
  EXPECT_EQ(aspi_pending_commands(), 0);
}

TEST_F(AspiCall, TimedOutCommandKeepsItsBlockAndBufferUntilTheProviderIsDone) {
  aspi_set_send_function(hold_send);
  uint8_t buffer[64];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(ASPI_Call(0, 4, 0, kInquiry, 6, buffer, sizeof buffer, 0, 30), 0u) << "top byte 0: not completed";
  EXPECT_EQ(aspi_pending_commands(), 1);

  // The provider finishes late: it writes into the block and the data buffer
  // it was given, which must still be ASPI_Call's own and not the caller's.
  finish_held(0xFF, ASPI_STATUS_COMPLETED);
  g_held = nullptr;
  for (uint8_t b : buffer) EXPECT_EQ(b, 0);

  // The next command frees the finished one.
  aspi_set_send_function(nullptr);
  fake = fake_install();
  EXPECT_EQ(ASPI_Call(0, 4, 0, kInquiry, 6, nullptr, 0, 0, 100), ASPI_RESULT_GOOD);
  EXPECT_EQ(aspi_pending_commands(), 0);
}

}  // namespace
