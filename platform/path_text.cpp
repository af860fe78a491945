#include "platform/path_text.hpp"

#include <cstdint>

namespace ostrevane::platform {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Returns the length of the well-formed UTF-8 sequence at the start of `s`, or
// 0 when it is not one.
std::size_t sequence_length(std::string_view s) {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  std::size_t n;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 < 0x80) {
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0)
      lo = 0xA0;
    if (b0 == 0xED)
      hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0)
      lo = 0x90;
    if (b0 == 0xF4)
      hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < n) {
    return 0;
  }
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    const std::uint8_t min = i == 1 ? lo : 0x80;
    const std::uint8_t max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) {
      return 0;
    }
  }
  return n;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const std::size_t n = sequence_length(bytes);
    if (n == 0) {
      text.append(kReplacement);
      bytes.remove_prefix(1);
    } else {
      text.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
    }
  }
  return text;
}

std::string path_display(const std::filesystem::path& path) {
  return utf8_lossy(path.native());
}

}  // namespace ostrevane::platform
