// Started by the Windows tests. When OSTREVANE_TEST_RECORD names a file, it
// writes there, each followed by a NUL: its raw command line (GetCommandLineW),
// its own path (GetModuleFileNameW), its current folder and each element of
// program_arguments(), all in UTF-8. It then ends with the exit code that OSTREVANE_TEST_EXIT_CODE
// gives (decimal, or hexadecimal after 0x), 0 without it.

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/command_line.hpp"
#include "platform/module_path_win.hpp"
#include "platform/wide_text_win.hpp"

namespace {

std::optional<std::wstring> environment(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  const DWORD length =
      GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 || length >= value.size()) {
    return std::nullopt;
  }
  value.resize(length);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ostrevane::platform;
  if (const auto record = environment(L"OSTREVANE_TEST_RECORD")) {
    std::ofstream out(std::filesystem::path(*record), std::ios::binary | std::ios::trunc);
    out << from_wide_lossy(GetCommandLineW()) << '\0' << from_wide_lossy(module_path()) << '\0'
        << from_wide_lossy(std::filesystem::current_path().native()) << '\0';
    for (const std::string& argument : program_arguments(argc, argv)) {
      out << argument << '\0';
    }
  }
  const auto code = environment(L"OSTREVANE_TEST_EXIT_CODE");
  ExitProcess(code ? static_cast<UINT>(std::wcstoul(code->c_str(), nullptr, 0)) : 0);
}
