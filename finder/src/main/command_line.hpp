#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ostrevane {

// Returns the report path when `args` holds "--report" (exact, first one
// counts): the element after it whatever it holds, else
// "ostrevane-setup-report.json"; nullopt without "--report".
std::optional<std::string> find_report_path(const std::vector<std::string>& args);

}  // namespace ostrevane
