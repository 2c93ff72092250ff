// For tests that look at what a lower layer says on the console: shows its
// reports on standard output as kestrel does, for the life of the object.
#pragma once

#include "platform/report.h"

struct ConsoleReports {
  ConsoleReports() { report_set_sink(report_to_console, nullptr); }
  ~ConsoleReports() { report_set_sink(nullptr, nullptr); }
};
