#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevane::test {

// A validity period relative to now: [now + not_before, now + not_after].
struct Validity {
  std::chrono::seconds not_before = -std::chrono::hours(1);
  std::chrono::seconds not_after = std::chrono::hours(24 * 365);
};

// Validity that ended an hour ago.
Validity expired();
// Validity that starts in a day.
Validity not_yet_valid();

// A certificate with its private key, made in this process.
class TestCertificate {
 public:
  TestCertificate(std::shared_ptr<X509> cert, std::shared_ptr<EVP_PKEY> key);

  // Returns the certificate and key read back from their PEM texts; throws
  // std::runtime_error when either does not parse or the key does not fit.
  static TestCertificate from_pem(std::string_view cert_pem, std::string_view key_pem);

  // Returns the certificate in PEM.
  std::string pem() const;
  // Returns the certificate in DER.
  std::vector<std::uint8_t> der() const;
  // Returns the private key in PEM (PKCS#8).
  std::string key_pem() const;
  // Writes the certificate's PEM to `path`; throws std::runtime_error on failure.
  void write_pem(const std::filesystem::path& path) const;
  // Writes the private key's PEM to `path`; throws std::runtime_error on failure.
  void write_key_pem(const std::filesystem::path& path) const;

  // Returns the OpenSSL certificate (owned by this object).
  X509* x509() const { return cert_.get(); }
  // Returns the OpenSSL private key (owned by this object).
  EVP_PKEY* key() const { return key_.get(); }

 private:
  std::shared_ptr<X509> cert_;
  std::shared_ptr<EVP_PKEY> key_;
};

// A root CA like the box's: an Ed25519 key, O and CN, CA with path length 1,
// key usage for signing certificates and CRLs, subject and authority key ids.
class TestCa {
 public:
  // Makes a new root with its own key; throws std::runtime_error on failure.
  explicit TestCa(std::string common_name = "Ostrevane Test Box CA", Validity validity = {});
  // Uses `root`, a CA certificate with its key (for instance one saved earlier
  // and read back with TestCertificate::from_pem), as the root.
  explicit TestCa(TestCertificate root);

  // Returns the root's own certificate.
  const TestCertificate& root() const { return root_; }

  // Returns a new server certificate (P-256 key, server-auth usage) naming
  // `dns_names`, signed by this root; throws std::runtime_error on failure.
  TestCertificate issue_leaf(const std::vector<std::string>& dns_names,
                             Validity validity = {}) const;

 private:
  TestCertificate root_;
};

}  // namespace ostrevane::test
