#include "proxy/src/upstream/tls_sessions.hpp"

#include <map>
#include <mutex>

namespace ostrevane {
namespace {

// Sessions by server name; each entry owns its session.
struct SessionStore {
  std::mutex mutex;
  std::map<std::string, SSL_SESSION*> sessions;

  ~SessionStore() {
    for (auto& [host, session] : sessions) {
      SSL_SESSION_free(session);
    }
  }
};

void free_store(void*, void* store, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<SessionStore*>(store);
}

int store_index() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, free_store);
  return index;
}

SessionStore* store_of(SSL_CTX* ctx) {
  return static_cast<SessionStore*>(SSL_CTX_get_ex_data(ctx, store_index()));
}

// Called by OpenSSL for each new session (with TLS 1.3, after the handshake,
// when a ticket arrives). The store keeps a copy of its own: OpenSSL marks the
// connection's own session as not resumable when that connection is dropped
// without a TLS close, which is how idle connections to the box end.
int remember_session(SSL* ssl, SSL_SESSION* offered) {
  SessionStore* store = store_of(SSL_get_SSL_CTX(ssl));
  const char* host = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  if (store == nullptr || host == nullptr) {
    return 0;
  }
  SSL_SESSION* session = SSL_SESSION_dup(offered);
  if (session == nullptr) {
    return 0;
  }
  std::lock_guard lock(store->mutex);
  auto found = store->sessions.find(host);
  if (found != store->sessions.end()) {
    SSL_SESSION_free(found->second);
    found->second = session;
    return 0;
  }
  if (store->sessions.size() >= TLS_SESSION_CACHE_SIZE) {
    // The oldest name is not known here; dropping any one keeps the bound.
    SSL_SESSION_free(store->sessions.begin()->second);
    store->sessions.erase(store->sessions.begin());
  }
  store->sessions.emplace(host, session);
  return 0;
}

}  // namespace

void enable_session_resumption(SSL_CTX* ctx) {
  SSL_CTX_set_ex_data(ctx, store_index(), new SessionStore);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, remember_session);
}

void offer_session(SSL* ssl, const std::string& host) {
  SessionStore* store = store_of(SSL_get_SSL_CTX(ssl));
  if (store == nullptr) {
    return;
  }
  std::lock_guard lock(store->mutex);
  auto found = store->sessions.find(host);
  if (found != store->sessions.end()) {
    SSL_set_session(ssl, found->second);
  }
}

}  // namespace ostrevane
