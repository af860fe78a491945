#pragma once

#include <filesystem>

#include "finder/src/main/exit_code.hpp"

namespace ostrevane {

// Runs one attempt without dialogs and without the installer, writes the JSON
// report to `report_path` (write errors ignored) and returns the exit code:
// 0 success, 1 failed flow, 2 unusable trust material.
ExitCode run_report_mode(const std::filesystem::path& report_path);

}  // namespace ostrevane
