#include "testsupport/peak_memory.hpp"

#include <windows.h>
// psapi.h needs windows.h before it.
#include <psapi.h>

#include <stdexcept>

#include "platform/os_error.hpp"

namespace ostrevane::test {

MemoryUse memory_use() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    throw std::runtime_error("GetProcessMemoryInfo: " +
                             platform::os_error_text(static_cast<int>(GetLastError())));
  }
  return MemoryUse{counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

void restart_peak_memory() {
  // Windows keeps one peak working set for the process's whole life.
}

}  // namespace ostrevane::test
