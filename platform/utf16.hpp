#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ostrevane::platform {

// Returns `text` as UTF-16; each ill-formed UTF-8 sequence (each maximal
// subpart of one) becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Returns `text` as UTF-8, or nullopt when it holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text);

// Returns `text` as UTF-8, each unpaired surrogate replaced by U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);

}  // namespace ostrevane::platform
