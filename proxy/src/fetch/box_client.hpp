#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "proxy/src/fetch/fetch_error.hpp"
#include "proxy/src/upstream/upstream.hpp"

namespace ostrevane {

// The wait for a response head, from hand-off to the complete head.
inline constexpr std::chrono::seconds REQUEST_DEADLINE{8};
// The wait for each single read of a response body.
inline constexpr std::chrono::seconds STALL_TIMEOUT{30};
// How long an idle connection stays in the pool.
inline constexpr std::chrono::seconds POOL_IDLE_TIMEOUT{30};

// The box client's time limits; the program uses the defaults, tests shorten them.
struct BoxClientTimeouts {
  std::chrono::steady_clock::duration request_deadline = REQUEST_DEADLINE;
  std::chrono::steady_clock::duration stall = STALL_TIMEOUT;
  std::chrono::steady_clock::duration pool_idle = POOL_IDLE_TIMEOUT;
};

class ConnectionPool;

// The HTTP/1.1 client of one run: the connector to the box and a pool of idle
// keep-alive connections per host name. Used from one thread (the runtime's).
class BoxClient {
 public:
  // Makes a client that runs its I/O on `executor` and reaches the box of `state`.
  BoxClient(boost::asio::any_io_executor executor, std::shared_ptr<const UpstreamState> state,
            BoxClientTimeouts timeouts = {});
  ~BoxClient();
  BoxClient(const BoxClient&) = delete;
  BoxClient& operator=(const BoxClient&) = delete;

  // Returns the executor the client's I/O runs on.
  const boost::asio::any_io_executor& executor() const { return executor_; }
  // Returns the shared state of the box.
  const UpstreamState& state() const { return *connector_.state(); }
  // Returns the connector that dials new connections.
  const UpstreamConnector& connector() const { return connector_; }
  // Returns the time limits.
  const BoxClientTimeouts& timeouts() const { return timeouts_; }
  // Returns the pool of idle connections (shared with responses still reading).
  const std::shared_ptr<ConnectionPool>& pool() const { return pool_; }
  // Returns the number of idle connections the pool holds now, for all hosts.
  std::size_t idle_connections() const;

 private:
  boost::asio::any_io_executor executor_;
  UpstreamConnector connector_;
  BoxClientTimeouts timeouts_;
  std::shared_ptr<ConnectionPool> pool_;
};

// One read of a response body.
struct BodyData {
  std::size_t size = 0;  // bytes written at the start of the caller's span, never 0
};
struct BodyEnd {};
struct BodyStalled {};  // no byte within the client's stall time-out
struct BodyError {
  std::string text;  // "error reading a body from connection"
};
using BodyRead = std::variant<BodyData, BodyEnd, BodyStalled, BodyError>;

// A response whose head has been read and whose body is read by the caller.
// It owns its connection: when the body has ended cleanly on a keep-alive
// connection, the connection goes back to the client's pool; dropping the
// response earlier closes it.
class BoxResponse {
 public:
  struct Impl;
  explicit BoxResponse(std::unique_ptr<Impl> impl);
  BoxResponse(BoxResponse&&) noexcept;
  BoxResponse& operator=(BoxResponse&&) noexcept;
  ~BoxResponse();

  // Returns the status code.
  unsigned status() const;
  // Returns the response's header fields.
  const boost::beast::http::fields& headers() const;
  // Returns the raw value of the first header field named `name` (any letter
  // case), or nothing when there is none.
  std::optional<std::string_view> header(std::string_view name) const;

  // Reads the next bytes of the body into `into`: waits for the first, bounded
  // by the client's stall time-out, then takes in without waiting whatever has
  // arrived behind them, up to the span's size. Returns Data (n > 0), End once
  // the body is complete (and from then on), Stalled, or Error; empty chunks
  // and trailers are skipped, and more than 64 KiB of chunk framing in a row
  // (size lines, extensions, trailer) is an Error. After Stalled or Error the
  // response is unusable.
  boost::asio::awaitable<BodyRead> read_some(std::span<char> into);

 private:
  std::unique_ptr<Impl> impl_;
};

// Sends GET `path` to the box's host name for `target` with only the headers
// `Host` and `cache-control: no-cache`, and returns the response once its head
// has arrived with status 200. Fails with Unreachable "no answer within 8 s"
// when the head takes longer than the client's request deadline, Message
// "{path}: HTTP {code} {reason}" for another status, or the client error's
// text "client error ({kind}): ..." (Unreachable for a connection that failed
// before any TLS exchange, else Message). A pooled connection found dead before
// the request went out is replaced once.
boost::asio::awaitable<std::expected<BoxResponse, FetchError>> send_box_request(BoxClient& client,
                                                                                std::string path,
                                                                                BoxTarget target);

}  // namespace ostrevane
