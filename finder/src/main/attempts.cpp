#include "finder/src/main/attempts.hpp"

#include <system_error>
#include <thread>

#include "finder/src/main/dialogs.hpp"
#include "finder/src/main/exit_code.hpp"
#include "finder/src/main/installer.hpp"

namespace ostrevane {

FailurePresentation present_failure(const FailureKind& failure) {
  using Kind = FailureKind::Kind;
  constexpr std::string_view kImpossible = "Installation impossible";
  switch (failure.kind) {
    case Kind::NoBox:
      return {"Boîtier introuvable", false, true};
    case Kind::TwoBoxes:
    case Kind::NotGenuine:
    case Kind::NoInstaller:
      return {kImpossible, true, false};
    case Kind::NotAnswering:
    case Kind::BoxError:
    case Kind::Download:
    case Kind::Install:
      return {kImpossible, true, true};
  }
  return {kImpossible, true, false};
}

void worker_main(std::shared_ptr<SharedProgress> progress,
                 std::shared_ptr<const TrustMaterial> trust, SetupFlow flow) {
  mark_worker_thread();
  try {
    AttemptStatus outcome = Succeeded{};
    {
      auto runtime = build_runtime();
      if (!runtime) {
        broken_invariant("a runtime");
      }
      const ProgressReporter reporter = interactive_reporter(progress);
      auto installer = flow(*runtime, reporter, *trust);
      if (!installer) {
        outcome = Failed{std::move(installer.error())};
      } else {
        progress->set_update(Installing{});
        if (auto ran = run_installer(*installer); !ran) {
          outcome = Failed{std::move(ran.error())};
        }
      }
      // The runtime goes before the final store: once the dialog sees the end,
      // nothing of the attempt is still running.
    }
    progress->store_final(std::move(outcome));
  } catch (const WorkerStopped&) {
    // A broken invariant on the worker ends only the worker; the dialog keeps
    // its last text until the user cancels.
  }
}

AttemptsEnd run_attempts(std::shared_ptr<const TrustMaterial> trust, SetupFlow flow) {
  for (;;) {
    auto progress = std::make_shared<SharedProgress>();
    std::thread worker;
    try {
      worker = std::thread(worker_main, progress, trust, flow);
    } catch (const std::system_error&) {
      broken_invariant("failed to spawn thread");
    }
    show_progress_dialog(*progress);
    if (!progress->done()) {
      // Cancelled: the caller ends the process at once, and with it the worker.
      worker.detach();
      return AttemptsEnd::kCancelled;
    }
    worker.join();
    const AttemptStatus status = progress->status();
    const auto* failed = std::get_if<Failed>(&status);
    if (failed == nullptr) {
      return AttemptsEnd::kFinished;
    }
    const FailurePresentation shown = present_failure(failed->failure);
    if (!show_result_dialog(shown.title, failure_message(failed->failure), shown.error_icon,
                            shown.offer_retry)) {
      return AttemptsEnd::kFinished;
    }
  }
}

}  // namespace ostrevane
