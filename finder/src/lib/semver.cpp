#include "finder/src/lib/semver.hpp"

#include <cstdio>
#include <limits>

namespace ostrevane {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_identifier_char(char c) {
  return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
}

// Names the character at the start of `rest` for a message: printable ASCII
// quoted, anything else as its code point (the text is UTF-8, and a message
// must never hold a piece of a character).
std::string describe_char(std::string_view rest) {
  auto lead = static_cast<unsigned char>(rest[0]);
  if (lead > 0x20 && lead < 0x7f) {
    return std::string("'") + rest[0] + "'";
  }
  std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
  std::uint32_t code = length == 1 ? lead : lead & (0x7f >> length);
  bool valid = length != 0 && rest.size() >= length;
  for (std::size_t i = 1; valid && i < length; ++i) {
    auto next = static_cast<unsigned char>(rest[i]);
    valid = (next & 0xc0) == 0x80;
    code = (code << 6) | (next & 0x3f);
  }
  char buffer[16];
  if (valid) {
    std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(code));
  } else {
    std::snprintf(buffer, sizeof buffer, "byte 0x%02X", static_cast<unsigned>(lead));
  }
  return buffer;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::expected<SemanticVersion, std::string> parse() {
    if (text_.empty()) {
      return std::unexpected("empty string, expected a semantic version");
    }
    SemanticVersion version;
    if (!number(version.major, "major version number") || !dot("major version number") ||
        !number(version.minor, "minor version number") || !dot("minor version number") ||
        !number(version.patch, "patch version number")) {
      return std::unexpected(error_);
    }
    if (peek('-') && !identifiers(version.pre_release, "pre-release", true)) {
      return std::unexpected(error_);
    }
    if (peek('+') && !identifiers(version.build, "build metadata", false)) {
      return std::unexpected(error_);
    }
    if (at_ < text_.size()) {
      return std::unexpected("unexpected character " + describe_char(text_.substr(at_)) +
                             " after the version");
    }
    return version;
  }

 private:
  bool peek(char c) const { return at_ < text_.size() && text_[at_] == c; }

  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  bool unexpected(std::string_view where) {
    if (at_ >= text_.size()) {
      return fail("unexpected end of input " + std::string(where));
    }
    return fail("unexpected character " + describe_char(text_.substr(at_)) + " " +
                std::string(where));
  }

  bool number(std::uint64_t& value, std::string_view part) {
    std::size_t start = at_;
    value = 0;
    while (at_ < text_.size() && is_digit(text_[at_])) {
      auto digit = static_cast<std::uint64_t>(text_[at_] - '0');
      if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
        return fail("value out of range in " + std::string(part));
      }
      value = value * 10 + digit;
      ++at_;
    }
    if (at_ == start) {
      return unexpected("while parsing " + std::string(part));
    }
    if (at_ - start > 1 && text_[start] == '0') {
      return fail("invalid leading zero in " + std::string(part));
    }
    return true;
  }

  bool dot(std::string_view after) {
    if (!peek('.')) {
      return unexpected("after the " + std::string(after));
    }
    ++at_;
    return true;
  }

  bool identifiers(std::vector<std::string>& out, std::string_view kind, bool numbers) {
    do {
      ++at_;  // the '-', '+' or '.' before this identifier
      std::size_t start = at_;
      bool numeric = true;
      while (at_ < text_.size() && is_identifier_char(text_[at_])) {
        numeric = numeric && is_digit(text_[at_]);
        ++at_;
      }
      std::string_view identifier = text_.substr(start, at_ - start);
      if (identifier.empty()) {
        if (at_ < text_.size() && text_[at_] != '.' && text_[at_] != '+') {
          return unexpected("in " + std::string(kind));
        }
        return fail("empty identifier in " + std::string(kind));
      }
      if (numbers && numeric && identifier.size() > 1 && identifier[0] == '0') {
        return fail("invalid leading zero in " + std::string(kind));
      }
      out.emplace_back(identifier);
    } while (peek('.'));
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace

std::expected<SemanticVersion, std::string> parse_semantic_version(std::string_view text) {
  return Parser(text).parse();
}

}  // namespace ostrevane
