#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "finder/src/lib/manifest.hpp"

namespace ostrevane {

// The one manifest format version this program reads.
inline constexpr std::uint32_t MANIFEST_VERSION = 1;
// The longest plain name, in bytes.
inline constexpr std::size_t PLAIN_NAME_MAX = 128;

// Returns the manifest when `signature` is a valid prehashed minisign signature
// of `manifest` by the key in `public_key_text` and its values are sound, or
// the text of the first failure.
[[nodiscard]] std::expected<Manifest, std::string> verify_manifest(
    std::string_view manifest, std::string_view signature, std::string_view public_key_text);

// Returns true for 1 to 128 bytes of ASCII letters, digits, '+', '-', '.' and
// '_', other than "." and "..".
bool is_plain_name(std::string_view text);

// Returns true for exactly 64 hexadecimal digits, either case.
bool is_sha256_hex(std::string_view text);

}  // namespace ostrevane
