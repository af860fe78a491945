#pragma once

#include <string>
#include <system_error>

namespace ostrevane::platform {

// Returns the system's message for an operating-system error code (errno here,
// a Win32 or Winsock code on Windows, its final line break dropped), a space
// and "(os error N)", N in decimal: "No such file or directory (os error 2)".
std::string os_error_text(int code);

// Returns the display text of an error code: os_error_text() for the system's
// own errors (Boost's system category included), the category's message alone
// for every other category. On Windows the C runtime's errno values read as
// the system error they stand for (ENOENT as ERROR_FILE_NOT_FOUND), and by
// their message alone where none does.
std::string error_code_text(const std::error_code& error);

}  // namespace ostrevane::platform
