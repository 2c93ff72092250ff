#include "tests/support/e2e/bus_file.h"

#include "tests/support/temp_dir.h"

bool write_bus_file(const std::string& path, const std::vector<BusDrive>& drives, const BusKeys& bus_keys) {
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

ProcessOptions bus_options(const std::string& bus_path) {
  ProcessOptions options;
  options.env.push_back("KESTREL_BUS=" + bus_path);
  return options;
}
