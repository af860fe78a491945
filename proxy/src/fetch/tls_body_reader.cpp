#include "proxy/src/fetch/tls_body_reader.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <cstring>
#include <variant>

namespace ostrevane {
namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;

namespace {

// Each read of the socket takes in up to this much, a few dozen TLS records,
// and TLS decrypts them in place.
constexpr std::size_t kReadAhead = 256 << 10;

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);

bool is_would_block(const boost::system::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

}  // namespace

struct TlsBodyReader::Transport {
  asio::ip::tcp::socket& socket;
  // Bytes the stream had taken from the socket and TLS had not yet read: they
  // come before the socket's.
  std::vector<char> carried;
  std::size_t carried_at = 0;
  bool at_end = false;  // the socket has no more to give
};

namespace {

TlsBodyReader::Transport& transport_of(BIO* bio) {
  return *static_cast<TlsBodyReader::Transport*>(BIO_get_data(bio));
}

int transport_read(BIO* bio, char* out, std::size_t size, std::size_t* done) {
  BIO_clear_retry_flags(bio);
  TlsBodyReader::Transport& transport = transport_of(bio);
  if (transport.carried_at < transport.carried.size()) {
    *done = std::min(size, transport.carried.size() - transport.carried_at);
    std::memcpy(out, transport.carried.data() + transport.carried_at, *done);
    transport.carried_at += *done;
    return 1;
  }
  boost::system::error_code error;
  *done = transport.socket.read_some(asio::buffer(out, size), error);
  if (is_would_block(error)) {
    BIO_set_retry_read(bio);
    return 0;
  }
  if (error) {
    transport.at_end = true;
    *done = 0;
    return 0;
  }
  return 1;
}

// Writes happen when TLS answers the box (a key update, an alert); they go to
// the socket at once, so nothing waits for a flush.
int transport_write(BIO* bio, const char* in, std::size_t size, std::size_t* done) {
  BIO_clear_retry_flags(bio);
  boost::system::error_code error;
  *done = transport_of(bio).socket.write_some(asio::buffer(in, size), error);
  if (is_would_block(error)) {
    BIO_set_retry_write(bio);
    return 0;
  }
  return error ? 0 : 1;
}

long transport_control(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return transport_of(bio).at_end ? 1 : 0;
    default:
      return 0;
  }
}

BIO_METHOD* transport_method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "box socket");
    if (made != nullptr && (BIO_meth_set_read_ex(made, transport_read) != 1 ||
                            BIO_meth_set_write_ex(made, transport_write) != 1 ||
                            BIO_meth_set_ctrl(made, transport_control) != 1)) {
      BIO_meth_free(made);
      made = nullptr;
    }
    return made;
  }();
  return method;
}

}  // namespace

TlsBodyReader::TlsBodyReader(BoxStream& stream)
    : stream_(stream),
      transport_(new Transport{boost::beast::get_lowest_layer(stream).socket(), {}, 0, false}),
      timer_(stream.get_executor()) {}

std::unique_ptr<TlsBodyReader> TlsBodyReader::take_over(BoxStream& stream) {
  SSL* const ssl = stream.native_handle();
  BIO* const own = SSL_get_rbio(ssl);
  // The stream sends everything TLS wrote before any of its operations
  // completes; anything left to send would be lost to it.
  if (own == nullptr || own != SSL_get_wbio(ssl) || BIO_ctrl_wpending(own) != 0 ||
      transport_method() == nullptr) {
    return nullptr;
  }
  std::unique_ptr<TlsBodyReader> reader(new TlsBodyReader(stream));
  BIO* const ours = BIO_new(transport_method());
  if (ours == nullptr) {
    return nullptr;
  }
  boost::system::error_code error;
  reader->transport_->socket.non_blocking(true, error);
  if (error) {
    BIO_free(ours);
    return nullptr;
  }
  BIO_set_data(ours, reader->transport_.get());
  BIO_set_init(ours, 1);

  // The stream reads the socket only when TLS has taken every byte it was
  // given and asks for more, and never more at once than its BIO can hold: what
  // it has read and TLS has not is all in that BIO (or in TLS's own buffer,
  // which stays with the session).
  std::vector<char>& carried = reader->transport_->carried;
  carried.resize(BIO_ctrl_pending(own));
  if (!carried.empty()) {
    const int taken = BIO_read(own, carried.data(), static_cast<int>(carried.size()));
    carried.resize(taken > 0 ? static_cast<std::size_t>(taken) : 0);
  }
  // The TLS session holds the stream's BIO twice (reads and writes); it
  // takes ours the same way, and the stream's is kept for the hand-back.
  BIO_up_ref(own);
  BIO_up_ref(ours);
  SSL_set0_rbio(ssl, ours);
  SSL_set0_wbio(ssl, ours);
  reader->stream_bio_ = own;
  reader->read_ahead_ = SSL_get_read_ahead(ssl);
  SSL_set_read_ahead(ssl, 1);
  SSL_set_default_read_buffer_len(ssl, kReadAhead);
  return reader;
}

TlsBodyReader::~TlsBodyReader() {
  if (stream_bio_ == nullptr) {
    return;
  }
  SSL* const ssl = stream_.native_handle();
  BIO_up_ref(stream_bio_);
  SSL_set0_rbio(ssl, stream_bio_);
  SSL_set0_wbio(ssl, stream_bio_);
  SSL_set_read_ahead(ssl, read_ahead_);
  // Back to the library's own size (the stream's connections set none).
  SSL_set_default_read_buffer_len(ssl, 0);
  boost::system::error_code ignored;
  transport_->socket.non_blocking(false, ignored);
}

TlsRead TlsBodyReader::read_at_hand(std::span<char> into) {
  SSL* const ssl = stream_.native_handle();
  TlsRead read;
  want_write_ = false;
  // TLS tells its failures through the thread's error queue, which must
  // start empty.
  ERR_clear_error();
  while (read.size < into.size()) {
    std::size_t n = 0;
    if (SSL_read_ex(ssl, into.data() + read.size, into.size() - read.size, &n) == 1) {
      read.size += n;
      continue;
    }
    const int error = SSL_get_error(ssl, 0);
    if (error == SSL_ERROR_WANT_WRITE) {
      want_write_ = true;
    } else if (error != SSL_ERROR_WANT_READ) {
      ERR_clear_error();
      read.end = error == SSL_ERROR_ZERO_RETURN ? TlsReadEnd::Closed : TlsReadEnd::Failed;
      return read;
    }
    break;
  }
  if (!answer_key_update()) {
    read.end = TlsReadEnd::Failed;
  }
  return read;
}

bool TlsBodyReader::answer_key_update() {
  SSL* const ssl = stream_.native_handle();
  // The box asked for our new keys: TLS would hold the answer back until our
  // next write, which may come much later, or never.
  if (SSL_get_key_update_type(ssl) == SSL_KEY_UPDATE_NONE) {
    return true;
  }
  if (!SSL_in_init(ssl) && SSL_key_update(ssl, SSL_KEY_UPDATE_NOT_REQUESTED) != 1) {
    ERR_clear_error();
    return false;
  }
  const int sent = SSL_do_handshake(ssl);
  if (sent == 1) {
    return true;
  }
  const int error = SSL_get_error(ssl, sent);
  if (error == SSL_ERROR_WANT_WRITE) {
    // The answer waits for room in the socket's buffer.
    want_write_ = true;
    return true;
  }
  ERR_clear_error();
  return error == SSL_ERROR_WANT_READ;
}

asio::awaitable<TlsWait> TlsBodyReader::wait(std::chrono::steady_clock::time_point deadline) {
  asio::ip::tcp::socket& socket = transport_->socket;
  timer_.expires_at(deadline);
  const auto ready =
      co_await (socket.async_wait(want_write_ ? socket.wait_write : socket.wait_read, kNoThrow) ||
                timer_.async_wait(kNoThrow));
  if (ready.index() == 1) {
    co_return TlsWait::TimedOut;
  }
  const auto [error] = std::get<0>(ready);
  co_return error ? TlsWait::Failed : TlsWait::Ready;
}

bool TlsBodyReader::drained() const {
  return transport_->carried_at == transport_->carried.size() &&
         SSL_has_pending(stream_.native_handle()) == 0;
}

}  // namespace ostrevane
