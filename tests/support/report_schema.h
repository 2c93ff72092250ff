// SPDX-License-Identifier: MIT
// Transfer reports checked against the published schema
// (doc/report.schema.json) with python3-jsonschema, as a consumer of the
// reports would check them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The reports (NAME.json that kestrel wrote) in folder and the folders one
// level down (bags), written at or after since.
std::vector<std::string> reports_written_since(const std::string& folder, std::filesystem::file_time_type since);
// What the schema finds wrong in the reports, one line each; "" when all conform.
std::string report_schema_problems(const std::vector<std::string>& reports);
// What doc/events.schema.json finds wrong in the events (one JSON object a
// line), one line each; "" when all conform.
std::string event_schema_problems(const std::string& lines);
