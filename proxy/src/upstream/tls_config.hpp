#pragma once

#include <boost/asio/ssl/context.hpp>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>

namespace ostrevane {

// The TLS client configuration for every connection to the box, shared
// read-only by reference count once built.
using TlsConfig = std::shared_ptr<boost::asio::ssl::context>;

// Returns a new client configuration that trusts only the root CA certificate
// `ca_der` (DER bytes): TLS 1.3 and 1.2, ALPN "http/1.1", no client
// certificate, peer and host-name verification on, the root's own validity,
// key usage and basic constraints ignored, the box's certificate rules
// applied (see apply_certificate_policy). No OpenSSL configuration file is
// read, so the machine's cannot change any of it. Fails with "the box's CA is
// not usable: {}" or "TLS setup failed: {}" (OpenSSL's text). Each call gives
// an independent context with its own session cache.
[[nodiscard]] std::expected<TlsConfig, std::string> build_tls_config(
    std::span<const std::uint8_t> ca_der);

// Returns the text for a failed TLS operation on a stream using `ssl`
// (nullable): OpenSSL's reason for `error`, followed by " (" and the
// certificate verification result's text ")" when verification failed
// (the box's rule that refused the chain, or OpenSSL's text).
std::string tls_error_text(const boost::system::error_code& error, const SSL* ssl);

}  // namespace ostrevane
