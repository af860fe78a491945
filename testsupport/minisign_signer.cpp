#include "testsupport/minisign_signer.hpp"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <stdexcept>

namespace ostrevane::test {
namespace {

std::string base64(std::span<const std::uint8_t> bytes) {
  std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
  int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                             static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(size));
  return text;
}

[[noreturn]] void openssl_failed(const char* what) {
  throw std::runtime_error(std::string("OpenSSL failed: ") + what);
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

constexpr std::string_view kSecretComment = "ostrevane test signing key (not encrypted)";

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

std::string hex_byte(std::uint8_t byte) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  return {kDigits[byte >> 4], kDigits[byte & 0x0f]};
}

}  // namespace

std::string MinisignSignatureFile::text() const {
  std::string line;
  line.append(algorithm.begin(), algorithm.end());
  line.append(key_id.begin(), key_id.end());
  line.append(signature.begin(), signature.end());
  auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
  return "untrusted comment: " + untrusted_comment + "\n" + base64(bytes) +
         "\ntrusted comment: " + trusted_comment + "\n" + base64(global_signature) + "\n";
}

MinisignSigner::MinisignSigner() {
  EVP_PKEY* key = nullptr;
  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(
      EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
    openssl_failed("Ed25519 key generation");
  }
  key_.reset(key);
  read_public_key();
  if (RAND_bytes(key_id_.data(), static_cast<int>(key_id_.size())) != 1) {
    openssl_failed("random key id");
  }
}

MinisignSigner::MinisignSigner(FromSeed, const std::array<std::uint8_t, 8>& key_id,
                               const std::array<std::uint8_t, 32>& seed)
    : key_(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size())),
      key_id_(key_id) {
  if (!key_) {
    openssl_failed("Ed25519 key from its seed");
  }
  read_public_key();
}

void MinisignSigner::read_public_key() {
  std::size_t size = public_key_.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), public_key_.data(), &size) != 1 ||
      size != public_key_.size()) {
    openssl_failed("Ed25519 public key");
  }
}

MinisignSigner MinisignSigner::from_secret_text(std::string_view text) {
  const std::size_t comment_end = text.find('\n');
  if (!text.starts_with(kSecretComment) || comment_end == std::string_view::npos) {
    throw std::runtime_error("not a saved test signing key");
  }
  std::string_view digits = text.substr(comment_end + 1);
  if (digits.ends_with('\n')) {
    digits.remove_suffix(1);
  }
  std::array<std::uint8_t, 40> bytes{};
  if (digits.size() != 2 * bytes.size()) {
    throw std::runtime_error("a saved test signing key of the wrong length");
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = hex_value(digits[2 * i]);
    const int low = hex_value(digits[2 * i + 1]);
    if (high < 0 || low < 0) {
      throw std::runtime_error("a saved test signing key that is not hexadecimal");
    }
    bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 32> seed{};
  std::copy(bytes.begin(), bytes.begin() + 8, key_id.begin());
  std::copy(bytes.begin() + 8, bytes.end(), seed.begin());
  return MinisignSigner(FromSeed{}, key_id, seed);
}

std::string MinisignSigner::secret_text() const {
  std::array<std::uint8_t, 32> seed{};
  std::size_t size = seed.size();
  if (EVP_PKEY_get_raw_private_key(key_.get(), seed.data(), &size) != 1 || size != seed.size()) {
    openssl_failed("Ed25519 seed");
  }
  std::string text = std::string(kSecretComment) + "\n";
  for (const std::uint8_t byte : key_id_) {
    text += hex_byte(byte);
  }
  for (const std::uint8_t byte : seed) {
    text += hex_byte(byte);
  }
  return text + "\n";
}

std::string MinisignSigner::public_key_base64() const {
  std::array<std::uint8_t, 42> bytes{'E', 'd'};
  std::copy(key_id_.begin(), key_id_.end(), bytes.begin() + 2);
  std::copy(public_key_.begin(), public_key_.end(), bytes.begin() + 10);
  return base64(bytes);
}

std::string MinisignSigner::public_key_text() const {
  // The tool shows the key id as a little-endian number in upper-case hex.
  std::string id;
  for (auto it = key_id_.rbegin(); it != key_id_.rend(); ++it) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(*it));
    id += digits;
  }
  return "untrusted comment: minisign public key " + id + "\n" + public_key_base64() + "\n";
}

MinisignSignatureFile MinisignSigner::sign(std::string_view message,
                                           std::string_view trusted_comment,
                                           SignatureKind kind) const {
  MinisignSignatureFile file;
  file.key_id = key_id_;
  file.trusted_comment = trusted_comment;
  if (kind == SignatureKind::Legacy) {
    file.algorithm = {'E', 'd'};
    file.signature = ed25519_sign(message);
  } else {
    file.algorithm = {'E', 'D'};
    std::array<std::uint8_t, 64> digest{};
    unsigned int size = 0;
    if (EVP_Digest(message.data(), message.size(), digest.data(), &size, EVP_blake2b512(),
                   nullptr) != 1) {
      openssl_failed("BLAKE2b-512");
    }
    file.signature =
        ed25519_sign(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  }
  std::string global(file.signature.begin(), file.signature.end());
  global += trusted_comment;
  file.global_signature = ed25519_sign(global);
  return file;
}

std::array<std::uint8_t, 64> MinisignSigner::ed25519_sign(std::string_view bytes) const {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::array<std::uint8_t, 64> signature{};
  std::size_t size = signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &size,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1 ||
      size != signature.size()) {
    openssl_failed("Ed25519 signature");
  }
  return signature;
}

}  // namespace ostrevane::test
