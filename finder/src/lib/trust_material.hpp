#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevane {

// The trust material held in the program, loaded once and then only read.
struct TrustMaterial {
  std::vector<std::uint8_t> ca_certificate;  // DER of the root CA certificate
  std::string public_key_text;               // the minisign public-key text as stored
};

// The largest PEM section body the reader accepts, in bytes of Base64 text.
inline constexpr std::size_t PEM_BODY_LIMIT = 64 * 1024;

// Returns the trust material compiled into the program, or "no certificate in
// this PEM" / "unreadable certificate: {}" when its PEM text is damaged.
[[nodiscard]] std::expected<TrustMaterial, std::string> load_trust_material();

// Returns the trust material made of these two texts, with the same errors as
// load_trust_material().
[[nodiscard]] std::expected<TrustMaterial, std::string> load_trust_material_from(
    std::string_view ca_pem, std::string_view public_key_text);

}  // namespace ostrevane
