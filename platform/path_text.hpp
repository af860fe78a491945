#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace ostrevane::platform {

// Returns `bytes` as UTF-8 text, each ill-formed UTF-8 sequence (each maximal
// subpart of one) replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Returns the path named by UTF-8 `text`: on Windows its UTF-16 form (each
// ill-formed sequence as U+FFFD), never the ANSI code page's reading of the
// bytes; here the bytes as they stand.
std::filesystem::path path_from_utf8(std::string_view text);

// Returns a path as UTF-8 text for messages: what cannot be decoded (an
// unpaired surrogate on Windows, ill-formed UTF-8 here) becomes U+FFFD.
std::string path_display(const std::filesystem::path& path);

}  // namespace ostrevane::platform
