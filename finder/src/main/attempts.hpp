#pragma once

#include <memory>

#include "finder/src/lib/failure.hpp"
#include "finder/src/lib/progress.hpp"
#include "finder/src/lib/trust_material.hpp"

namespace ostrevane {

// How the result dialog presents a failure.
struct FailurePresentation {
  std::string_view title;
  bool error_icon;
  bool offer_retry;
};

// Returns the title, icon and retry offer of a failure's result dialog.
FailurePresentation present_failure(const FailureKind& failure);

// The body of an attempt's worker thread: builds the runtime, runs the setup
// flow, runs the installer after a successful flow, and stores the final
// status into `progress` as its last act.
void worker_main(std::shared_ptr<SharedProgress> progress,
                 std::shared_ptr<const TrustMaterial> trust);

enum class AttemptsEnd {
  kFinished,   // success, or a result dialog closed without retry
  kCancelled,  // the user closed a progress dialog; its worker still runs
};

// Runs attempts until one succeeds, the user closes a result dialog without
// retrying, or cancels a progress dialog.
AttemptsEnd run_attempts(std::shared_ptr<const TrustMaterial> trust);

}  // namespace ostrevane
