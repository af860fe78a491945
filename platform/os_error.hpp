#pragma once

#include <string>
#include <system_error>

namespace ostrevane::platform {

// Returns the system's message for an operating-system error code, a space and
// "(os error N)", N in decimal: "No such file or directory (os error 2)".
std::string os_error_text(int code);

// Returns the display text of an error code: os_error_text() for the system's
// own errors, the category's message alone for every other category.
std::string error_code_text(const std::error_code& error);

}  // namespace ostrevane::platform
