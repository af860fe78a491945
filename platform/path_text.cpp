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

}  // namespace

std::string path_display(const std::filesystem::path& path) {
  return native_display(path.native());
}

}  // namespace ostrevane::platform
