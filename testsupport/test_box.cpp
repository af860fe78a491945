#include "testsupport/test_box.hpp"

#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <stdexcept>

namespace ostrevane::test {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using Tls = asio::ssl::stream<tcp::socket>;

namespace {

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);
// Long enough to outlast any test: a stalled box stays silent until it stops.
constexpr auto kForever = std::chrono::hours(1);

int alpn_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Records the client's ALPN offer and picks "http/1.1" when offered.
int select_alpn(SSL* ssl, const unsigned char** out, unsigned char* out_size,
                const unsigned char* in, unsigned in_size, void*) {
  auto* offer = static_cast<std::string*>(SSL_get_ex_data(ssl, alpn_index()));
  bool has_http11 = false;
  for (unsigned i = 0; i < in_size;) {
    const unsigned size = in[i];
    const std::string protocol(reinterpret_cast<const char*>(in + i + 1),
                               std::min(size, in_size - i - 1));
    if (offer != nullptr) {
      *offer += (offer->empty() ? "" : ",") + protocol;
    }
    if (protocol == "http/1.1") {
      *out = in + i + 1;
      *out_size = static_cast<unsigned char>(size);
      has_http11 = true;
    }
    i += size + 1;
  }
  return has_http11 ? SSL_TLSEXT_ERR_OK : SSL_TLSEXT_ERR_NOACK;
}

// The bytes of one route's body, read in order.
class BodySource {
 public:
  explicit BodySource(const Route& route) : route_(route) {
    if (route.file) {
      file_.open(*route.file, std::ios::binary);
      size_ = std::filesystem::file_size(*route.file);
    } else if (route.generator) {
      size_ = route.generated_size;
    } else {
      size_ = route.body.size();
    }
  }

  std::uint64_t size() const { return size_; }

  void fill(std::uint64_t offset, std::span<char> out) {
    if (route_.file) {
      file_.read(out.data(), static_cast<std::streamsize>(out.size()));
    } else if (route_.generator) {
      route_.generator(offset, out);
    } else {
      std::copy_n(route_.body.data() + offset, out.size(), out.data());
    }
  }

 private:
  const Route& route_;
  std::ifstream file_;
  std::uint64_t size_ = 0;
};

std::string head_of(const Route& route, std::uint64_t size) {
  std::string head = "HTTP/1.1 " + std::to_string(route.status) + " " + route.reason + "\r\n";
  if (route.chunked) {
    head += "Transfer-Encoding: chunked\r\n";
  } else if (!route.content_length) {
    head += "Content-Length: " + std::to_string(size) + "\r\n";
  } else if (!route.content_length->empty()) {
    head += "Content-Length: " + *route.content_length + "\r\n";
  }
  if (route.close_after) {
    head += "Connection: close\r\n";
  }
  for (const auto& [name, value] : route.headers) {
    head += name + ": " + value + "\r\n";
  }
  return head + "\r\n";
}

}  // namespace

struct TestBox::Impl {
  TestBoxOptions options;
  asio::ssl::context tls{asio::ssl::context::tls_server};
  mutable std::mutex mutex;  // guards routes and the records
  mutable std::condition_variable recorded;
  std::map<std::string, Route> routes;
  std::size_t key_updates = 0;  // received from clients
  std::vector<RecordedRequest> requests;
  std::vector<RecordedConnection> connections;
  std::size_t accepts = 0;
  std::size_t open = 0;                 // connections not yet closed
  std::set<tcp::socket*> open_sockets;  // used on the box's thread only
  // Declared after everything its pending coroutines touch, so they are
  // destroyed first; the acceptor goes before the context it needs.
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
};

namespace {

// Keeps `socket` in the box's list of open connections for its lifetime.
class OpenSocket {
 public:
  OpenSocket(TestBox::Impl* box, tcp::socket* socket) : box_(box), socket_(socket) {
    box_->open_sockets.insert(socket_);
    std::lock_guard lock(box_->mutex);
    ++box_->open;
  }
  ~OpenSocket() {
    box_->open_sockets.erase(socket_);
    {
      std::lock_guard lock(box_->mutex);
      --box_->open;
    }
    box_->recorded.notify_all();
  }
  OpenSocket(const OpenSocket&) = delete;
  OpenSocket& operator=(const OpenSocket&) = delete;

 private:
  TestBox::Impl* box_;
  tcp::socket* socket_;
};

asio::awaitable<void> wait_for(std::chrono::steady_clock::duration delay) {
  asio::steady_timer timer(co_await asio::this_coro::executor, delay);
  co_await timer.async_wait(kNoThrow);
}

asio::awaitable<void> cut(Tls& stream, CutKind kind) {
  tcp::socket& socket = stream.next_layer();
  boost::system::error_code ignored;
  switch (kind) {
    case CutKind::Close:
      break;
    case CutKind::CloseNotify:
      // Ends once the client has closed too.
      co_await stream.async_shutdown(kNoThrow);
      break;
    case CutKind::Garbage: {
      // An application-data record whose content cannot authenticate.
      std::string record = "\x17\x03\x03\x00\x40";
      record.append(64, '\x5a');
      co_await asio::async_write(socket, asio::buffer(record), kNoThrow);
      co_await wait_for(kForever);
      break;
    }
    case CutKind::Reset:
      socket.set_option(tcp::socket::linger(true, 0), ignored);
      break;
  }
  socket.close(ignored);
}

// Sends `head` and `source`'s bytes as TLS records made in one go, in two
// deliveries of raw bytes split where `route` says.
asio::awaitable<bool> respond_split(Tls& stream, const Route& route, const std::string& head,
                                    BodySource& source) {
  std::string plain = head;
  plain.resize(head.size() + source.size());
  source.fill(0, std::span<char>(plain.data() + head.size(), source.size()));
  // The records go to memory instead of the stream's own output, which has
  // nothing pending between two of its operations.
  SSL* const ssl = stream.native_handle();
  BIO* const own = SSL_get_wbio(ssl);
  BIO* const memory = BIO_new(BIO_s_mem());
  if (memory == nullptr) {
    co_return false;
  }
  BIO_up_ref(own);
  SSL_set0_wbio(ssl, memory);
  // The stream's connections write one record per call.
  std::size_t written = 0;
  for (std::size_t n = 0; written < plain.size(); written += n) {
    if (SSL_write_ex(ssl, plain.data() + written, plain.size() - written, &n) != 1) {
      break;
    }
  }
  char* records = nullptr;
  const long size = BIO_get_mem_data(memory, &records);
  const std::string raw(records, static_cast<std::size_t>(std::max(size, 0L)));
  SSL_set0_wbio(ssl, own);
  if (written != plain.size()) {
    co_return false;
  }
  const std::size_t first = std::min(route.split_delivery, raw.size());
  tcp::socket& socket = stream.next_layer();
  if (auto [error, n] =
          co_await asio::async_write(socket, asio::buffer(raw.data(), first), kNoThrow);
      error) {
    co_return false;
  }
  co_await wait_for(route.write_delay);
  auto [error, n] = co_await asio::async_write(
      socket, asio::buffer(raw.data() + first, raw.size() - first), kNoThrow);
  co_return !error && !route.close_after;
}

// Sends one response; returns false when the connection is to end.
asio::awaitable<bool> respond(Tls& stream, Route route) {
  for (const std::string& interim : route.interim_heads) {
    if (route.head_delay.count() > 0) {
      co_await wait_for(route.head_delay);
    }
    if (auto [error, n] = co_await asio::async_write(stream, asio::buffer(interim), kNoThrow);
        error) {
      co_return false;
    }
  }
  if (route.head_delay.count() > 0) {
    co_await wait_for(route.head_delay);
  }
  BodySource source(route);
  const std::string head = head_of(route, source.size());
  if (route.split_delivery != 0) {
    co_return co_await respond_split(stream, route, head, source);
  }
  if (auto [error, n] = co_await asio::async_write(stream, asio::buffer(head), kNoThrow); error) {
    co_return false;
  }
  const bool framed_here = route.chunked && !route.raw_chunks;
  std::vector<char> piece(std::max<std::size_t>(route.write_size, 1));
  std::uint64_t offset = 0;
  while (offset < source.size()) {
    if (offset >= route.cut_after) {
      co_await cut(stream, route.cut_kind);
      co_return false;
    }
    if (offset == route.key_update_after) {
      // Goes out ahead of the next bytes.
      SSL_key_update(stream.native_handle(), SSL_KEY_UPDATE_REQUESTED);
    }
    if (offset >= route.stall_after) {
      co_await wait_for(kForever);
      co_return false;
    }
    if (offset > 0 && route.write_delay.count() > 0) {
      co_await wait_for(route.write_delay);
    }
    std::uint64_t size =
        std::min<std::uint64_t>({piece.size(), source.size() - offset, route.cut_after - offset,
                                 route.stall_after - offset});
    if (offset < route.key_update_after) {
      size = std::min(size, route.key_update_after - offset);
    }
    source.fill(offset, std::span<char>(piece.data(), size));
    char frame[32];
    const int frame_size =
        std::snprintf(frame, sizeof frame, "%llx\r\n", static_cast<unsigned long long>(size));
    std::vector<asio::const_buffer> buffers;
    if (framed_here) {
      buffers.emplace_back(frame, static_cast<std::size_t>(frame_size));
    }
    buffers.emplace_back(piece.data(), size);
    if (framed_here) {
      buffers.emplace_back("\r\n", 2);
    }
    if (auto [error, n] = co_await asio::async_write(stream, buffers, kNoThrow); error) {
      co_return false;
    }
    offset += size;
  }
  if (offset >= route.cut_after) {
    co_await cut(stream, route.cut_kind);
    co_return false;
  }
  if (framed_here) {
    std::string end = "0\r\n";
    for (const auto& [name, value] : route.trailers) {
      end += name + ": " + value + "\r\n";
    }
    end += "\r\n";
    if (auto [error, n] = co_await asio::async_write(stream, asio::buffer(end), kNoThrow); error) {
      co_return false;
    }
  }
  co_return !route.close_after;
}

Route route_for(TestBox::Impl* box, const std::string& target) {
  std::lock_guard lock(box->mutex);
  const auto found = box->routes.find(target);
  if (found != box->routes.end()) {
    return found->second;
  }
  Route missing;
  missing.status = 404;
  missing.reason = "Not Found";
  missing.body = "not found";
  return missing;
}

asio::awaitable<void> serve_connection(TestBox::Impl* box, tcp::socket socket) {
  Tls stream(std::move(socket), box->tls);
  OpenSocket registered(box, &stream.next_layer());
  if (box->options.silent_handshake) {
    co_await wait_for(kForever);
    co_return;
  }
  std::string alpn_offer;
  SSL_set_ex_data(stream.native_handle(), alpn_index(), &alpn_offer);
  auto [handshake_error] =
      co_await stream.async_handshake(asio::ssl::stream_base::server, kNoThrow);
  SSL_set_ex_data(stream.native_handle(), alpn_index(), nullptr);
  if (handshake_error) {
    co_return;
  }
  {
    const char* sni = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
    std::lock_guard lock(box->mutex);
    box->connections.push_back(RecordedConnection{sni != nullptr ? sni : "", alpn_offer,
                                                  SSL_session_reused(stream.native_handle()) == 1});
  }
  box->recorded.notify_all();
  beast::flat_buffer buffer;
  bool reused = false;
  while (true) {
    http::request<http::string_body> request;
    auto [read_error, n] = co_await http::async_read(stream, buffer, request, kNoThrow);
    if (read_error) {
      co_return;
    }
    RecordedRequest recorded{
        std::string(request.method_string()), std::string(request.target()), {}, reused};
    for (const auto& field : request) {
      recorded.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    {
      std::lock_guard lock(box->mutex);
      box->requests.push_back(recorded);
    }
    Route route = route_for(box, recorded.target);
    if (reused && route.drop_on_reused_connection) {
      co_return;
    }
    if (!co_await respond(stream, std::move(route))) {
      co_return;
    }
    reused = true;
  }
}

// Counts the TLS key updates that clients send.
void note_message(int write_p, int, int content_type, const void* message, std::size_t size, SSL*,
                  void* arg) {
  if (write_p != 0 || content_type != SSL3_RT_HANDSHAKE || size == 0 ||
      static_cast<const unsigned char*>(message)[0] != SSL3_MT_KEY_UPDATE) {
    return;
  }
  auto* box = static_cast<TestBox::Impl*>(arg);
  {
    std::lock_guard lock(box->mutex);
    ++box->key_updates;
  }
  box->recorded.notify_all();
}

asio::awaitable<void> accept_connections(TestBox::Impl* box) {
  while (true) {
    auto [error, socket] = co_await box->acceptor.async_accept(kNoThrow);
    if (error == asio::error::operation_aborted || !box->acceptor.is_open()) {
      co_return;
    }
    if (error) {
      continue;
    }
    {
      std::lock_guard lock(box->mutex);
      ++box->accepts;
    }
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    asio::co_spawn(box->io, serve_connection(box, std::move(socket)), asio::detached);
  }
}

}  // namespace

TestBox::TestBox(const TestCertificate& leaf, TestBoxOptions options)
    : impl_(std::make_shared<Impl>()) {
  impl_->options = options;
  SSL_CTX* ctx = impl_->tls.native_handle();
  // The box presents whatever keys and signatures a test gives it.
  SSL_CTX_set_security_level(ctx, 0);
  if (SSL_CTX_use_certificate(ctx, leaf.x509()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, leaf.key()) != 1) {
    throw std::runtime_error("test box: unusable certificate or key");
  }
  for (const std::shared_ptr<X509>& cert : leaf.chain()) {
    if (SSL_CTX_add1_chain_cert(ctx, cert.get()) != 1) {
      throw std::runtime_error("test box: unusable chain certificate");
    }
  }
  if (options.tls_min_version != 0 || options.tls_max_version != 0) {
    // Old protocol versions need the lowest security level to be offered at all.
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, options.tls_min_version);
    SSL_CTX_set_max_proto_version(ctx, options.tls_max_version);
  }
  SSL_CTX_set_alpn_select_cb(ctx, select_alpn, nullptr);
  SSL_CTX_set_msg_callback(ctx, note_message);
  SSL_CTX_set_msg_callback_arg(ctx, impl_.get());

  const tcp::endpoint endpoint(asio::ip::make_address(options.bind_address), options.port);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  asio::co_spawn(impl_->io, accept_connections(impl_.get()), asio::detached);
  thread_ = std::thread([impl = impl_.get()] { impl->io.run(); });
}

TestBox::~TestBox() {
  impl_->io.stop();
  thread_.join();
}

void TestBox::serve(const std::string& path, Route route) {
  std::lock_guard lock(impl_->mutex);
  impl_->routes[path] = std::move(route);
}

std::vector<RecordedRequest> TestBox::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<RecordedConnection> TestBox::connections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections;
}

bool TestBox::wait_for_connections(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->recorded.wait_for(lock, timeout,
                                  [&] { return impl_->connections.size() >= count; });
}

std::size_t TestBox::tcp_accepts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepts;
}

bool TestBox::wait_for_open_connections(std::size_t count,
                                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->recorded.wait_for(lock, timeout, [&] { return impl_->open == count; });
}

void TestBox::drop_connections() {
  std::promise<void> done;
  asio::post(impl_->io, [impl = impl_.get(), &done] {
    for (tcp::socket* socket : impl->open_sockets) {
      boost::system::error_code ignored;
      socket->close(ignored);
    }
    done.set_value();
  });
  done.get_future().wait();
}

bool TestBox::wait_for_key_updates(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->recorded.wait_for(lock, timeout, [&] { return impl_->key_updates >= count; });
}

}  // namespace ostrevane::test
