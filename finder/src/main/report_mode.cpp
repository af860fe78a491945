#include "finder/src/main/report_mode.hpp"

#include "finder/src/lib/trust_material.hpp"
#include "finder/src/lib/webview2.hpp"
#include "finder/src/main/report.hpp"
#include "finder/src/main/setup_run.hpp"

namespace ostrevane {

ExitCode run_report_mode(const std::filesystem::path& report_path) {
  auto trust = load_trust_material();
  if (!trust) {
    (void)write_report(report_path, build_report(trust.error()));
    return ExitCode::kBuild;
  }

  std::string report;
  ExitCode code;
  {
    auto runtime = build_runtime();
    if (!runtime) {
      broken_invariant("a runtime");
    }
    const ProgressReporter reporter = &ignore_update;
    auto outcome = run_setup_to_completion(*runtime, reporter, *trust);
    if (outcome) {
      std::error_code ignored;
      std::filesystem::remove(*outcome, ignored);
      report = success_report(*outcome, check_webview2());
      code = ExitCode::kOk;
    } else {
      report = failure_report(outcome.error());
      code = ExitCode::kFlowFailed;
    }
  }
  (void)write_report(report_path, report);
  return code;
}

}  // namespace ostrevane
