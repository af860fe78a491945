#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ostrevane::test {

enum class SignatureKind {
  Prehashed,  // "ED": the signature covers the BLAKE2b-512 digest of the message
  Legacy,     // "Ed": the signature covers the message itself
};

// The parts of a minisign signature file. Change any of them to tamper with a
// signature, then write it out with text().
struct MinisignSignatureFile {
  std::string untrusted_comment = "signature from minisign secret key";
  std::array<std::uint8_t, 2> algorithm{};
  std::array<std::uint8_t, 8> key_id{};
  std::array<std::uint8_t, 64> signature{};
  std::string trusted_comment;
  std::array<std::uint8_t, 64> global_signature{};

  // Returns the four-line file text, each line ending in LF.
  std::string text() const;
};

// An Ed25519 key pair with a random key id that signs like the minisign tool.
// Throws std::runtime_error when OpenSSL fails.
class MinisignSigner {
 public:
  MinisignSigner();

  // Returns the signer saved by secret_text(); throws std::runtime_error when
  // `text` is not such a file.
  static MinisignSigner from_secret_text(std::string_view text);

  // Returns the secret key in a file format of our own: a comment line, then
  // the key id and the Ed25519 seed in hexadecimal, each line ending in LF.
  // The key is not encrypted: it is for test keys only.
  std::string secret_text() const;

  // Returns the key id as stored in keys and signatures.
  const std::array<std::uint8_t, 8>& key_id() const { return key_id_; }

  // Returns the Base64 key line: algorithm "Ed", key id and public key.
  std::string public_key_base64() const;

  // Returns the public-key file text: an "untrusted comment: minisign public
  // key {KEY ID}" line and the key line, each ending in LF.
  std::string public_key_text() const;

  // Returns the signature file of `message` with this trusted comment.
  MinisignSignatureFile sign(std::string_view message, std::string_view trusted_comment,
                             SignatureKind kind = SignatureKind::Prehashed) const;

 private:
  struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };

  struct FromSeed {};
  MinisignSigner(FromSeed, const std::array<std::uint8_t, 8>& key_id,
                 const std::array<std::uint8_t, 32>& seed);
  void read_public_key();

  std::array<std::uint8_t, 64> ed25519_sign(std::string_view bytes) const;

  std::unique_ptr<EVP_PKEY, PkeyFree> key_;
  std::array<std::uint8_t, 8> key_id_{};
  std::array<std::uint8_t, 32> public_key_{};
};

}  // namespace ostrevane::test
