#include "finder/src/main/report.hpp"

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/path_text.hpp"

namespace ostrevane {
namespace {

// nlohmann::json keeps object members in a std::map, so they are written in
// byte order of their names whatever the order they were added in.
std::string compact(const nlohmann::json& report) {
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string success_report(const std::filesystem::path& installer, bool webview2) {
  nlohmann::json report = nlohmann::json::object();
  const std::filesystem::path name = installer.filename();
  if (name.empty()) {
    report["installer"] = nullptr;
  } else {
    report["installer"] = platform::path_display(name);
  }
  report["ok"] = true;
  report["webview2"] = webview2;
  return compact(report);
}

std::string failure_report(const FailureKind& failure) {
  nlohmann::json report = nlohmann::json::object();
  report["code"] = std::string(failure_code(failure));
  report["detail"] = failure_detail(failure);
  report["message"] = failure_message(failure);
  report["ok"] = false;
  return compact(report);
}

std::string build_report(std::string_view detail) {
  nlohmann::json report = nlohmann::json::object();
  report["code"] = "build";
  report["detail"] = std::string(detail);
  report["ok"] = false;
  return compact(report);
}

bool write_report(const std::filesystem::path& path, std::string_view text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    return false;
  }
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  return !file.fail();
}

}  // namespace ostrevane
