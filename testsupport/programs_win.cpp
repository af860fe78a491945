#include "testsupport/programs_win.hpp"

#include <windows.h>

#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "platform/module_path_win.hpp"
#include "platform/path_text.hpp"
#include "platform/utf16.hpp"
#include "platform/win32_win.hpp"
#include "testsupport/files.hpp"

namespace ostrevane::test {
namespace {

using platform::ScopedHandle;

[[noreturn]] void throw_last_error(const std::string& what) {
  throw std::system_error(platform::last_error(), what);
}

std::filesystem::path windows_program(std::wstring_view name, bool system32) {
  wchar_t folder[MAX_PATH];
  const UINT length =
      system32 ? GetSystemDirectoryW(folder, MAX_PATH) : GetWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    throw_last_error("the Windows folder");
  }
  return std::filesystem::path(folder) / name;
}

}  // namespace

std::filesystem::path test_program(std::string_view name) {
  return std::filesystem::path(platform::module_path()).parent_path() /
         platform::path_from_utf8(name);
}

std::uint32_t run_program(const std::filesystem::path& program, std::wstring command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  // Under load, Wine now and then loses a child that dies while it starts
  // and says only "Internal error"; the same start then works.
  for (int attempt = 1;; ++attempt) {
    std::wstring line = command_line;
    if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                       CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &started)) {
      break;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) {
      throw_last_error("CreateProcessW " + platform::path_display(program));
    }
  }
  const ScopedHandle thread(started.hThread);
  const ScopedHandle process(started.hProcess);
  if (WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) {
    throw_last_error("WaitForSingleObject");
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) {
    throw_last_error("GetExitCodeProcess");
  }
  return code;
}

std::uint32_t run_reg(const std::wstring& arguments) {
  return run_program(windows_program(L"reg.exe", true), L"reg " + arguments);
}

void import_registry(std::string_view lines) {
  std::random_device seed;
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("ostrevane-test-" + std::to_string(std::mt19937_64(seed())()) + ".reg");
  const std::u16string text = platform::utf8_to_utf16(
      "Windows Registry Editor Version 5.00\r\n\r\n" + std::string(lines) + "\r\n");
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "\xFF\xFE";
    for (const char16_t unit : text) {
      out << static_cast<char>(unit & 0xFF) << static_cast<char>(unit >> 8);
    }
  }
  const std::uint32_t code =
      run_program(windows_program(L"regedit.exe", false), L"regedit /S \"" + file.native() + L"\"");
  std::filesystem::remove(file);
  if (code != 0) {
    throw std::system_error(static_cast<int>(code), std::system_category(), "regedit /S");
  }
}

void copy_test_child(const std::filesystem::path& file) {
  std::filesystem::create_directories(file.parent_path());
  std::filesystem::copy_file(test_program("ostrevane-test-child.exe"), file,
                             std::filesystem::copy_options::overwrite_existing);
}

ChildRecord read_child_record(const std::filesystem::path& record) {
  const std::string text = read_file(record);
  std::vector<std::string> fields;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\0', start);
    if (end == std::string::npos) {
      break;
    }
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (fields.size() < 3) {
    throw std::runtime_error("no record in " + platform::path_display(record));
  }
  return {fields[0], fields[1], fields[2],
          std::vector<std::string>(fields.begin() + 3, fields.end())};
}

}  // namespace ostrevane::test
