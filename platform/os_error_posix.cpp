#include "platform/os_error.hpp"

#include <string.h>

#include <boost/system/error_code.hpp>

namespace ostrevane::platform {

std::string os_error_text(int code) {
  char buffer[256];
  // The GNU strerror_r returns the message, which may not be in the buffer.
  const char* message = strerror_r(code, buffer, sizeof buffer);
  return std::string(message) + " (os error " + std::to_string(code) + ")";
}

std::string error_code_text(const std::error_code& error) {
  if (error.category() == std::system_category() || error.category() == std::generic_category()) {
    return os_error_text(error.value());
  }
  return error.message();
}

}  // namespace ostrevane::platform
