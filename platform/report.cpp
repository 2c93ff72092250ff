#include "platform/report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

ReportSink g_sink = nullptr;
void* g_context = nullptr;

}  // namespace

void report_set_sink(ReportSink sink, void* context) {
  g_sink = sink;
  g_context = context;
}

void report_text(const char* format, ...) {
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
    g_sink(REPORT_OUTPUT, whole.c_str(), g_context);
  } else if (length >= 0) {
    g_sink(REPORT_OUTPUT, text, g_context);
  }
  va_end(again);
}

void report_warning(const char* text) {
  if (g_sink) g_sink(REPORT_WARNING, text, g_context);
}

void report_to_console(int stream, const char* text, void*) {
  std::fputs(text, stream == REPORT_WARNING ? stderr : stdout);
}
