#include "testsupport/peak_memory.hpp"

#include <algorithm>

namespace ostrevane::test {

PeakGrowth::PeakGrowth() {
  restart_peak_memory();
  const MemoryUse use = memory_use();
  baseline_ = std::max(use.peak, use.current);
}

std::uint64_t PeakGrowth::bytes() const {
  const std::uint64_t peak = memory_use().peak;
  return peak > baseline_ ? peak - baseline_ : 0;
}

}  // namespace ostrevane::test
