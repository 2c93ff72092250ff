// SPDX-License-Identifier: MIT
#include "tests/scsi/fake_provider.h"

#include <algorithm>
#include <cstring>

#include "platform/event.h"
#include "scsi/aspi_call.h"

namespace {

FakeProvider g_fake;

uint32_t fake_send(void* request) {
  auto* b = static_cast<AspiExecRequest*>(request);
  RecordedCommand c;
  c.adapter = b->adapter;
  c.target = b->target;
  c.lun = b->lun;
  c.flags = b->flags;
  c.sense_length = b->sense_length;
  c.cdb.assign(b->cdb, b->cdb + b->cdb_length);
  c.data_length = b->data_length;
  if ((b->flags & ASPI_FLAG_DATA_OUT) && b->data)
    c.data_out.assign(static_cast<uint8_t*>(b->data), static_cast<uint8_t*>(b->data) + b->data_length);
  c.timeout_ms = b->timeout_ms;
  c.has_event = b->event != nullptr;
  c.address32_fields = b->data_address32 | b->event_address32;
  g_fake.commands.push_back(c);

  FakeReply r;
  if (!g_fake.replies.empty()) {
    r = g_fake.replies.front();
    g_fake.replies.pop_front();
  }
  if (b->data && !r.data_in.empty())
    std::memcpy(b->data, r.data_in.data(), std::min<size_t>(r.data_in.size(), b->data_length));
  b->status = r.status;
  b->sense[2] = r.sense2;
  b->sense[12] = r.asc;
  b->sense[13] = r.ascq;
  if (b->event) event_signal(static_cast<PlatformEvent*>(b->event));
  return b->status;
}

}  // namespace

FakeProvider* fake_install() {
  g_fake = FakeProvider();
  aspi_set_send_function(fake_send);
  return &g_fake;
}

void fake_uninstall() { aspi_set_send_function(nullptr); }

FakeReply reply_word(uint32_t word) {
  FakeReply r;
  r.status = static_cast<uint8_t>(word >> 24);
  r.sense2 = static_cast<uint8_t>(word >> 16);
  r.asc = static_cast<uint8_t>(word >> 8);
  r.ascq = static_cast<uint8_t>(word);
  return r;
}

FakeReply reply_data(std::vector<uint8_t> data) {
  FakeReply r;
  r.data_in = std::move(data);
  return r;
}
