#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevane {

// A version in the Semantic Versioning 2.0.0 form MAJOR.MINOR.PATCH[-PRE][+BUILD].
struct SemanticVersion {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t patch = 0;
  std::vector<std::string> pre_release;
  std::vector<std::string> build;
  bool operator==(const SemanticVersion&) const = default;
};

// Returns the version written in `text` (no leading "v", no white space, numbers
// without leading zeros), or the text of the first problem found.
[[nodiscard]] std::expected<SemanticVersion, std::string> parse_semantic_version(
    std::string_view text);

}  // namespace ostrevane
