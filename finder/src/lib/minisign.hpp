#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevane::minisign {

inline constexpr std::string_view INVALID_ENCODING = "Invalid encoding in minisign data";
inline constexpr std::string_view UNSUPPORTED_ALGORITHM =
    "This signature algorithm is not supported by this implementation";
inline constexpr std::string_view UNEXPECTED_KEY_ID =
    "The signature was created with a different key than the one provided";
inline constexpr std::string_view UNEXPECTED_ALGORITHM = "Unexpected signature algorithm";
inline constexpr std::string_view VERIFICATION_FAILED = "The signature verification failed";

// The algorithm identifiers: a signature over the message itself (legacy) and
// one over its BLAKE2b-512 digest (prehashed).
inline constexpr std::array<std::uint8_t, 2> LEGACY_ALGORITHM = {'E', 'd'};
inline constexpr std::array<std::uint8_t, 2> PREHASHED_ALGORITHM = {'E', 'D'};

inline constexpr std::string_view TRUSTED_COMMENT_PREFIX = "trusted comment: ";

struct PublicKey {
  std::array<std::uint8_t, 2> algorithm{};
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 32> key{};
};

struct Signature {
  std::array<std::uint8_t, 2> algorithm{};
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 64> signature{};
  std::string trusted_comment;  // without its "trusted comment: " prefix
  std::array<std::uint8_t, 64> global_signature{};
};

// Returns `text` without Unicode white space (U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) at
// either end.
std::string_view trim_space(std::string_view text);

// Returns `text` without Unicode white space at its end.
std::string_view trim_space_end(std::string_view text);

// Returns the last line of a public-key text that is neither blank nor an
// "untrusted comment:" line, trimmed, or nothing when there is none.
std::optional<std::string_view> public_key_line(std::string_view text);

// Returns the signature text with every CR LF made LF and the white space at
// its end removed.
std::string normalise_signature_text(std::string_view text);

// Returns the bytes of padded standard Base64 text, or nothing when it is not
// canonical Base64.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

// Returns the padded standard Base64 text of `bytes`.
std::string base64_encode(std::span<const std::uint8_t> bytes);

// Returns the public key in a key line, or INVALID_ENCODING /
// UNSUPPORTED_ALGORITHM.
[[nodiscard]] std::expected<PublicKey, std::string> decode_public_key(std::string_view line);

// Returns the signature of a signature file's text (lines after the fourth are
// not read), or INVALID_ENCODING / UNSUPPORTED_ALGORITHM.
[[nodiscard]] std::expected<Signature, std::string> decode_signature(std::string_view text);

// Returns success when `signature` is a prehashed signature of `message` by
// `key` with a good global signature, or the text of the first failed check:
// key id, algorithm, signature, global signature.
[[nodiscard]] std::expected<void, std::string> verify(const PublicKey& key,
                                                      std::string_view message,
                                                      const Signature& signature);

}  // namespace ostrevane::minisign
