#include "finder/src/main/command_line.hpp"

#include <algorithm>
#include <string_view>

namespace ostrevane {
namespace {

constexpr std::string_view kReportFlag = "--report";
constexpr std::string_view kDefaultReportPath = "ostrevane-setup-report.json";

}  // namespace

std::optional<std::string> find_report_path(const std::vector<std::string>& args) {
  const auto flag = std::find(args.begin(), args.end(), kReportFlag);
  if (flag == args.end()) {
    return std::nullopt;
  }
  if (const auto path = std::next(flag); path != args.end()) {
    return *path;
  }
  return std::string(kDefaultReportPath);
}

}  // namespace ostrevane
