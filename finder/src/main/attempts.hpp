#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>

#include "finder/src/lib/failure.hpp"
#include "finder/src/lib/progress.hpp"
#include "finder/src/lib/trust_material.hpp"
#include "proxy/src/fetch/runtime.hpp"

namespace ostrevane {

// How the result dialog presents a failure.
struct FailurePresentation {
  std::string_view title;
  bool error_icon;
  bool offer_retry;
};

// Returns the title, icon and retry offer of a failure's result dialog.
FailurePresentation present_failure(const FailureKind& failure);

// One attempt's flow, run to completion on the worker's runtime: the program
// passes run_setup_to_completion(). Returns the verified installer's path or
// the failure.
using SetupFlow = std::function<std::expected<std::filesystem::path, FailureKind>(
    Runtime& runtime, const ProgressReporter& reporter, const TrustMaterial& trust)>;

// The body of an attempt's worker thread: builds the runtime, runs `flow`,
// runs the installer after a successful flow, and stores the final status
// into `progress` as its last act.
void worker_main(std::shared_ptr<SharedProgress> progress,
                 std::shared_ptr<const TrustMaterial> trust, SetupFlow flow);

enum class AttemptsEnd {
  kFinished,   // success, or a result dialog closed without retry
  kCancelled,  // the user closed a progress dialog; its worker still runs
};

// Runs attempts of `flow` until one succeeds, the user closes a result dialog
// without retrying, or cancels a progress dialog.
AttemptsEnd run_attempts(std::shared_ptr<const TrustMaterial> trust, SetupFlow flow);

}  // namespace ostrevane
