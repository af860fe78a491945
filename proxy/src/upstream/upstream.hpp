#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "proxy/src/discover/box_names.hpp"
#include "proxy/src/upstream/tls_config.hpp"

namespace ostrevane {

// The box client's one record of the box: where to dial it, its names (ASCII
// lower case) and how to trust it. Built once; only the console name sits
// behind a lock, which nothing in this program writes.
struct UpstreamState {
  std::string address;  // IP address text, no port, as discovery gave it
  std::string app;
  std::string api;
  std::string supabase;
  TlsConfig tls;
  std::uint16_t port = 443;

  // Returns a copy of the console host name, or nothing when the box named none.
  std::optional<std::string> console_name() const;
  // Returns true when `host` equals the console host name byte for byte.
  bool is_console(std::string_view host) const;

  mutable std::shared_mutex console_lock;
  std::optional<std::string> console;
};

// Returns a new shared state for the box at `address`:`port` with these host
// names (lower-cased) and TLS configuration.
std::shared_ptr<const UpstreamState> make_upstream_state(std::string address, std::uint16_t port,
                                                         const BoxHosts& hosts, TlsConfig tls);

// Which of the box's host names a request uses.
enum class BoxTarget : std::uint8_t { Api = 0, Supabase = 1, App = 2, Console = 3 };

// Returns the host name for `target`, or nothing for Console when the box has
// not named its console's host.
std::optional<std::string> target_host(const UpstreamState& state, BoxTarget target);

// Returns `text` with A-Z turned to a-z, every other byte unchanged.
std::string ascii_lower(std::string_view text);

// A connection to the box: TLS over a Beast TCP stream (whose expiry bounds
// every operation on it).
using BoxStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

// Why a connect failed.
enum class ConnectErrorKind : std::uint8_t {
  InvalidInput,  // no host, not one of the box's names, not a usable server name
  Os,            // the TCP connect or the socket failed before any TLS exchange failed
  Tls,           // the TLS library refused the handshake (certificate, protocol)
  TimedOut,      // the caller's deadline passed
};

// A failed connect: its kind and its text ("no host", "Connection refused (os
// error 111)", "certificate verify failed (certificate has expired)").
struct ConnectError {
  ConnectErrorKind kind;
  std::string text;
};

// Makes connections to the box for any of its names: the host of the request's
// URI picks the TLS server name, the state's address and port are dialled.
class UpstreamConnector {
 public:
  explicit UpstreamConnector(std::shared_ptr<const UpstreamState> state);

  // Connects for the request URI `uri` ("https://host/path"; the URI's port is
  // ignored) and runs the TLS handshake naming the lower-cased host; every step
  // is bounded by `deadline` (kind TimedOut when it passes). Returns the
  // connected stream or the first failure.
  boost::asio::awaitable<std::expected<std::unique_ptr<BoxStream>, ConnectError>> connect(
      std::string uri, std::chrono::steady_clock::time_point deadline =
                           std::chrono::steady_clock::time_point::max()) const;

  // Returns the state this connector dials.
  const std::shared_ptr<const UpstreamState>& state() const { return state_; }

 private:
  std::shared_ptr<const UpstreamState> state_;
};

// Returns the host part of a URI's authority (user information up to the last
// '@' and everything from the first ':' dropped; an IPv6 literal keeps its
// brackets), or nothing when the URI has no authority.
std::optional<std::string_view> uri_host(std::string_view uri);

}  // namespace ostrevane
