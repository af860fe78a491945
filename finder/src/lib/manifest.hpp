#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace ostrevane {

struct Bundle {
  std::string file;
  std::string sha256;
  std::uint64_t size = 0;
  bool operator==(const Bundle&) const = default;
};

struct ShellHashes {
  std::string installer;
  std::string update;
  bool operator==(const ShellHashes&) const = default;
};

struct Shell {
  std::string version;
  std::string minimum;
  std::string installer;
  std::string update;
  ShellHashes sha256;
  bool operator==(const Shell&) const = default;
};

// The signed description of the desktop release.
struct Manifest {
  std::uint32_t version = 0;
  std::string product;
  std::string release;
  Bundle bundle;
  Shell shell;
  bool operator==(const Manifest&) const = default;
};

// Returns the manifest read strictly from its bytes (object or array form for
// every record, no unknown, duplicate or missing field), or the first problem's
// text followed by " at line {} column {}".
[[nodiscard]] std::expected<Manifest, std::string> parse_manifest(std::string_view bytes);

}  // namespace ostrevane
