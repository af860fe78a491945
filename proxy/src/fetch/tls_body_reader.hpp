#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "proxy/src/upstream/upstream.hpp"

typedef struct bio_st BIO;

namespace ostrevane {

// How a read of the connection's application data ended.
enum class TlsReadEnd : std::uint8_t {
  Open,    // the span is full, or nothing more is at hand now; more may come
  Closed,  // the box ended TLS cleanly (close_notify)
  Failed,  // the connection or TLS failed (a cut, a reset, a damaged record)
};

struct TlsRead {
  std::size_t size = 0;  // bytes written at the start of the span
  TlsReadEnd end = TlsReadEnd::Open;
};

// How a wait for the connection ended.
enum class TlsWait : std::uint8_t { Ready, TimedOut, Failed };

// Reads a box connection's application data with the TLS library straight
// from the socket, in reads of up to 256 KiB, while the connection's stream
// is between two of its own operations. The TLS session, its keys and every
// TLS message the box sends meanwhile (key updates included, whose answers go
// out at once) are the stream's; the stream takes its reads back when this is
// destroyed. Used on the stream's thread, one call at a time.
class TlsBodyReader {
 public:
  // Takes over the reads of `stream`, whose last operation has completed and
  // which must outlive this. Returns null, the stream untouched, when the
  // stream still holds bytes to send or memory runs out.
  static std::unique_ptr<TlsBodyReader> take_over(BoxStream& stream);

  ~TlsBodyReader();
  TlsBodyReader(const TlsBodyReader&) = delete;
  TlsBodyReader& operator=(const TlsBodyReader&) = delete;

  // Reads into `into` what has arrived, without waiting, until it is full,
  // nothing more is at hand, or the connection ended.
  TlsRead read_at_hand(std::span<char> into);

  // Waits until the connection may give read_at_hand more (or lets TLS send
  // what it must), or `deadline` passes.
  boost::asio::awaitable<TlsWait> wait(std::chrono::steady_clock::time_point deadline);

  // Returns true when no byte of the connection waits here unread, so that
  // the stream can carry another exchange.
  bool drained() const;

  // The socket side of the reads, for the TLS library; not for callers.
  struct Transport;

 private:
  explicit TlsBodyReader(BoxStream& stream);
  // Sends the key update the box asked for, if any; returns false when TLS fails.
  bool answer_key_update();

  BoxStream& stream_;
  std::unique_ptr<Transport> transport_;
  BIO* stream_bio_ = nullptr;  // the stream's own, held while ours is in place
  int read_ahead_ = 0;         // the stream's setting, given back with its reads
  bool want_write_ = false;    // TLS waits to send, not to receive
  boost::asio::steady_timer timer_;
};

}  // namespace ostrevane
