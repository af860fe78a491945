#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testsupport/test_pki.hpp"

namespace ostrevane::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Fills `out` with the body bytes that start at `offset`.
using BodyGenerator = std::function<void(std::uint64_t offset, std::span<char> out)>;

// How the box breaks a connection off.
enum class CutKind : std::uint8_t {
  Close,        // TCP close, no TLS alert
  CloseNotify,  // TLS close_notify, then TCP close
  Garbage,      // bytes that are no TLS record, then silence
  Reset,        // TCP reset (what the box had not yet sent is lost)
};

// How the test box answers one path.
struct Route {
  unsigned status = 200;
  std::string reason = "Whatever";  // the reason phrase sent; the client must not rely on it
  std::string body;                 // used when neither `file` nor `generator` is set
  std::optional<std::filesystem::path> file;  // the body is this file's content
  BodyGenerator generator;                    // the body is `generated_size` bytes from this
  std::uint64_t generated_size = 0;

  HeaderList headers;  // extra header fields, sent after the box's own
  // Content-Length to announce instead of the true size ("" sends none).
  std::optional<std::string> content_length;
  bool chunked = false;  // send the body chunked (no Content-Length)
  HeaderList trailers;   // trailer fields after the last chunk (chunked only)
  // Chunked only: the body's bytes hold their own chunk framing and trailer,
  // and go out as they stand (`trailers` unused).
  bool raw_chunks = false;
  bool close_after = false;  // close the connection after this response

  // Interim (1xx) heads, each sent whole as it stands, before the response's own.
  std::vector<std::string> interim_heads;
  std::chrono::milliseconds head_delay{0};   // wait before sending each head
  std::size_t write_size = 256 * 1024;       // bytes per write (and per chunk)
  std::chrono::milliseconds write_delay{0};  // wait between two writes of the body
  // After this many body bytes: stop sending and keep the connection silent.
  std::uint64_t stall_after = std::numeric_limits<std::uint64_t>::max();
  // After this many body bytes: break the connection off as `cut_kind` says.
  std::uint64_t cut_after = std::numeric_limits<std::uint64_t>::max();
  CutKind cut_kind = CutKind::Close;
  // After this many body bytes: ask the client for a TLS 1.3 key update that
  // it must answer.
  std::uint64_t key_update_after = std::numeric_limits<std::uint64_t>::max();
  // When set: the head and the whole body (not chunked) leave as TLS records
  // written in one go, the head sharing the first with the body's start, and
  // the connection delivers the first `split_delivery` bytes of those records,
  // then, after `write_delay`, all the others at once.
  std::size_t split_delivery = 0;
  // Close, without answering, a connection that brings this request after an
  // earlier one (a keep-alive connection the box has let go).
  bool drop_on_reused_connection = false;
};

// A request as the test box received it.
struct RecordedRequest {
  std::string method;
  std::string target;
  HeaderList headers;  // in the order received, names as sent
  bool reused_connection = false;
};

// A TLS connection as the test box accepted it.
struct RecordedConnection {
  std::string server_name;  // SNI, "" when none was sent
  std::string alpn_offer;   // the client's ALPN list, protocols joined by ','
  bool resumed = false;     // the handshake resumed an earlier session
};

struct TestBoxOptions {
  std::string bind_address = "127.0.0.1";
  std::uint16_t port = 0;         // 0: the system picks one
  bool silent_handshake = false;  // accept TCP, then never read or write
  int tls_min_version = 0;        // OpenSSL version constants; 0 keeps OpenSSL's default
  int tls_max_version = 0;
};

// An HTTPS server for tests on its own thread and io_context, serving routes
// with the certificate `leaf` and its chain, whatever their keys and
// signatures (the client judges them). Stops in its destructor.
class TestBox {
 public:
  // Starts listening; throws std::runtime_error when it cannot.
  explicit TestBox(const TestCertificate& leaf, TestBoxOptions options = {});
  ~TestBox();
  TestBox(const TestBox&) = delete;
  TestBox& operator=(const TestBox&) = delete;

  // Serves `route` for GET `path` from now on (any other path gets 404).
  void serve(const std::string& path, Route route);
  // Returns the port the box listens on.
  std::uint16_t port() const { return port_; }
  // Returns the requests received so far, in order.
  std::vector<RecordedRequest> requests() const;
  // Returns the TLS connections whose handshake completed so far.
  std::vector<RecordedConnection> connections() const;
  // Waits until at least `count` TLS connections have completed their
  // handshake; returns false when `timeout` passes first.
  bool wait_for_connections(std::size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // Returns the number of TCP connections accepted so far.
  std::size_t tcp_accepts() const;
  // Waits until exactly `count` connections are open (the others closed by
  // either side); returns false when `timeout` passes first.
  bool wait_for_open_connections(std::size_t count,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // Closes every open connection now (TCP close, no TLS alert) and returns
  // once they are closed.
  void drop_connections();
  // Waits until clients have sent at least `count` TLS key updates; returns
  // false when `timeout` passes first.
  bool wait_for_key_updates(std::size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace ostrevane::test
