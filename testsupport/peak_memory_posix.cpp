#include "testsupport/peak_memory.hpp"

#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ostrevane::test {
namespace {

// Returns the value, in bytes, of the "kB" line `name` of /proc/self/status.
std::optional<std::uint64_t> status_bytes(const std::string& status, std::string_view name) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
      std::istringstream value(line.substr(name.size() + 1));
      std::uint64_t kib = 0;
      if (value >> kib) {
        return kib * 1024;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

MemoryUse memory_use() {
  std::ifstream file("/proc/self/status");
  std::stringstream status;
  status << file.rdbuf();
  const std::optional<std::uint64_t> current = status_bytes(status.str(), "VmRSS");
  const std::optional<std::uint64_t> peak = status_bytes(status.str(), "VmHWM");
  if (!current || !peak) {
    throw std::runtime_error("/proc/self/status tells no VmRSS and VmHWM");
  }
  return MemoryUse{*current, *peak};
}

void restart_peak_memory() {
  // 5 resets the peak resident set to the current one (Linux 4.0 and later).
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace ostrevane::test
