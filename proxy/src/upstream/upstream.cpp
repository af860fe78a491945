#include "proxy/src/upstream/upstream.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <mutex>

#include "platform/os_error.hpp"
#include "proxy/src/upstream/server_name.hpp"
#include "proxy/src/upstream/tls_sessions.hpp"

namespace ostrevane {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace {

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);

ConnectError invalid_input(std::string text) {
  return ConnectError{ConnectErrorKind::InvalidInput, std::move(text)};
}

// The operating system's text for its own errors, the library's otherwise.
std::string io_text(const boost::system::error_code& error) {
  if (error.category() == boost::system::system_category()) {
    return platform::os_error_text(error.value());
  }
  return error.message();
}

ConnectError timed_out() {
  return ConnectError{ConnectErrorKind::TimedOut, "connection timed out"};
}

// A peer that closes during the handshake has not refused our TLS: it has
// gone away, which counts as a connection failure, not a TLS error.
bool is_peer_gone(const boost::system::error_code& error) {
  return error == asio::ssl::error::stream_truncated || error == asio::error::eof ||
         error == asio::error::connection_reset || error == asio::error::broken_pipe;
}

}  // namespace

std::optional<std::string> UpstreamState::console_name() const {
  std::shared_lock lock(console_lock);
  return console;
}

bool UpstreamState::is_console(std::string_view host) const {
  std::shared_lock lock(console_lock);
  return console.has_value() && *console == host;
}

std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

std::shared_ptr<const UpstreamState> make_upstream_state(std::string address, std::uint16_t port,
                                                         const BoxHosts& hosts, TlsConfig tls) {
  auto state = std::make_shared<UpstreamState>();
  state->address = std::move(address);
  state->app = ascii_lower(hosts.app);
  state->api = ascii_lower(hosts.api);
  state->supabase = ascii_lower(hosts.supabase);
  state->console = ascii_lower(hosts.console);
  state->tls = std::move(tls);
  state->port = port;
  return state;
}

std::optional<std::string> target_host(const UpstreamState& state, BoxTarget target) {
  switch (target) {
    case BoxTarget::Api:
      return state.api;
    case BoxTarget::Supabase:
      return state.supabase;
    case BoxTarget::App:
      return state.app;
    case BoxTarget::Console:
      return state.console_name();
  }
  return std::nullopt;
}

std::optional<std::string_view> uri_host(std::string_view uri) {
  const std::size_t scheme_end = uri.find("://");
  if (scheme_end == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view authority = uri.substr(scheme_end + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    return close == std::string_view::npos ? authority : authority.substr(0, close + 1);
  }
  return authority.substr(0, authority.find(':'));
}

UpstreamConnector::UpstreamConnector(std::shared_ptr<const UpstreamState> state)
    : state_(std::move(state)) {}

asio::awaitable<std::expected<std::unique_ptr<BoxStream>, ConnectError>> UpstreamConnector::connect(
    std::string uri, std::chrono::steady_clock::time_point deadline) const {
  // Keeps the state alive for the whole connect, whatever happens to the connector.
  const std::shared_ptr<const UpstreamState> state = state_;
  const std::optional<std::string_view> raw_host = uri_host(uri);
  if (!raw_host || raw_host->empty()) {
    co_return std::unexpected(invalid_input("no host"));
  }
  const std::string host = ascii_lower(*raw_host);
  if (!state->is_console(host) && host != state->api && host != state->supabase &&
      host != state->app) {
    co_return std::unexpected(invalid_input(host + " is not one of this box's names"));
  }

  boost::system::error_code parse_error;
  const asio::ip::address address = asio::ip::make_address(state->address, parse_error);
  if (parse_error) {
    co_return std::unexpected(invalid_input("invalid box address: " + state->address));
  }

  auto stream = std::make_unique<BoxStream>(co_await asio::this_coro::executor, *state->tls);
  beast::tcp_stream& tcp = beast::get_lowest_layer(*stream);
  tcp.expires_at(deadline);
  const auto [connect_error] =
      co_await tcp.async_connect(asio::ip::tcp::endpoint(address, state->port), kNoThrow);
  if (connect_error == beast::error::timeout) {
    co_return std::unexpected(timed_out());
  }
  if (connect_error) {
    co_return std::unexpected(ConnectError{ConnectErrorKind::Os, io_text(connect_error)});
  }
  boost::system::error_code ignored;
  tcp.socket().set_option(asio::ip::tcp::no_delay(true), ignored);

  if (!set_server_name(stream->native_handle(), host)) {
    co_return std::unexpected(invalid_input("invalid dns name"));
  }
  offer_session(stream->native_handle(), host);

  const auto [handshake_error] =
      co_await stream->async_handshake(asio::ssl::stream_base::client, kNoThrow);
  if (handshake_error == beast::error::timeout) {
    co_return std::unexpected(timed_out());
  }
  if (handshake_error) {
    if (is_peer_gone(handshake_error)) {
      co_return std::unexpected(ConnectError{ConnectErrorKind::Os, "tls handshake eof"});
    }
    if (handshake_error.category() == asio::error::get_ssl_category() ||
        handshake_error.category() == asio::ssl::error::get_stream_category()) {
      co_return std::unexpected(ConnectError{
          ConnectErrorKind::Tls, tls_error_text(handshake_error, stream->native_handle())});
    }
    co_return std::unexpected(ConnectError{ConnectErrorKind::Os, io_text(handshake_error)});
  }
  co_return stream;
}

}  // namespace ostrevane
