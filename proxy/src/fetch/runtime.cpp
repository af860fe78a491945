#include "proxy/src/fetch/runtime.hpp"

#include <exception>

namespace ostrevane {

std::unique_ptr<Runtime> build_runtime() noexcept {
  try {
    return std::make_unique<Runtime>();
  } catch (const std::exception&) {
    // The pool's threads or the memory could not be had.
    return nullptr;
  }
}

}  // namespace ostrevane
