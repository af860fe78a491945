#include "platform/utf16.hpp"

#include <cstdint>

namespace ostrevane::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Decoded {
  char32_t code_point;
  std::size_t length;  // bytes taken from the input, at least 1
};

// Decodes the sequence at the start of `s` (not empty). An ill-formed one
// gives U+FFFD and the length of its maximal subpart, so that a truncated
// sequence costs one replacement and the byte that cut it short is read anew.
Decoded decode_utf8(std::string_view s) {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  if (b0 < 0x80) {
    return {b0, 1};
  }
  std::size_t n;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) {
      lo = 0xA0;  // no overlong forms
    } else if (b0 == 0xED) {
      hi = 0x9F;  // no surrogates
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) {
      lo = 0x90;  // no overlong forms
    } else if (b0 == 0xF4) {
      hi = 0x8F;  // nothing above U+10FFFF
    }
  } else {
    return {kReplacement, 1};
  }
  for (std::size_t i = 1; i < n; ++i) {
    if (i >= s.size()) {
      return {kReplacement, i};
    }
    const auto b = static_cast<std::uint8_t>(s[i]);
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) {
      return {kReplacement, i};
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, n};
}

bool is_high_surrogate(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}

bool is_low_surrogate(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Converts `text`, giving nullopt at the first unpaired surrogate unless
// `lossy`, which replaces it instead.
std::optional<std::string> to_utf8(std::u16string_view text, bool lossy) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    char32_t cp = u;
    if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (is_high_surrogate(u) || is_low_surrogate(u)) {
      if (!lossy) {
        return std::nullopt;
      }
      cp = kReplacement;
    }
    append_utf8(out, cp);
  }
  return out;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const Decoded d = decode_utf8(text);
    if (d.code_point >= 0x10000) {
      const char32_t v = d.code_point - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(d.code_point));
    }
    text.remove_prefix(d.length);
  }
  return out;
}

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text) {
  return to_utf8(text, false);
}

std::string utf16_to_utf8_lossy(std::u16string_view text) {
  return *to_utf8(text, true);
}

}  // namespace ostrevane::platform
