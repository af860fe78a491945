#include "platform/module_path_win.hpp"

#include <windows.h>

namespace ostrevane::platform {

std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
    if (length == 0) {
      return {};
    }
    // A path that did not fit comes back cut to the buffer's size.
    if (length < size) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace ostrevane::platform
