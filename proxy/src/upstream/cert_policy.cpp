#include "proxy/src/upstream/cert_policy.hpp"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrevane {
namespace {

constexpr int kMinRsaBits = 2048;
constexpr int kMaxRsaBits = 8192;
constexpr int kMaxIntermediates = 6;
// The first byte of an EC point in uncompressed form (X9.62).
constexpr unsigned char kUncompressedPoint = 0x04;

// Only the anchor's name and key count: its own dates, key usage and basic
// constraints are not ours to judge, so an expired root still anchors valid
// leaves. Every other error stands.
bool is_forgiven_on_anchor(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return true;
    default:
      return false;
  }
}

bool is_trust_anchor(X509_STORE_CTX* store_ctx, X509* cert) {
  X509_STORE* store = X509_STORE_CTX_get0_store(store_ctx);
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* anchor = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (anchor != nullptr && X509_cmp(anchor, cert) == 0) {
      return true;
    }
  }
  return false;
}

int forgive_the_anchor(int preverified, X509_STORE_CTX* store_ctx) {
  if (preverified == 1) {
    return 1;
  }
  const int error = X509_STORE_CTX_get_error(store_ctx);
  X509* cert = X509_STORE_CTX_get_current_cert(store_ctx);
  if (cert != nullptr && is_forgiven_on_anchor(error) && is_trust_anchor(store_ctx, cert)) {
    X509_STORE_CTX_set_error(store_ctx, X509_V_OK);
    return 1;
  }
  return 0;
}

std::string object_name(const ASN1_OBJECT* object) {
  if (const int nid = OBJ_obj2nid(object); nid != NID_undef) {
    return OBJ_nid2ln(nid);
  }
  std::array<char, 80> dotted{};
  OBJ_obj2txt(dotted.data(), static_cast<int>(dotted.size()), object, 1);
  return dotted.data();
}

// OpenSSL reads compressed and hybrid points as well; the box's rules take
// only the uncompressed form, as it stands in the certificate.
std::optional<std::string> point_form_fault(X509* cert) {
  const unsigned char* point = nullptr;
  int size = 0;
  if (X509_PUBKEY_get0_param(nullptr, &point, &size, nullptr, X509_get_X509_PUBKEY(cert)) == 1 &&
      size > 0 && point[0] == kUncompressedPoint) {
    return std::nullopt;
  }
  return "public key not accepted: EC point not in uncompressed form";
}

std::optional<std::string> key_fault(X509* cert) {
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key == nullptr) {
    return "public key not accepted: unreadable";
  }
  const int type = EVP_PKEY_get_base_id(key);
  if (type == EVP_PKEY_ED25519) {
    return std::nullopt;
  }
  if (type == EVP_PKEY_RSA) {
    // The bound is the program's own, whatever the library's security level.
    const int bits = EVP_PKEY_get_bits(key);
    if (bits >= kMinRsaBits && bits <= kMaxRsaBits) {
      return std::nullopt;
    }
    return "public key not accepted: RSA of " + std::to_string(bits) + " bits";
  }
  if (type == EVP_PKEY_EC) {
    std::array<char, 64> group{};
    if (EVP_PKEY_get_group_name(key, group.data(), group.size(), nullptr) != 1) {
      return "public key not accepted: EC on an unnamed curve";
    }
    const std::string curve = group.data();
    if (curve != SN_X9_62_prime256v1 && curve != SN_secp384r1) {
      return "public key not accepted: EC on " + curve;
    }
    return point_form_fault(cert);
  }
  const char* name = OBJ_nid2ln(type);
  return "public key not accepted: " + std::string(name != nullptr ? name : "unknown kind");
}

// The signature `cert` carries, made by the next certificate's key.
std::optional<std::string> signature_fault(X509* cert) {
  const X509_ALGOR* algorithm = nullptr;
  X509_get0_signature(nullptr, &algorithm, cert);
  const ASN1_OBJECT* object = nullptr;
  int parameter_type = V_ASN1_UNDEF;
  X509_ALGOR_get0(&object, &parameter_type, nullptr, algorithm);
  const bool absent = parameter_type == V_ASN1_UNDEF;
  bool known = true;
  switch (OBJ_obj2nid(object)) {
    case NID_ecdsa_with_SHA256:
    case NID_ecdsa_with_SHA384:
    case NID_ED25519:
      if (absent) {
        return std::nullopt;
      }
      break;
    case NID_sha256WithRSAEncryption:
    case NID_sha384WithRSAEncryption:
    case NID_sha512WithRSAEncryption:
      if (absent || parameter_type == V_ASN1_NULL) {
        return std::nullopt;
      }
      break;
    case NID_rsassaPss: {
      // OpenSSL marks PSS parameters as TLS's when the digest is SHA-256,
      // SHA-384 or SHA-512, the mask uses MGF1 with the same digest and the
      // salt is as long as the digest.
      std::uint32_t flags = 0;
      if (X509_get_signature_info(cert, nullptr, nullptr, nullptr, &flags) == 1 &&
          (flags & X509_SIG_INFO_TLS) != 0) {
        return std::nullopt;
      }
      break;
    }
    default:
      known = false;
      break;
  }
  return "signature algorithm not accepted: " + object_name(object) +
         (known ? " with these parameters" : "");
}

// OpenSSL finds an issuer by names compared with case and spaces folded; the
// box's rules take only a subject of the very same DER bytes.
std::optional<std::string> issuer_name_fault(X509* cert, X509* issuer) {
  const unsigned char* issuer_name = nullptr;
  std::size_t issuer_name_size = 0;
  const unsigned char* subject = nullptr;
  std::size_t subject_size = 0;
  if (X509_NAME_get0_der(X509_get_issuer_name(cert), &issuer_name, &issuer_name_size) == 1 &&
      X509_NAME_get0_der(X509_get_subject_name(issuer), &subject, &subject_size) == 1 &&
      std::equal(issuer_name, issuer_name + issuer_name_size, subject, subject + subject_size)) {
    return std::nullopt;
  }
  return "issuer name not accepted: not its issuer's subject byte for byte";
}

// Returns why `chain` (the end-entity certificate first, the anchor last)
// breaks the box's rules, or nothing when it keeps them.
std::optional<std::string> chain_fault(STACK_OF(X509) * chain) {
  const int count = sk_X509_num(chain);
  if (count <= 0) {
    return "no certificate";
  }
  if ((X509_get_extension_flags(sk_X509_value(chain, 0)) & EXFLAG_CA) != 0) {
    return "the end-entity certificate is a CA";
  }
  // Neither the end-entity certificate nor the anchor counts.
  if (count - 2 > kMaxIntermediates) {
    return "chain not accepted: more than " + std::to_string(kMaxIntermediates) +
           " intermediate certificates";
  }
  for (int i = 0; i < count; ++i) {
    X509* cert = sk_X509_value(chain, i);
    if (auto fault = key_fault(cert)) {
      return fault;
    }
    // The anchor's own signature and issuer vouch for nothing.
    if (i + 1 < count) {
      if (auto fault = signature_fault(cert)) {
        return fault;
      }
      if (auto fault = issuer_name_fault(cert, sk_X509_value(chain, i + 1))) {
        return fault;
      }
    }
  }
  return std::nullopt;
}

void free_refusal(void*, void* refusal, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<std::string*>(refusal);
}

// The slot of each connection that holds why the chain was refused.
int refusal_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, free_refusal);
  return index;
}

int verify_chain(X509_STORE_CTX* store_ctx, void*) {
  const int verified = X509_verify_cert(store_ctx);
  if (verified != 1) {
    return verified;
  }
  std::optional<std::string> fault = chain_fault(X509_STORE_CTX_get0_chain(store_ctx));
  if (!fault) {
    return 1;
  }
  auto* ssl = static_cast<SSL*>(
      X509_STORE_CTX_get_ex_data(store_ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (ssl != nullptr) {
    delete static_cast<std::string*>(SSL_get_ex_data(ssl, refusal_index()));
    SSL_set_ex_data(ssl, refusal_index(), new std::string(std::move(*fault)));
  }
  X509_STORE_CTX_set_error(store_ctx, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

}  // namespace

void apply_certificate_policy(SSL_CTX* ctx) {
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, forgive_the_anchor);
  SSL_CTX_set_cert_verify_callback(ctx, verify_chain, nullptr);
}

std::string verify_result_text(const SSL* ssl) {
  const long result = SSL_get_verify_result(ssl);
  if (result == X509_V_ERR_APPLICATION_VERIFICATION) {
    if (const auto* refusal =
            static_cast<const std::string*>(SSL_get_ex_data(ssl, refusal_index()))) {
      return *refusal;
    }
  }
  return X509_verify_cert_error_string(result);
}

}  // namespace ostrevane
