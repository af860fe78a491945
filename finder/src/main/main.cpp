#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "finder/src/lib/trust_material.hpp"
#include "finder/src/main/attempts.hpp"
#include "finder/src/main/command_line.hpp"
#include "finder/src/main/dialogs.hpp"
#include "finder/src/main/exit_code.hpp"
#include "finder/src/main/report_mode.hpp"
#include "finder/src/main/setup_run.hpp"
#include "platform/command_line.hpp"
#include "platform/path_text.hpp"

int main(int argc, char** argv) {
  using namespace ostrevane;
  const std::vector<std::string> arguments = platform::program_arguments(argc, argv);
  if (auto report_path = find_report_path(arguments)) {
    return static_cast<int>(run_report_mode(platform::path_from_utf8(*report_path)));
  }

  auto trust = load_trust_material();
  if (!trust) {
    show_damaged_program_dialog(trust.error());
    return static_cast<int>(ExitCode::kOk);
  }
  if (run_attempts(std::make_shared<const TrustMaterial>(std::move(*trust)),
                   &run_setup_to_completion) == AttemptsEnd::kCancelled) {
    // The worker may still be writing or waiting for the installer: end now,
    // without running destructors under its feet.
    std::fflush(nullptr);
    std::_Exit(static_cast<int>(ExitCode::kOk));
  }
  return static_cast<int>(ExitCode::kOk);
}
