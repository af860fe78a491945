#pragma once

// Text at the boundary of the Windows API, where wchar_t is a UTF-16 code unit.

#include <optional>
#include <string>
#include <string_view>

#include "platform/utf16.hpp"

namespace ostrevane::platform {

// Returns UTF-8 `text` as UTF-16 for a W function; ill-formed UTF-8 becomes U+FFFD.
inline std::wstring to_wide(std::string_view text) {
  const std::u16string utf16 = utf8_to_utf16(text);
  return std::wstring(utf16.begin(), utf16.end());
}

// Returns UTF-16 `text` of a W function as UTF-8, unpaired surrogates as U+FFFD.
inline std::string from_wide_lossy(std::wstring_view text) {
  return utf16_to_utf8_lossy(std::u16string(text.begin(), text.end()));
}

// Returns UTF-16 `text` of a W function as UTF-8, or nullopt when it holds an
// unpaired surrogate.
inline std::optional<std::string> from_wide_strict(std::wstring_view text) {
  return utf16_to_utf8_strict(std::u16string(text.begin(), text.end()));
}

}  // namespace ostrevane::platform
