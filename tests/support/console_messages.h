// SPDX-License-Identifier: MIT
// For tests that look at what a lower layer says on the console: shows its
// messages on standard output as kestrel does, for the life of the object.
#pragma once

#include "platform/messages.h"

struct ConsoleMessages {
  ConsoleMessages() { message_set_sink(message_to_console, nullptr); }
  ~ConsoleMessages() { message_set_sink(nullptr, nullptr); }
};
