#include "platform/os_error.hpp"

#include <errno.h>
#include <windows.h>

#include <boost/system/error_code.hpp>
#include <memory>

#include "platform/wide_text_win.hpp"

namespace ostrevane::platform {
namespace {

struct LocalDeleter {
  void operator()(wchar_t* text) const { LocalFree(text); }
};

// The C runtime reports the errors of the file functions it wraps as errno
// values, and so does the standard library's std::filesystem here; these are
// the system errors they stand for, so that a missing file reads the same
// whichever way it was found missing.
constexpr struct {
  int errno_value;
  DWORD system_code;
} kErrnoTwins[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},    {EACCES, ERROR_ACCESS_DENIED},
    {EEXIST, ERROR_ALREADY_EXISTS},    {ENOTDIR, ERROR_DIRECTORY},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},  {ENOSPC, ERROR_DISK_FULL},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY}, {EINVAL, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE},     {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EXDEV, ERROR_NOT_SAME_DEVICE},    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
};

}  // namespace

std::string os_error_text(int code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const std::unique_ptr<wchar_t, LocalDeleter> owned(buffer);
  std::wstring_view message(buffer, length);
  // The system's messages end with a line break.
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
    message.remove_suffix(1);
  }
  const std::string suffix = " (os error " + std::to_string(code) + ")";
  if (message.empty()) {
    return "Unknown error " + std::to_string(code) + suffix;
  }
  return from_wide_lossy(message) + suffix;
}

std::string error_code_text(const std::error_code& error) {
  if (error.category() == std::system_category()) {
    return os_error_text(error.value());
  }
  // Boost's system category (Winsock and other system codes of Asio) keeps a
  // category of its own when converted; the conversion back finds it again.
  if (boost::system::error_code(error).category() == boost::system::system_category()) {
    return os_error_text(error.value());
  }
  if (error.category() == std::generic_category()) {
    for (const auto& twin : kErrnoTwins) {
      if (twin.errno_value == error.value()) {
        return os_error_text(static_cast<int>(twin.system_code));
      }
    }
  }
  return error.message();
}

}  // namespace ostrevane::platform
