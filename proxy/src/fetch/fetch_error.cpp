#include "proxy/src/fetch/fetch_error.hpp"

namespace ostrevane {
namespace {

struct Display {
  std::string operator()(const Unreachable& e) const { return "the box is unreachable: " + e.text; }
  std::string operator()(const Message& e) const { return e.text; }
  std::string operator()(const DigestMismatch& e) const {
    return "sha256 " + e.computed + ", the manifest says " + e.expected;
  }
  std::string operator()(const Disk& e) const { return "disk: " + e.text; }
};

}  // namespace

std::string fetch_error_display(const FetchError& error) {
  return std::visit(Display{}, error);
}

std::string sha256_hex(std::span<const std::uint8_t, 32> digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(64);
  for (std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

}  // namespace ostrevane
