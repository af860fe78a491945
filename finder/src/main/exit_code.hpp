#pragma once

#include <string_view>

namespace ostrevane {

// The process's exit codes.
enum class ExitCode : int {
  kOk = 0,          // the flow succeeded, or any end of the interactive setup
  kFlowFailed = 1,  // report mode: the flow failed
  kBuild = 2,       // report mode: the trust material cannot be loaded
  kBrokenInvariant = 101,
};

// Thrown on a worker thread by broken_invariant(); worker_main catches it and
// ends the worker without storing an outcome.
struct WorkerStopped {
  std::string_view what;
};

// Marks the calling thread as an attempt's worker for broken_invariant().
void mark_worker_thread();

// Stops on a broken invariant: on the main thread the process ends with exit
// code 101; on a worker only the worker ends.
[[noreturn]] void broken_invariant(std::string_view what);

}  // namespace ostrevane
