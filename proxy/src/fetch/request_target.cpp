#include "proxy/src/fetch/request_target.hpp"

#include <cstddef>
#include <utility>

namespace ostrevane {
namespace {

constexpr std::size_t kMaxUriLength = 65534;

bool is_authority_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~!$&'()*+,;=:@[]%").find(static_cast<char>(c)) !=
             std::string_view::npos;
}

// Bytes a path or query may carry as they are; the others must have been
// percent-encoded.
bool is_target_byte(unsigned char c) {
  return c >= 0x21 && c <= 0x7e && c != '<' && c != '>' && c != '`';
}

}  // namespace

std::expected<TargetUri, std::string> parse_target_uri(std::string_view url) {
  if (url.empty()) {
    return std::unexpected(std::string("empty string"));
  }
  if (url.size() > kMaxUriLength) {
    return std::unexpected(std::string("uri too long"));
  }
  constexpr std::string_view kScheme = "https://";
  if (!url.starts_with(kScheme)) {
    return std::unexpected(std::string("invalid scheme"));
  }
  url.remove_prefix(kScheme.size());
  const std::size_t end = url.find_first_of("/?#");
  const std::string_view authority = url.substr(0, end);
  for (unsigned char c : authority) {
    if (!is_authority_byte(c)) {
      return std::unexpected(std::string("invalid uri character"));
    }
  }
  if (authority.empty() || authority.starts_with('@') || authority.ends_with('@') ||
      authority.ends_with(':')) {
    return std::unexpected(std::string("invalid authority"));
  }
  std::string_view rest = end == std::string_view::npos ? "" : url.substr(end);
  // A fragment never travels in a request.
  rest = rest.substr(0, rest.find('#'));
  for (unsigned char c : rest) {
    if (!is_target_byte(c)) {
      return std::unexpected(std::string("invalid uri character"));
    }
  }
  std::string target(rest);
  if (!target.starts_with('/')) {
    target.insert(0, "/");
  }
  return TargetUri{std::string(authority), std::move(target)};
}

std::string host_header(std::string_view authority) {
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  return std::string(authority);
}

}  // namespace ostrevane
