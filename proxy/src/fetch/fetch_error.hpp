#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

namespace ostrevane {

// The box did not answer or could not be reached.
struct Unreachable {
  std::string text;
};
// Every other failure told in one text.
struct Message {
  std::string text;
};
// The received file's SHA-256 differs from the manifest's.
struct DigestMismatch {
  std::string computed;
  std::string expected;
};
// A local file operation failed.
struct Disk {
  std::string text;
};

// The one error of every exchange with the box.
using FetchError = std::variant<Unreachable, Message, DigestMismatch, Disk>;

// Returns the display text: "the box is unreachable: {}", "{}",
// "sha256 {computed}, the manifest says {expected}" or "disk: {}".
std::string fetch_error_display(const FetchError& error);

// Returns the 64 lower-case hexadecimal digits of a SHA-256 digest.
std::string sha256_hex(std::span<const std::uint8_t, 32> digest);

}  // namespace ostrevane
