// SPDX-License-Identifier: MIT
#include "platform/messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

MessageSink g_sink = nullptr;
void* g_context = nullptr;

}  // namespace

void message_set_sink(MessageSink sink, void* context) {
  g_sink = sink;
  g_context = context;
}

void message_text(const char* format, ...) {
  if (!g_sink) return;
  char text[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length >= static_cast<int>(sizeof text)) {
    std::string whole(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(whole.data(), whole.size(), format, again);
    g_sink(MESSAGE_OUTPUT, whole.c_str(), g_context);
  } else if (length >= 0) {
    g_sink(MESSAGE_OUTPUT, text, g_context);
  }
  va_end(again);
}

void message_warning(const char* text) {
  if (g_sink) g_sink(MESSAGE_WARNING, text, g_context);
}

void message_to_console(int stream, const char* text, void*) {
  std::fputs(text, stream == MESSAGE_WARNING ? stderr : stdout);
}
