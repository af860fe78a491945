#include "proxy/src/discover/probe.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "platform/os_error.hpp"
#include "proxy/src/discover/box_names.hpp"
#include "proxy/src/upstream/server_name.hpp"
#include "proxy/src/upstream/tls_config.hpp"
#include "proxy/src/upstream/upstream.hpp"

namespace ostrevane {
namespace asio = boost::asio;
namespace beast = boost::beast;

namespace {

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);

ProbeResult silent(std::string text) {
  return {ProbeOutcome::Silent, std::move(text)};
}
ProbeResult not_genuine(std::string text) {
  return {ProbeOutcome::NotGenuine, std::move(text)};
}

}  // namespace

asio::awaitable<ProbeResult> probe_box(BoxAnswer answer, std::vector<std::uint8_t> ca_der,
                                       std::chrono::steady_clock::duration timeout) {
  auto hosts = box_host_names(answer.slug, answer.product);
  if (!hosts) {
    co_return not_genuine(std::move(hosts.error()));
  }
  auto tls = build_tls_config(ca_der);
  if (!tls) {
    co_return not_genuine(std::move(tls.error()));
  }

  boost::system::error_code parse_error;
  const auto address = asio::ip::make_address(answer.address, parse_error);
  if (parse_error) {
    co_return silent(platform::error_code_text(parse_error));
  }
  BoxStream stream(co_await asio::this_coro::executor, **tls);
  beast::get_lowest_layer(stream).expires_after(timeout);
  auto [connect_error] = co_await beast::get_lowest_layer(stream).async_connect(
      asio::ip::tcp::endpoint(address, answer.port), kNoThrow);
  if (connect_error == beast::error::timeout) {
    co_return silent("no answer within 8 s");
  }
  if (connect_error) {
    co_return silent(platform::error_code_text(connect_error));
  }

  const std::string server_name = ascii_lower(hosts->app);
  if (!set_server_name(stream.native_handle(), server_name)) {
    co_return not_genuine("invalid dns name");
  }
  beast::get_lowest_layer(stream).expires_after(timeout);
  auto [handshake_error] =
      co_await stream.async_handshake(asio::ssl::stream_base::client, kNoThrow);
  if (handshake_error == beast::error::timeout) {
    co_return silent("no TLS answer within 8 s");
  }
  if (handshake_error) {
    co_return not_genuine(tls_error_text(handshake_error, stream.native_handle()));
  }
  // Nothing is sent: closing the socket ends the probe.
  beast::get_lowest_layer(stream).close();
  co_return ProbeResult{ProbeOutcome::Genuine, {}};
}

}  // namespace ostrevane
