#include "proxy/src/upstream/tls_config.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/ssl/error.hpp>

#include "proxy/src/upstream/cert_policy.hpp"
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
// OpenSSL's defaults for a new context, and no renegotiation.
constexpr std::uint64_t kOptions =
    SSL_OP_NO_COMPRESSION | SSL_OP_ENABLE_MIDDLEBOX_COMPAT | SSL_OP_NO_RENEGOTIATION;
// Refuses what is weaker than 112 bits; everything the settings here accept
// meets it. The program's own certificate rules stand besides it.
constexpr int kSecurityLevel = 2;

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
  // Neither a machine's OpenSSL configuration nor the defaults the library
  // was built with may change the policy: set what they could have set.
  SSL_CTX_clear_options(ctx, SSL_CTX_get_options(ctx));
  SSL_CTX_set_options(ctx, kOptions);
  SSL_CTX_set_security_level(ctx, kSecurityLevel);
  apply_certificate_policy(ctx);
  enable_session_resumption(ctx);
  return {};
}

}  // namespace

std::expected<TlsConfig, std::string> build_tls_config(std::span<const std::uint8_t> ca_der) {
  // OpenSSL reads the machine's configuration file (OPENSSL_CONF, or the path
  // it was built with) at its first use unless told not to, and the program
  // takes no configuration of its own. The probe's call comes before any
  // other use of OpenSSL; the settings below hold even if one came first.
  if (OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1) {
    return std::unexpected("TLS setup failed: " + openssl_errors());
  }
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
    if (SSL_get_verify_result(ssl) != X509_V_OK) {
      text += " (" + verify_result_text(ssl) + ")";
    }
  }
  return text;
}

}  // namespace ostrevane
