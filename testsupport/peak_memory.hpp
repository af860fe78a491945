#pragma once

#include <cstdint>

namespace ostrevane::test {

// This process's memory in bytes: what it holds now, and the most it has held
// since the last restart_peak_memory() (or since it started).
struct MemoryUse {
  std::uint64_t current = 0;
  std::uint64_t peak = 0;
};

// Returns this process's memory use; throws std::runtime_error when the
// system does not tell it.
MemoryUse memory_use();

// Starts a new peak at the current use where the system allows it (Linux);
// elsewhere the peak stays the process's own since its start.
void restart_peak_memory();

// How far the memory peak rises over a stretch of a test, on every system:
// where the peak cannot be restarted, a rise counts only past the old peak.
class PeakGrowth {
 public:
  // Restarts the peak where possible and takes the larger of the peak and
  // the current use as the baseline.
  PeakGrowth();

  // Returns the bytes by which the peak has passed the baseline, 0 when not.
  std::uint64_t bytes() const;

 private:
  std::uint64_t baseline_ = 0;
};

}  // namespace ostrevane::test
