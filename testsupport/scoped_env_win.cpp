#include "testsupport/scoped_env.hpp"

#include <stdlib.h>
#include <windows.h>

#include <vector>

#include "platform/wide_text_win.hpp"

namespace ostrevane::test {

using platform::to_wide;

std::optional<std::string> get_env(const std::string& name) {
  const std::wstring key = to_wide(name);
  const DWORD size = GetEnvironmentVariableW(key.c_str(), nullptr, 0);
  if (size == 0) {
    return std::nullopt;
  }
  std::vector<wchar_t> buffer(size);
  const DWORD length = GetEnvironmentVariableW(key.c_str(), buffer.data(), size);
  return platform::from_wide_lossy(std::wstring_view(buffer.data(), length));
}

// The system's copy is what GetTempPathW and child processes see; the C
// runtime's is what getenv sees.
void set_env(const std::string& name, const std::optional<std::string>& value) {
  const std::wstring key = to_wide(name);
  if (value) {
    const std::wstring text = to_wide(*value);
    SetEnvironmentVariableW(key.c_str(), text.c_str());
    _wputenv_s(key.c_str(), text.c_str());
  } else {
    SetEnvironmentVariableW(key.c_str(), nullptr);
    _wputenv_s(key.c_str(), L"");
  }
}

}  // namespace ostrevane::test
