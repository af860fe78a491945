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

// The kinds of key the test PKI makes.
enum class KeyKind { Ed25519, Ed448, EcP256, EcP384, EcP521, Rsa };

// A key to make: its kind and, for RSA, the size of its modulus.
struct KeySpec {
  KeyKind kind = KeyKind::EcP256;
  int rsa_bits = 2048;
  bool compressed_point = false;  // EC keys: the public point written compressed
};

// Returns a new private key as `spec` says; throws std::runtime_error on
// failure. RSA keys of more than 4096 bits are made of several primes, which
// is far quicker and gives the same public form.
std::shared_ptr<EVP_PKEY> make_key(KeySpec spec);

// How an issuer signs a certificate. Ed25519 and Ed448 keys take no digest.
struct Signing {
  std::string digest = "SHA256";  // an OpenSSL digest name
  bool pss = false;               // RSA keys: RSASSA-PSS instead of PKCS#1 v1.5
  int pss_salt = -1;              // the PSS salt's length in bytes; -1: the digest's
};

// What a certificate issued by a TestCa is like.
struct CertOptions {
  KeySpec key{};      // the subject's key
  Signing signing{};  // how the issuer signs it
  Validity validity{};
  bool ca = false;              // a leaf marked CA:TRUE in its basic constraints
  bool alt_names = true;        // a leaf's names in its subjectAltName; false: the first
                                // name in its common name only, and no subjectAltName
  bool recased_issuer = false;  // the issuer's name written in upper case with doubled
                                // spaces: its subject only once both are folded
};

// A certificate with its private key, made in this process.
class TestCertificate {
 public:
  TestCertificate(std::shared_ptr<X509> cert, std::shared_ptr<EVP_PKEY> key,
                  std::vector<std::shared_ptr<X509>> chain = {});

  // Returns the certificate and key read back from their PEM texts (any
  // further certificates after the first become its chain); throws
  // std::runtime_error when either does not parse or the key does not fit.
  static TestCertificate from_pem(std::string_view cert_pem, std::string_view key_pem);

  // Returns the certificate in PEM.
  std::string pem() const;
  // Returns the certificate and then its chain in PEM, as a server presents them.
  std::string chain_pem() const;
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
  // Returns the CA certificates a server presents after this one, its
  // issuer first, up to the root (which is left out).
  const std::vector<std::shared_ptr<X509>>& chain() const { return chain_; }

 private:
  std::shared_ptr<X509> cert_;
  std::shared_ptr<EVP_PKEY> key_;
  std::vector<std::shared_ptr<X509>> chain_;
};

// A root CA like the box's: an Ed25519 key, O and CN, CA with path length 1,
// key usage for signing certificates and CRLs, subject and authority key ids.
class TestCa {
 public:
  // Makes a new root with its own key; throws std::runtime_error on failure.
  explicit TestCa(std::string common_name = "Ostrevane Test Box CA", Validity validity = {});
  // Uses `root`, a certificate with its key (for instance one saved earlier
  // and read back with TestCertificate::from_pem), as the CA: a root when it
  // is self-issued, else an intermediate whose leaves carry it and its chain.
  explicit TestCa(TestCertificate root);

  // Returns the CA's own certificate (the root's, for a root).
  const TestCertificate& root() const { return root_; }

  // Returns a new server certificate (P-256 key, server-auth usage) naming
  // `dns_names`, signed by this CA; throws std::runtime_error on failure.
  TestCertificate issue_leaf(const std::vector<std::string>& dns_names,
                             Validity validity = {}) const;
  // Returns a new server certificate naming `dns_names` as `options` say.
  TestCertificate issue_leaf(const std::vector<std::string>& dns_names,
                             const CertOptions& options) const;
  // Returns a new intermediate CA under this one (CA:TRUE, key usage for
  // signing certificates) with the key and signature `options` say.
  TestCa issue_ca(const std::string& common_name, const CertOptions& options = {}) const;

 private:
  // The chain that certificates this CA issues carry: none for a root, else
  // this CA and its own chain.
  std::vector<std::shared_ptr<X509>> chain_of_issued() const;

  TestCertificate root_;
};

}  // namespace ostrevane::test
