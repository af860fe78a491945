#include "proxy/src/fetch/box_client.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <vector>

#include "platform/os_error.hpp"
#include "proxy/src/fetch/request_target.hpp"
#include "proxy/src/fetch/status_reason.hpp"
#include "proxy/src/fetch/tls_body_reader.hpp"

namespace ostrevane {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);
constexpr std::string_view kBodyError = "error reading a body from connection";
constexpr std::string_view kNoAnswer = "no answer within 8 s";

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

FetchError connect_failure(const ConnectError& error) {
  if (error.kind == ConnectErrorKind::TimedOut) {
    return Unreachable{std::string(kNoAnswer)};
  }
  std::string text = "client error (Connect): " + error.text;
  // Only a connection that failed before the TLS library judged anything
  // means the box did not answer; a refused handshake or a named certificate
  // means it answered wrongly.
  const bool connection_only = error.kind != ConnectErrorKind::Tls;
  if (contains(text, "certificate") || contains(text, "InvalidCertificate") || !connection_only) {
    return Message{std::move(text)};
  }
  return Unreachable{std::move(text)};
}

std::string io_text(const boost::system::error_code& error) {
  if (error.category() == boost::system::system_category()) {
    return platform::os_error_text(error.value());
  }
  return error.message();
}

bool is_closed(const boost::system::error_code& error) {
  return error == http::error::end_of_stream || error == asio::error::eof ||
         error == asio::ssl::error::stream_truncated;
}

bool is_connection_lost(const boost::system::error_code& error) {
  return is_closed(error) || error == asio::error::connection_reset ||
         error == asio::error::broken_pipe;
}

// A pooled connection must be quiet: an idle HTTP/1.1 connection has
// nothing to read, so any byte (a close_notify), an end of stream or an error
// means the box has let it go.
bool looks_alive(BoxStream& stream) {
  auto& socket = beast::get_lowest_layer(stream).socket();
  boost::system::error_code error;
  socket.non_blocking(true, error);
  if (error) {
    return false;
  }
  char probe;
  socket.receive(asio::buffer(&probe, 1), asio::socket_base::message_peek, error);
  boost::system::error_code ignored;
  socket.non_blocking(false, ignored);
  return error == asio::error::would_block;
}

// How a request failed after it had a connection.
struct ExchangeFailure {
  FetchError error;
  bool unsent;  // the connection was found dead before the box could have answered
};

}  // namespace

// Idle keep-alive connections by host name, newest last. Each is closed when
// its idle time runs out, whether or not the pool is used meanwhile.
class ConnectionPool : public std::enable_shared_from_this<ConnectionPool> {
 public:
  ConnectionPool(asio::any_io_executor executor, Clock::duration idle_limit)
      : idle_limit_(idle_limit), timer_(std::move(executor)) {}

  std::unique_ptr<BoxStream> take(std::string_view host) {
    drop_expired();
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if (it->host != host) {
        continue;
      }
      std::unique_ptr<BoxStream> stream = std::move(it->stream);
      idle_.erase(std::next(it).base());
      if (looks_alive(*stream)) {
        return stream;
      }
      return take(host);
    }
    return nullptr;
  }

  void put(std::string host, std::unique_ptr<BoxStream> stream) {
    drop_expired();
    beast::get_lowest_layer(*stream).expires_never();
    idle_.push_back(Idle{std::move(host), std::move(stream), Clock::now()});
    arm_timer();
  }

  std::size_t size() const { return idle_.size(); }

 private:
  struct Idle {
    std::string host;
    std::unique_ptr<BoxStream> stream;
    Clock::time_point since;
  };

  void drop_expired() {
    const Clock::time_point now = Clock::now();
    std::erase_if(idle_, [&](const Idle& idle) { return now - idle.since >= idle_limit_; });
  }

  // Waits for the oldest connection's time to run out, unless a wait is on.
  void arm_timer() {
    if (timer_armed_ || idle_.empty()) {
      return;
    }
    timer_armed_ = true;
    timer_.expires_at(idle_.front().since + idle_limit_);
    // The pool goes with its client, which may be before the wait ends.
    timer_.async_wait([pool = weak_from_this()](const boost::system::error_code&) {
      if (const std::shared_ptr<ConnectionPool> self = pool.lock()) {
        self->timer_armed_ = false;
        self->drop_expired();
        self->arm_timer();
      }
    });
  }

  Clock::duration idle_limit_;
  std::vector<Idle> idle_;
  asio::steady_timer timer_;
  bool timer_armed_ = false;
};

struct BoxResponse::Impl {
  std::unique_ptr<BoxStream> stream;
  beast::flat_buffer buffer;
  http::response_parser<http::buffer_body> parser;
  std::weak_ptr<ConnectionPool> pool;
  std::string host;
  Clock::duration stall{};
  // The body's reads, from the first on; goes before the stream.
  std::unique_ptr<TlsBodyReader> reader;
  // For a body of announced length: the bytes still to come. They are read
  // straight into the caller's span, past the parser.
  std::optional<std::uint64_t> length_left;
  // For a body the parser frames: the bytes it has taken in since it last gave
  // out body bytes, and whether it has seen all of `buffer` and asked for more.
  std::size_t framing = 0;
  bool parser_starved = false;
  bool ended = false;
  bool broken = false;
  std::optional<BodyRead> deferred;  // a failure that follows the bytes last returned

  // The body is complete: a keep-alive connection with nothing left over
  // serves the next request.
  void finish() {
    ended = true;
    const bool reusable =
        stream && parser.keep_alive() && buffer.size() == 0 && (!reader || reader->drained());
    reader.reset();
    if (reusable) {
      if (const std::shared_ptr<ConnectionPool> owner = pool.lock()) {
        owner->put(std::move(host), std::move(stream));
      }
    }
    stream.reset();
  }

  // The connection failed or stalled: it goes.
  void drop() {
    broken = true;
    reader.reset();
    stream.reset();
  }
};

BoxClient::BoxClient(asio::any_io_executor executor, std::shared_ptr<const UpstreamState> state,
                     BoxClientTimeouts timeouts)
    : executor_(std::move(executor)),
      connector_(std::move(state)),
      timeouts_(timeouts),
      pool_(std::make_shared<ConnectionPool>(executor_, timeouts.pool_idle)) {}

BoxClient::~BoxClient() = default;

std::size_t BoxClient::idle_connections() const {
  return pool_->size();
}

BoxResponse::BoxResponse(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BoxResponse::BoxResponse(BoxResponse&&) noexcept = default;
BoxResponse& BoxResponse::operator=(BoxResponse&&) noexcept = default;
BoxResponse::~BoxResponse() = default;

unsigned BoxResponse::status() const {
  return impl_->parser.get().result_int();
}

const http::fields& BoxResponse::headers() const {
  return impl_->parser.get().base();
}

std::optional<std::string_view> BoxResponse::header(std::string_view name) const {
  const http::fields& fields = headers();
  const auto found = fields.find(name);
  if (found == fields.end()) {
    return std::nullopt;
  }
  return found->value();
}

namespace {

// Room for the parser's input of a body it frames (chunked, or up to the
// connection's end).
constexpr std::size_t kBodyReadBuffer = 64 << 10;
// The most bytes of framing (chunk-size lines with their extensions, the
// trailer) in a row, without a body byte between them. The parser sets no
// bound of its own on them and holds them all until their line or section
// ends, so a box that sends them without end would fill memory.
constexpr std::size_t kFramingLimit = 64 << 10;

// What taking in the bytes at hand came to.
enum class BodyStep : std::uint8_t {
  More,    // the body goes on
  Done,    // the body is complete
  Failed,  // the connection ended or failed before the body did
};

// Prepares the first read of the body; returns false when the connection
// cannot be read.
bool start_body(BoxResponse::Impl& impl) {
  impl.reader = TlsBodyReader::take_over(*impl.stream);
  if (!impl.reader) {
    return false;
  }
  if (!impl.parser.chunked()) {
    if (const boost::optional<std::uint64_t> left = impl.parser.content_length_remaining()) {
      impl.length_left = *left;
      return true;
    }
  }
  impl.buffer.reserve(kBodyReadBuffer);
  return true;
}

// Takes into `into` (from `filled` on, never past the announced length) the
// bytes the head's read brought along, then those that have arrived since.
BodyStep take_counted(BoxResponse::Impl& impl, std::span<char> into, std::size_t& filled) {
  if (*impl.length_left == 0) {
    return BodyStep::Done;
  }
  std::size_t taken = asio::buffer_copy(asio::buffer(into.data() + filled, into.size() - filled),
                                        impl.buffer.data());
  impl.buffer.consume(taken);
  const TlsRead read = impl.reader->read_at_hand(into.subspan(filled + taken));
  taken += read.size;
  filled += taken;
  *impl.length_left -= taken;
  if (*impl.length_left == 0) {
    return BodyStep::Done;
  }
  // A clean TLS close before the announced length cuts the body too.
  return read.end == TlsReadEnd::Open ? BodyStep::More : BodyStep::Failed;
}

// Parses into `into` (from `filled` on) the body bytes of what has arrived.
BodyStep take_parsed(BoxResponse::Impl& impl, std::span<char> into, std::size_t& filled) {
  while (true) {
    if (impl.parser.is_done()) {
      return BodyStep::Done;
    }
    if (filled == into.size()) {
      return BodyStep::More;
    }
    // The bytes the parser asked more for stay in the buffer for it, and it
    // is given them again only with new ones behind them: it goes on from
    // where it stopped, and the same bytes a second time trip its checks.
    if (impl.buffer.size() != 0 && !impl.parser_starved) {
      auto& body = impl.parser.get().body();
      body.data = into.data() + filled;
      body.size = into.size() - filled;
      boost::system::error_code error;
      const std::size_t used = impl.parser.put(impl.buffer.data(), error);
      impl.buffer.consume(used);
      const std::size_t before = filled;
      filled = into.size() - body.size;
      impl.framing = filled != before ? 0 : impl.framing + used;
      if (error == http::error::need_buffer || (!error && used != 0)) {
        continue;
      }
      if (error && error != http::error::need_more) {
        return BodyStep::Failed;
      }
      impl.parser_starved = true;
      if (impl.framing + impl.buffer.size() > kFramingLimit) {
        return BodyStep::Failed;
      }
    }
    const auto space = impl.buffer.prepare(kBodyReadBuffer);
    const TlsRead read =
        impl.reader->read_at_hand(std::span<char>(static_cast<char*>(space.data()), space.size()));
    impl.buffer.commit(read.size);
    if (read.size != 0) {
      impl.parser_starved = false;
      continue;
    }
    if (read.end == TlsReadEnd::Closed) {
      // The end of a body that runs to the connection's end; any other is cut.
      boost::system::error_code error;
      impl.parser.put_eof(error);
      return error ? BodyStep::Failed : BodyStep::Done;
    }
    return read.end == TlsReadEnd::Open ? BodyStep::More : BodyStep::Failed;
  }
}

// Takes in what has arrived of the body. What the HTTP library throws (a
// trailer field too large for its header container, memory running out)
// fails the body like any other error.
BodyStep take(BoxResponse::Impl& impl, std::span<char> into, std::size_t& filled) {
  try {
    return impl.length_left ? take_counted(impl, into, filled) : take_parsed(impl, into, filled);
  } catch (const std::exception&) {
    return BodyStep::Failed;
  }
}

}  // namespace

asio::awaitable<BodyRead> BoxResponse::read_some(std::span<char> into) {
  Impl& impl = *impl_;
  if (impl.ended) {
    co_return BodyEnd{};
  }
  if (impl.deferred) {
    const BodyRead failure = *impl.deferred;
    impl.deferred.reset();
    co_return failure;
  }
  if (impl.broken || !impl.stream || into.empty()) {
    co_return BodyError{std::string(kBodyError)};
  }
  if (!impl.reader && !start_body(impl)) {
    impl.drop();
    co_return BodyError{std::string(kBodyError)};
  }
  if (impl.length_left) {
    into = into.first(
        static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), *impl.length_left)));
  }
  const Clock::time_point deadline = Clock::now() + impl.stall;
  std::size_t filled = 0;
  while (true) {
    const BodyStep step = take(impl, into, filled);
    if (step == BodyStep::Failed) {
      impl.drop();
      if (filled == 0) {
        co_return BodyError{std::string(kBodyError)};
      }
      // The bytes before the failure are the caller's; the failure is its next read.
      impl.deferred = BodyError{std::string(kBodyError)};
      co_return BodyData{filled};
    }
    if (filled != 0) {
      co_return BodyData{filled};
    }
    if (step == BodyStep::Done) {
      impl.finish();
      co_return BodyEnd{};
    }
    const TlsWait waited = co_await impl.reader->wait(deadline);
    if (waited != TlsWait::Ready) {
      impl.drop();
      if (waited == TlsWait::TimedOut) {
        co_return BodyStalled{};
      }
      co_return BodyError{std::string(kBodyError)};
    }
  }
}

namespace {

// A response about to be read from `stream`, `buffer` holding what has
// arrived of it already.
std::unique_ptr<BoxResponse::Impl> response_on(std::unique_ptr<BoxStream> stream,
                                               beast::flat_buffer buffer) {
  auto impl = std::make_unique<BoxResponse::Impl>();
  impl->stream = std::move(stream);
  impl->buffer = std::move(buffer);
  // The callers enforce their own limits on the bytes that arrive.
  impl->parser.body_limit(boost::none);
  return impl;
}

// An interim head announces the answer and comes before it. A 101 is not one:
// it would end HTTP on the connection, which no request here asks for, so it
// stands as the answer.
bool is_interim(unsigned status) {
  return status >= 100 && status < 200 && status != 101;
}

// The failure of a head's read; `something_came` once the box has sent any
// byte of an answer, which it could only do after it saw the request.
ExchangeFailure head_failure(const boost::system::error_code& error, bool something_came) {
  if (error == beast::error::timeout) {
    return ExchangeFailure{Unreachable{std::string(kNoAnswer)}, false};
  }
  const bool unsent = !something_came && is_connection_lost(error);
  std::string text = "client error (SendRequest): ";
  if (is_closed(error)) {
    text += "connection closed before message completed";
  } else if (error.category() == http::make_error_code(http::error::bad_version).category()) {
    text += "invalid HTTP response: " + error.message();
  } else {
    text += "connection error: " + io_text(error);
  }
  return ExchangeFailure{Message{std::move(text)}, unsent};
}

// Writes the request on `stream` and reads the response head, past any
// interim heads, all before `deadline`.
asio::awaitable<std::expected<std::unique_ptr<BoxResponse::Impl>, ExchangeFailure>> exchange(
    std::unique_ptr<BoxStream> stream, const http::request<http::empty_body>& request,
    Clock::time_point deadline) {
  auto impl = response_on(std::move(stream), {});
  beast::tcp_stream& tcp = beast::get_lowest_layer(*impl->stream);
  tcp.expires_at(deadline);

  const auto [write_error, written] = co_await http::async_write(*impl->stream, request, kNoThrow);
  if (write_error == beast::error::timeout) {
    co_return std::unexpected(ExchangeFailure{Unreachable{std::string(kNoAnswer)}, false});
  }
  if (write_error) {
    co_return std::unexpected(ExchangeFailure{
        Message{"client error (SendRequest): connection error: " + io_text(write_error)}, true});
  }

  bool interim_seen = false;
  while (true) {
    const auto [read_error, read] =
        co_await http::async_read_header(*impl->stream, impl->buffer, impl->parser, kNoThrow);
    if (read_error) {
      const bool something_came =
          interim_seen || impl->parser.got_some() || impl->buffer.size() != 0;
      co_return std::unexpected(head_failure(read_error, something_came));
    }
    if (!is_interim(impl->parser.get().result_int())) {
      break;
    }
    // A parser reads one message: the next head gets a new one, and the
    // bytes already read behind this head are its start.
    interim_seen = true;
    impl = response_on(std::move(impl->stream), std::move(impl->buffer));
  }
  // Later body parsing may run past chunk boundaries to fill the caller's span.
  impl->parser.eager(true);
  co_return impl;
}

}  // namespace

asio::awaitable<std::expected<BoxResponse, FetchError>> send_box_request(BoxClient& client,
                                                                         std::string path,
                                                                         BoxTarget target) {
  const std::optional<std::string> host = target_host(client.state(), target);
  if (!host) {
    co_return std::unexpected(Message{"the box has not named its console's host"});
  }
  const std::string url = "https://" + *host + path;
  const std::expected<TargetUri, std::string> uri = parse_target_uri(url);
  if (!uri) {
    co_return std::unexpected(Message{"bad target URI: " + uri.error()});
  }

  http::request<http::empty_body> request{http::verb::get, uri->target, 11};
  const std::string pool_key = ascii_lower(host_header(uri->authority));
  request.set(http::field::host, host_header(uri->authority));
  request.set(http::field::cache_control, "no-cache");

  const Clock::time_point deadline = Clock::now() + client.timeouts().request_deadline;
  // Holds the client's pool for the response, whatever the caller does with the client.
  const std::shared_ptr<ConnectionPool> pool = client.pool();
  bool may_reuse = true;
  while (true) {
    std::unique_ptr<BoxStream> stream = may_reuse ? pool->take(pool_key) : nullptr;
    const bool pooled = stream != nullptr;
    if (!stream) {
      auto connected = co_await client.connector().connect(url, deadline);
      if (!connected) {
        co_return std::unexpected(connect_failure(connected.error()));
      }
      stream = std::move(*connected);
    }
    auto exchanged = co_await exchange(std::move(stream), request, deadline);
    if (!exchanged) {
      if (pooled && exchanged.error().unsent) {
        // The box closed this idle connection before it saw our request: one
        // fresh connection stands in for it.
        may_reuse = false;
        continue;
      }
      co_return std::unexpected(std::move(exchanged.error().error));
    }
    std::unique_ptr<BoxResponse::Impl> impl = std::move(*exchanged);
    const unsigned status = impl->parser.get().result_int();
    if (status != 200) {
      co_return std::unexpected(Message{path + ": HTTP " + std::to_string(status) + " " +
                                        std::string(status_reason(status))});
    }
    impl->pool = pool;
    impl->host = pool_key;
    impl->stall = client.timeouts().stall;
    co_return BoxResponse(std::move(impl));
  }
}

}  // namespace ostrevane
