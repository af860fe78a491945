#pragma once

// Small helpers at the boundary of the Windows API.

#include <windows.h>

#include <memory>
#include <system_error>

namespace ostrevane::platform {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};

// Owns a HANDLE of a kernel object and closes it when it goes.
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

// Returns GetLastError() as an error code of the system category; call it
// right after the call that failed.
inline std::error_code last_error() {
  return {static_cast<int>(GetLastError()), std::system_category()};
}

}  // namespace ostrevane::platform
