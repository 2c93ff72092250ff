// SPDX-License-Identifier: MIT
#include "tests/support/e2e/bus_file.h"

#include <cstdlib>

#include "tests/support/temp_dir.h"

BusKeys with_test_transport(BusKeys bus_keys) {
  const char* transport = std::getenv("KESTREL_TEST_TRANSPORT");
  if (!transport || !*transport) return bus_keys;
  for (const auto& [key, value] : bus_keys)
    if (key == "transport") return bus_keys;
  bus_keys.push_back({"transport", transport});
  return bus_keys;
}

bool write_bus_file(const std::string& path, const std::vector<BusDrive>& drives, const BusKeys& given_bus_keys) {
  BusKeys bus_keys = with_test_transport(given_bus_keys);
  std::string text;
  for (const BusDrive& drive : drives) {
    text += "[" + drive.address + "]\n";
    for (const auto& [key, value] : drive.keys) text += key + " = " + value + "\n";
    text += "\n";
  }
  if (!bus_keys.empty()) {
    text += "[bus]\n";
    for (const auto& [key, value] : bus_keys) text += key + " = " + value + "\n";
  }
  return write_file(path, text);
}

ProcessOptions bus_options(const std::string& bus_path, ProcessOptions options) {
  options.env.push_back("KESTREL_BUS=" + bus_path);
  return options;
}

double stats_figure(const std::string& stats_json, const char* key) {
  std::string quoted = std::string("\"") + key + "\": ";
  size_t at = stats_json.find(quoted);
  return at == std::string::npos ? -1.0 : std::strtod(stats_json.c_str() + at + quoted.size(), nullptr);
}
