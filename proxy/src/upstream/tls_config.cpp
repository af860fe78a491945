#include "proxy/src/upstream/tls_config.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <boost/asio/ssl/error.hpp>

#include "proxy/src/upstream/tls_sessions.hpp"

namespace ostrevane {
namespace {

constexpr const char* kTls13Suites =
    "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";
constexpr const char* kSignatureSchemes =
    "ecdsa_secp384r1_sha384:ecdsa_secp256r1_sha256:ed25519:"
    "rsa_pss_rsae_sha512:rsa_pss_rsae_sha384:rsa_pss_rsae_sha256:"
    "rsa_pkcs1_sha512:rsa_pkcs1_sha384:rsa_pkcs1_sha256";
constexpr unsigned char kAlpn[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

// Takes OpenSSL's queued errors as one text and clears the queue.
std::string openssl_errors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) {
      text += "; ";
    }
    const char* reason = ERR_reason_error_string(code);
    text += reason != nullptr ? reason : buffer;
  }
  return text.empty() ? "unknown error" : text;
}

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

int verify_callback(int preverified, X509_STORE_CTX* store_ctx) {
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

std::expected<void, std::string> apply_settings(SSL_CTX* ctx) {
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_ciphersuites(ctx, kTls13Suites) != 1 ||
      SSL_CTX_set_cipher_list(ctx, kTls12Suites) != 1 ||
      SSL_CTX_set1_groups_list(ctx, kGroups) != 1 ||
      SSL_CTX_set1_sigalgs_list(ctx, kSignatureSchemes) != 1 ||
      SSL_CTX_set_alpn_protos(ctx, kAlpn, sizeof kAlpn) != 0) {
    return std::unexpected(openssl_errors());
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verify_callback);
  enable_session_resumption(ctx);
  return {};
}

}  // namespace

std::expected<TlsConfig, std::string> build_tls_config(std::span<const std::uint8_t> ca_der) {
  ERR_clear_error();
  const unsigned char* cursor = ca_der.data();
  X509* anchor =
      ca_der.empty() ? nullptr : d2i_X509(nullptr, &cursor, static_cast<long>(ca_der.size()));
  if (anchor == nullptr) {
    std::string reason = ca_der.empty() ? "no certificate bytes" : openssl_errors();
    return std::unexpected("the box's CA is not usable: " + reason);
  }
  if (cursor != ca_der.data() + ca_der.size()) {
    X509_free(anchor);
    return std::unexpected(
        std::string("the box's CA is not usable: trailing bytes after the certificate"));
  }

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    X509_free(anchor);
    return std::unexpected("TLS setup failed: " + openssl_errors());
  }
  // The context takes ownership of `ctx` from here on.
  auto config = std::make_shared<boost::asio::ssl::context>(ctx);
  const int added = X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), anchor);
  X509_free(anchor);
  if (added != 1) {
    return std::unexpected("the box's CA is not usable: " + openssl_errors());
  }
  if (auto applied = apply_settings(ctx); !applied) {
    return std::unexpected("TLS setup failed: " + applied.error());
  }
  return config;
}

std::string tls_error_text(const boost::system::error_code& error, const SSL* ssl) {
  std::string text;
  if (error.category() == boost::asio::error::get_ssl_category()) {
    const char* reason = ERR_reason_error_string(static_cast<unsigned long>(error.value()));
    text = reason != nullptr ? reason : error.message();
  } else {
    text = error.message();
  }
  if (ssl != nullptr) {
    const long verified = SSL_get_verify_result(ssl);
    if (verified != X509_V_OK) {
      text += " (";
      text += X509_verify_cert_error_string(verified);
      text += ")";
    }
  }
  return text;
}

}  // namespace ostrevane
