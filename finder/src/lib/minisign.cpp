#include "finder/src/lib/minisign.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "finder/src/lib/base64.hpp"

namespace ostrevane::minisign {
namespace {

// Unicode White_Space, as UTF-8.
constexpr std::string_view kSpaces[] = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

constexpr std::string_view kUntrustedComment = "untrusted comment:";
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string_view trim_space_start(std::string_view text) {
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (std::string_view space : kSpaces) {
      if (text.starts_with(space)) {
        text.remove_prefix(space.size());
        trimmed = true;
      }
    }
  }
  return text;
}

// Splits at LF like a line iterator: a CR right before the LF belongs to the
// line end, and a last line needs no LF.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    if (end == std::string_view::npos) {
      break;
    }
    text.remove_prefix(end + 1);
  }
  return lines;
}

template <std::size_t N>
bool decode_exact(std::string_view text, std::array<std::uint8_t, N>& out) {
  auto bytes = base64_decode(text);
  if (!bytes || bytes->size() != N) {
    return false;
  }
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return true;
}

bool known_algorithm(const std::array<std::uint8_t, 2>& algorithm) {
  return algorithm == LEGACY_ALGORITHM || algorithm == PREHASHED_ALGORITHM;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

bool ed25519_verify(const std::array<std::uint8_t, 32>& key,
                    std::span<const std::uint8_t, 64> signature,
                    std::span<const std::uint8_t> message) {
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!pkey || !ctx ||
      EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

std::optional<std::array<std::uint8_t, 64>> blake2b512(std::string_view message) {
  std::array<std::uint8_t, 64> digest{};
  unsigned int size = 0;
  if (EVP_Digest(message.data(), message.size(), digest.data(), &size, EVP_blake2b512(), nullptr) !=
          1 ||
      size != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace

std::string_view trim_space_end(std::string_view text) {
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (std::string_view space : kSpaces) {
      if (text.ends_with(space)) {
        text.remove_suffix(space.size());
        trimmed = true;
      }
    }
  }
  return text;
}

std::string_view trim_space(std::string_view text) {
  return trim_space_end(trim_space_start(text));
}

std::optional<std::string_view> public_key_line(std::string_view text) {
  std::optional<std::string_view> key;
  for (std::string_view line : split_lines(text)) {
    line = trim_space(line);
    if (!line.empty() && !line.starts_with(kUntrustedComment)) {
      key = line;
    }
  }
  return key;
}

std::string normalise_signature_text(std::string_view text) {
  std::string normal;
  normal.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      continue;
    }
    normal.push_back(text[i]);
  }
  normal.resize(trim_space_end(normal).size());
  return normal;
}

std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
  auto bytes = decode_base64(text);
  if (!bytes) {
    return std::nullopt;
  }
  return std::move(*bytes);
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    std::size_t left = bytes.size() - i;
    if (left > 1) {
      group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    }
    if (left > 2) {
      group |= bytes[i + 2];
    }
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    text.push_back(left > 1 ? kAlphabet[(group >> 6) & 63] : '=');
    text.push_back(left > 2 ? kAlphabet[group & 63] : '=');
  }
  return text;
}

std::expected<PublicKey, std::string> decode_public_key(std::string_view line) {
  std::array<std::uint8_t, 42> bytes{};
  if (!decode_exact(line, bytes)) {
    return std::unexpected(std::string(INVALID_ENCODING));
  }
  PublicKey key;
  std::copy_n(bytes.begin(), 2, key.algorithm.begin());
  std::copy_n(bytes.begin() + 2, 8, key.key_id.begin());
  std::copy_n(bytes.begin() + 10, 32, key.key.begin());
  if (!known_algorithm(key.algorithm)) {
    return std::unexpected(std::string(UNSUPPORTED_ALGORITHM));
  }
  return key;
}

std::expected<Signature, std::string> decode_signature(std::string_view text) {
  std::vector<std::string_view> lines = split_lines(text);
  std::array<std::uint8_t, 74> bytes{};
  Signature signature;
  if (lines.size() < 4 || !decode_exact(lines[1], bytes) ||
      !lines[2].starts_with(TRUSTED_COMMENT_PREFIX) ||
      !decode_exact(lines[3], signature.global_signature)) {
    return std::unexpected(std::string(INVALID_ENCODING));
  }
  std::copy_n(bytes.begin(), 2, signature.algorithm.begin());
  std::copy_n(bytes.begin() + 2, 8, signature.key_id.begin());
  std::copy_n(bytes.begin() + 10, 64, signature.signature.begin());
  if (!known_algorithm(signature.algorithm)) {
    return std::unexpected(std::string(UNSUPPORTED_ALGORITHM));
  }
  signature.trusted_comment = lines[2].substr(TRUSTED_COMMENT_PREFIX.size());
  return signature;
}

std::expected<void, std::string> verify(const PublicKey& key, std::string_view message,
                                        const Signature& signature) {
  if (signature.key_id != key.key_id) {
    return std::unexpected(std::string(UNEXPECTED_KEY_ID));
  }
  if (signature.algorithm != PREHASHED_ALGORITHM) {
    return std::unexpected(std::string(UNEXPECTED_ALGORITHM));
  }
  auto digest = blake2b512(message);
  if (!digest || !ed25519_verify(key.key, signature.signature, *digest)) {
    return std::unexpected(std::string(VERIFICATION_FAILED));
  }
  std::vector<std::uint8_t> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
  if (!ed25519_verify(key.key, signature.global_signature, global)) {
    return std::unexpected(std::string(VERIFICATION_FAILED));
  }
  return {};
}

}  // namespace ostrevane::minisign
