#include "testsupport/test_pki.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <stdexcept>

namespace ostrevane::test {
namespace {

[[noreturn]] void fail(const std::string& what) {
  char text[256] = "no OpenSSL error";
  if (unsigned long code = ERR_get_error()) {
    ERR_error_string_n(code, text, sizeof text);
  }
  ERR_clear_error();
  throw std::runtime_error("test PKI: " + what + ": " + text);
}

using KeyPointer = std::shared_ptr<EVP_PKEY>;

KeyPointer own_key(EVP_PKEY* key) {
  if (key == nullptr) {
    fail("key generation");
  }
  return KeyPointer(key, EVP_PKEY_free);
}

KeyPointer make_rsa_key(int bits) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  // Two primes of 4096 bits take tens of seconds to find; five smaller ones
  // make a modulus of the same size in a second or two.
  const int primes = bits > 8192 ? 5 : bits > 4096 ? 4 : 2;
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_primes(ctx.get(), primes) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &key) != 1) {
    fail("RSA key generation");
  }
  return own_key(key);
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr || X509_add_ext(cert, ext, -1) != 1) {
    X509_EXTENSION_free(ext);
    fail("extension " + std::string(value));
  }
  X509_EXTENSION_free(ext);
}

// A certificate with a random serial, the given subject and validity, and
// the subject's public key; not yet signed.
std::shared_ptr<X509> make_certificate(EVP_PKEY* subject_key, const std::string& common_name,
                                       Validity validity) {
  std::shared_ptr<X509> cert(X509_new(), X509_free);
  unsigned char serial_bytes[16];
  if (!cert || X509_set_version(cert.get(), 2) != 1 ||
      RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) {
    fail("certificate");
  }
  serial_bytes[0] &= 0x7f;
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr);
  ASN1_INTEGER* serial_asn1 = BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
  BN_free(serial);
  if (serial_asn1 == nullptr) {
    fail("serial");
  }
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Ostrevane"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  if (X509_time_adj_ex(X509_getm_notBefore(cert.get()), 0,
                       static_cast<long>(validity.not_before.count()), nullptr) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(cert.get()), 0,
                       static_cast<long>(validity.not_after.count()), nullptr) == nullptr ||
      X509_set_pubkey(cert.get(), subject_key) != 1) {
    fail("validity or key");
  }
  return cert;
}

// Names `issuer` as the issuer of `cert`: its subject, or with `recased` the
// same values in upper case with every space doubled, which differs byte for
// byte but not once case and spacing are folded.
void set_issuer_name(X509* cert, X509* issuer, bool recased) {
  const X509_NAME* subject = X509_get_subject_name(issuer);
  if (!recased) {
    if (X509_set_issuer_name(cert, subject) != 1) {
      fail("issuer name");
    }
    return;
  }
  std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_new(), X509_NAME_free);
  for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
    unsigned char* utf8 = nullptr;
    const int size = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (size < 0) {
      fail("issuer name");
    }
    std::string value;
    for (int j = 0; j < size; ++j) {
      const char c = static_cast<char>(utf8[j]);
      value +=
          c == ' ' ? std::string("  ") : std::string(1, c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    OPENSSL_free(utf8);
    if (!name || X509_NAME_add_entry_by_OBJ(
                     name.get(), X509_NAME_ENTRY_get_object(entry), MBSTRING_UTF8,
                     reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) != 1) {
      fail("issuer name");
    }
  }
  if (!name || X509_set_issuer_name(cert, name.get()) != 1) {
    fail("issuer name");
  }
}

void sign(X509* cert, EVP_PKEY* key, const Signing& signing) {
  const int type = EVP_PKEY_get_id(key);
  const bool takes_digest = type != EVP_PKEY_ED25519 && type != EVP_PKEY_ED448;
  const EVP_MD* digest = takes_digest ? EVP_get_digestbyname(signing.digest.c_str()) : nullptr;
  if (takes_digest && digest == nullptr) {
    fail("digest " + signing.digest);
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY_CTX* key_ctx = nullptr;
  if (!ctx || EVP_DigestSignInit(ctx.get(), &key_ctx, digest, nullptr, key) != 1) {
    fail("signing");
  }
  if (signing.pss && (EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING) != 1 ||
                      EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, signing.pss_salt) != 1)) {
    fail("PSS padding");
  }
  if (X509_sign_ctx(cert, ctx.get()) <= 0) {
    fail("signing");
  }
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return text;
}

void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) {
    throw std::runtime_error("test PKI: cannot write " + path.string());
  }
}

KeyPointer make_key_of_kind(const KeySpec& spec) {
  switch (spec.kind) {
    case KeyKind::Ed25519:
      return own_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    case KeyKind::Ed448:
      return own_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED448"));
    case KeyKind::EcP256:
      return own_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    case KeyKind::EcP384:
      return own_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"));
    case KeyKind::EcP521:
      return own_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-521"));
    case KeyKind::Rsa:
      return make_rsa_key(spec.rsa_bits);
  }
  fail("key kind");
}

}  // namespace

Validity expired() {
  return Validity{-std::chrono::hours(24 * 30), -std::chrono::hours(1)};
}

Validity not_yet_valid() {
  return Validity{std::chrono::hours(24), std::chrono::hours(24 * 30)};
}

std::shared_ptr<EVP_PKEY> make_key(KeySpec spec) {
  KeyPointer key = make_key_of_kind(spec);
  if (spec.compressed_point &&
      EVP_PKEY_set_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                     OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_COMPRESSED) != 1) {
    fail("compressed point");
  }
  return key;
}

TestCertificate::TestCertificate(std::shared_ptr<X509> cert, std::shared_ptr<EVP_PKEY> key,
                                 std::vector<std::shared_ptr<X509>> chain)
    : cert_(std::move(cert)), key_(std::move(key)), chain_(std::move(chain)) {}

TestCertificate TestCertificate::from_pem(std::string_view cert_pem, std::string_view key_pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> cert_bio(
      BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size())), BIO_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> key_bio(
      BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())), BIO_free);
  if (!cert_bio || !key_bio) {
    fail("PEM buffer");
  }
  std::shared_ptr<X509> cert(PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr),
                             X509_free);
  if (!cert) {
    fail("certificate PEM");
  }
  std::shared_ptr<EVP_PKEY> key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr),
                                EVP_PKEY_free);
  if (!key) {
    fail("key PEM");
  }
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    fail("the key does not belong to the certificate");
  }
  std::vector<std::shared_ptr<X509>> chain;
  while (X509* next = PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr)) {
    chain.emplace_back(next, X509_free);
  }
  // The loop ends on the end of the text, which OpenSSL queues as an error.
  ERR_clear_error();
  return TestCertificate(std::move(cert), std::move(key), std::move(chain));
}

std::string TestCertificate::pem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (PEM_write_bio_X509(bio, cert_.get()) != 1) {
    BIO_free(bio);
    fail("PEM");
  }
  return bio_text(bio);
}

std::string TestCertificate::chain_pem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (PEM_write_bio_X509(bio, cert_.get()) != 1) {
    BIO_free(bio);
    fail("PEM");
  }
  for (const std::shared_ptr<X509>& cert : chain_) {
    if (PEM_write_bio_X509(bio, cert.get()) != 1) {
      BIO_free(bio);
      fail("PEM");
    }
  }
  return bio_text(bio);
}

std::vector<std::uint8_t> TestCertificate::der() const {
  unsigned char* data = nullptr;
  const int size = i2d_X509(cert_.get(), &data);
  if (size <= 0) {
    fail("DER");
  }
  std::vector<std::uint8_t> bytes(data, data + size);
  OPENSSL_free(data);
  return bytes;
}

std::string TestCertificate::key_pem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (PEM_write_bio_PrivateKey(bio, key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    BIO_free(bio);
    fail("key PEM");
  }
  return bio_text(bio);
}

void TestCertificate::write_pem(const std::filesystem::path& path) const {
  write_text(path, pem());
}

void TestCertificate::write_key_pem(const std::filesystem::path& path) const {
  write_text(path, key_pem());
}

TestCa::TestCa(std::string common_name, Validity validity)
    : root_([&] {
        std::shared_ptr<EVP_PKEY> key = make_key({.kind = KeyKind::Ed25519});
        std::shared_ptr<X509> cert = make_certificate(key.get(), common_name, validity);
        X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
        add_extension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:1");
        add_extension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
        add_extension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
        add_extension(cert.get(), cert.get(), NID_authority_key_identifier, "keyid:always");
        sign(cert.get(), key.get(), {});
        return TestCertificate(std::move(cert), std::move(key));
      }()) {}

TestCa::TestCa(TestCertificate root) : root_(std::move(root)) {}

std::vector<std::shared_ptr<X509>> TestCa::chain_of_issued() const {
  X509* own = root_.x509();
  if (X509_NAME_cmp(X509_get_subject_name(own), X509_get_issuer_name(own)) == 0) {
    return {};
  }
  X509_up_ref(own);
  std::vector<std::shared_ptr<X509>> chain{std::shared_ptr<X509>(own, X509_free)};
  chain.insert(chain.end(), root_.chain().begin(), root_.chain().end());
  return chain;
}

TestCertificate TestCa::issue_leaf(const std::vector<std::string>& dns_names,
                                   Validity validity) const {
  return issue_leaf(dns_names, CertOptions{.validity = validity});
}

TestCertificate TestCa::issue_leaf(const std::vector<std::string>& dns_names,
                                   const CertOptions& options) const {
  std::shared_ptr<EVP_PKEY> key = make_key(options.key);
  const std::string common_name = dns_names.empty() ? "box" : dns_names.front();
  std::shared_ptr<X509> cert = make_certificate(key.get(), common_name, options.validity);
  set_issuer_name(cert.get(), root_.x509(), options.recased_issuer);
  add_extension(cert.get(), root_.x509(), NID_basic_constraints,
                options.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  add_extension(cert.get(), root_.x509(), NID_key_usage, "critical,digitalSignature");
  add_extension(cert.get(), root_.x509(), NID_ext_key_usage, "serverAuth");
  add_extension(cert.get(), root_.x509(), NID_subject_key_identifier, "hash");
  add_extension(cert.get(), root_.x509(), NID_authority_key_identifier, "keyid:always");
  if (!dns_names.empty() && options.alt_names) {
    std::string names;
    for (const std::string& name : dns_names) {
      names += (names.empty() ? "DNS:" : ",DNS:") + name;
    }
    add_extension(cert.get(), root_.x509(), NID_subject_alt_name, names.c_str());
  }
  sign(cert.get(), root_.key(), options.signing);
  return TestCertificate(std::move(cert), std::move(key), chain_of_issued());
}

TestCa TestCa::issue_ca(const std::string& common_name, const CertOptions& options) const {
  std::shared_ptr<EVP_PKEY> key = make_key(options.key);
  std::shared_ptr<X509> cert = make_certificate(key.get(), common_name, options.validity);
  set_issuer_name(cert.get(), root_.x509(), options.recased_issuer);
  add_extension(cert.get(), root_.x509(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert.get(), root_.x509(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(cert.get(), root_.x509(), NID_subject_key_identifier, "hash");
  add_extension(cert.get(), root_.x509(), NID_authority_key_identifier, "keyid:always");
  sign(cert.get(), root_.key(), options.signing);
  return TestCa(TestCertificate(std::move(cert), std::move(key), chain_of_issued()));
}

}  // namespace ostrevane::test
