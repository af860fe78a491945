#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ostrevane::test {

// One datagram a UdpBox sends back for a discovery request.
struct UdpReply {
  // The datagram's bytes, sent as they are.
  std::string bytes{};
  // When set, the datagram leaves from a socket of its own bound here (for instance
  // 127.0.0.2:0, a second box); else from the box's own socket.
  std::optional<boost::asio::ip::udp::endpoint> source{};
  // How long after the request the datagram is sent.
  std::chrono::milliseconds delay{0};
  // The first request (counted from 1) that this datagram answers; earlier ones get none.
  int from_request = 1;
};

// A box's discovery service on its own thread: each datagram equal to the discovery
// request is counted and answered, to its sender, with every reply due for it, in list
// order, each after its delay.
// Other datagrams are ignored.
class UdpBox {
 public:
  // Binds `listen` (address reuse on, so several boxes can share 0.0.0.0:47111) and
  // starts answering; throws std::system_error when a socket cannot be bound.
  UdpBox(boost::asio::ip::udp::endpoint listen, std::vector<UdpReply> replies);
  // Stops answering and joins the thread.
  ~UdpBox();
  UdpBox(const UdpBox&) = delete;
  UdpBox& operator=(const UdpBox&) = delete;

  // Returns the endpoint the box listens on, with the port the system chose.
  boost::asio::ip::udp::endpoint endpoint() const { return endpoint_; }
  // Returns how many discovery requests have arrived so far.
  int requests() const { return requests_.load(); }

 private:
  void receive();
  void answer(const boost::asio::ip::udp::endpoint& requester, int request);

  boost::asio::io_context io_;
  boost::asio::ip::udp::socket socket_;
  std::vector<UdpReply> replies_;
  // One entry per reply: its own source socket, or null for socket_.
  std::vector<std::unique_ptr<boost::asio::ip::udp::socket>> sources_;
  std::list<boost::asio::steady_timer> timers_;
  std::array<char, 2048> buffer_{};
  boost::asio::ip::udp::endpoint requester_;
  boost::asio::ip::udp::endpoint endpoint_;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace ostrevane::test
