#include "platform/process.hpp"

#include <windows.h>

#include <string>

#include "platform/wide_text_win.hpp"
#include "platform/win32_win.hpp"

namespace ostrevane::platform {
namespace {

HANDLE process_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The path is quoted so that spaces in it do not split it; the arguments are
// the installer's own switches and go as they stand.
std::wstring command_line(const std::filesystem::path& file,
                          std::span<const std::string> arguments) {
  std::wstring line = L"\"" + file.native() + L"\"";
  for (const std::string& argument : arguments) {
    line += L' ';
    line += to_wide(argument);
  }
  return line;
}

}  // namespace

void ChildProcess::release() {
  if (handle_ != 0) {
    CloseHandle(process_handle(handle_));
    handle_ = 0;
  }
}

std::error_code ChildProcess::wait() {
  if (exit_code_) {
    return {};
  }
  if (WaitForSingleObject(process_handle(handle_), INFINITE) == WAIT_FAILED) {
    return last_error();
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process_handle(handle_), &code)) {
    return last_error();
  }
  exit_code_ = code;
  release();
  return {};
}

std::expected<std::uint32_t, std::error_code> ChildProcess::exit_code() const {
  if (!exit_code_) {
    return std::unexpected(std::error_code(ERROR_BUSY, std::system_category()));
  }
  return *exit_code_;
}

std::expected<ChildProcess, std::error_code> start_process(const std::filesystem::path& file,
                                                           std::span<const std::string> arguments) {
  // CreateProcessW may write into the command line it is given.
  std::wstring line = command_line(file, arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(file.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      nullptr, nullptr, &startup, &started)) {
    return std::unexpected(last_error());
  }
  const ScopedHandle thread(started.hThread);
  return ChildProcess(reinterpret_cast<std::intptr_t>(started.hProcess));
}

}  // namespace ostrevane::platform
