#include "platform/temp_folder.hpp"

#include <windows.h>

#include <string>

#include "platform/win32_win.hpp"

namespace ostrevane::platform {
namespace {

using TempPathFunction = DWORD(WINAPI*)(DWORD length, LPWSTR buffer);

// GetTempPath2W (Windows 11, and 10 since 2021) gives SYSTEM its own folder;
// older systems, Wine and the import libraries here lack it, so it is looked
// up at run time.
TempPathFunction temp_path_function() {
  if (const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
    if (const FARPROC found = GetProcAddress(kernel32, "GetTempPath2W")) {
      return reinterpret_cast<TempPathFunction>(reinterpret_cast<void (*)()>(found));
    }
  }
  return &GetTempPathW;
}

}  // namespace

std::expected<std::filesystem::path, std::error_code> user_temp_folder() {
  const TempPathFunction get_temp_path = temp_path_function();
  std::wstring folder(MAX_PATH + 1, L'\0');
  for (;;) {
    const DWORD length = get_temp_path(static_cast<DWORD>(folder.size()), folder.data());
    if (length == 0) {
      return std::unexpected(last_error());
    }
    // Too small a buffer gives the size needed, its NUL included.
    if (length < folder.size()) {
      folder.resize(length);
      return std::filesystem::path(folder);
    }
    folder.resize(length);
  }
}

std::string working_folder_name() {
  return "ostrevane-setup";
}

// The user's temporary folder is the user's own: nobody else can make or
// change a folder in it, so there is no owner or access check to make here.
std::error_code create_private_folder(const std::filesystem::path& folder) {
  const std::filesystem::path target = folder.has_filename() ? folder : folder.parent_path();
  if (target.empty()) {
    return {ERROR_PATH_NOT_FOUND, std::system_category()};
  }
  if (target.has_parent_path()) {
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    if (error) {
      return error;
    }
  }
  if (CreateDirectoryW(target.c_str(), nullptr)) {
    return {};
  }
  const std::error_code error = last_error();
  if (error.value() != ERROR_ALREADY_EXISTS) {
    return error;
  }
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return last_error();
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return {ERROR_DIRECTORY, std::system_category()};
  }
  return {};
}

}  // namespace ostrevane::platform
