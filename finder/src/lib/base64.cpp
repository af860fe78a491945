#include "finder/src/lib/base64.hpp"

#include <algorithm>
#include <cstdio>

namespace ostrevane {
namespace {

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  if (c == '/') {
    return 63;
  }
  return -1;
}

std::string byte_at(char c, std::size_t offset) {
  char text[64];
  std::snprintf(text, sizeof text, "byte 0x%02X at offset %zu", static_cast<unsigned char>(c),
                offset);
  return text;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::unexpected("its length is not a multiple of 4");
  }
  const std::size_t data_end = std::min(text.find('='), text.size());
  const std::size_t padding = text.size() - data_end;
  if (padding > 2 || text.find_first_not_of('=', data_end) != std::string_view::npos) {
    return std::unexpected("misplaced padding");
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < data_end; ++i) {
    const int value = base64_value(text[i]);
    if (value < 0) {
      return std::unexpected(byte_at(text[i], i));
    }
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> held));
      bits &= (1u << held) - 1;
    }
  }
  if (bits != 0) {
    return std::unexpected("non-zero bits after the last byte");
  }
  return bytes;
}

}  // namespace ostrevane
