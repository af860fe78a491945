#include "finder/src/main/exit_code.hpp"

#include <cstdio>
#include <cstdlib>

namespace ostrevane {
namespace {

thread_local bool is_worker = false;

}  // namespace

void mark_worker_thread() {
  is_worker = true;
}

void broken_invariant(std::string_view what) {
  if (is_worker) {
    throw WorkerStopped{what};
  }
  std::fprintf(stderr, "broken invariant: %.*s\n", static_cast<int>(what.size()), what.data());
  std::fflush(stderr);
  std::_Exit(static_cast<int>(ExitCode::kBrokenInvariant));
}

}  // namespace ostrevane
