#include "platform/path_text.hpp"

#include "platform/utf16.hpp"

namespace ostrevane::platform {

std::string utf8_lossy(std::string_view bytes) {
  // The UTF-16 step replaces what is ill-formed; going back to UTF-8 is then
  // lossless.
  return utf16_to_utf8_lossy(utf8_to_utf16(bytes));
}

namespace {

// Names are bytes here and UTF-16 code units on Windows, neither necessarily
// well-formed.
template <typename Char>
std::string native_display(const std::basic_string<Char>& native) {
  if constexpr (sizeof(Char) == 1) {
    return utf8_lossy(std::string_view(native.data(), native.size()));
  } else {
    return utf16_to_utf8_lossy(std::u16string(native.begin(), native.end()));
  }
}

template <typename Char>
std::basic_string<Char> native_from_utf8(std::string_view text) {
  if constexpr (sizeof(Char) == 1) {
    return std::basic_string<Char>(text.begin(), text.end());
  } else {
    const std::u16string utf16 = utf8_to_utf16(text);
    return std::basic_string<Char>(utf16.begin(), utf16.end());
  }
}

}  // namespace

std::filesystem::path path_from_utf8(std::string_view text) {
  return std::filesystem::path(native_from_utf8<std::filesystem::path::value_type>(text));
}

std::string path_display(const std::filesystem::path& path) {
  return native_display(path.native());
}

}  // namespace ostrevane::platform
