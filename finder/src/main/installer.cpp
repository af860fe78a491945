#include "finder/src/main/installer.hpp"

#include <array>
#include <cstdio>

#include "platform/os_error.hpp"
#include "platform/process.hpp"

namespace ostrevane {

std::string describe_exit_code(std::uint32_t code) {
  if ((code & 0x8000'0000u) != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", code);
    return std::string("exit code: ") + hex;
  }
  return "exit code: " + std::to_string(code);
}

std::expected<void, FailureKind> run_installer(const std::filesystem::path& path) {
  static const std::array<std::string, 2> kArguments = {"/S", "/R"};
  auto child = platform::start_process(path, kArguments);
  if (!child) {
    return std::unexpected(FailureKind::install(platform::error_code_text(child.error())));
  }
  if (auto error = child->wait()) {
    return std::unexpected(FailureKind::install(platform::error_code_text(error)));
  }
  auto code = child->exit_code();
  if (!code) {
    return std::unexpected(FailureKind::install(platform::error_code_text(code.error())));
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  if (*code != 0) {
    return std::unexpected(
        FailureKind::install("the installer ended with " + describe_exit_code(*code)));
  }
  return {};
}

}  // namespace ostrevane
