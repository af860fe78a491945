#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace ostrevane {

// The request URI split as the request needs it.
struct TargetUri {
  std::string authority;  // host (and user information) without the scheme
  std::string target;     // path and query, "/" when empty
};

// Returns the parts of the https URL `url`, or the parser's text ("empty
// string", "uri too long", "invalid scheme", "invalid uri character" or
// "invalid authority") when it is no such URI.
std::expected<TargetUri, std::string> parse_target_uri(std::string_view url);

// Returns the value of the Host header for `authority`: it without its user
// information.
std::string host_header(std::string_view authority);

}  // namespace ostrevane
