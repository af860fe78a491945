#include "platform/path_text.hpp"

#include "platform/utf16.hpp"

namespace ostrevane::platform {

std::string utf8_lossy(std::string_view bytes) {
  // The UTF-16 step replaces what is ill-formed; going back to UTF-8 is then
  // lossless.
  return utf16_to_utf8_lossy(utf8_to_utf16(bytes));
}

std::string path_display(const std::filesystem::path& path) {
  return utf8_lossy(path.native());
}

}  // namespace ostrevane::platform
