#include "proxy/src/fetch/runtime.hpp"

namespace ostrevane {

std::unique_ptr<Runtime> build_runtime() {
  return std::make_unique<Runtime>();
}

}  // namespace ostrevane
