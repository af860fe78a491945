#pragma once

#include <openssl/ssl.h>

#include <string>

namespace ostrevane {

// How many hosts' sessions one configuration remembers.
inline constexpr std::size_t TLS_SESSION_CACHE_SIZE = 256;

// Makes `ctx` remember, per server name and in memory only, the sessions its
// connections receive, so that later connections to the same name can resume.
// The store lives and dies with the context.
void enable_session_resumption(SSL_CTX* ctx);

// Offers the remembered session for `host`, if any, on the connection `ssl`
// before its handshake.
void offer_session(SSL* ssl, const std::string& host);

}  // namespace ostrevane
