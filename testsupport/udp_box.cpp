#include "testsupport/udp_box.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/system/system_error.hpp>
#include <string_view>
#include <utility>

#include "proxy/src/discover/discovery.hpp"

namespace ostrevane::test {

namespace asio = boost::asio;
using asio::ip::udp;

UdpBox::UdpBox(udp::endpoint listen, std::vector<UdpReply> replies)
    : socket_(io_), replies_(std::move(replies)) {
  socket_.open(listen.protocol());
  socket_.set_option(asio::socket_base::reuse_address(true));
  socket_.bind(listen);
  endpoint_ = socket_.local_endpoint();
  for (const UdpReply& reply : replies_) {
    if (!reply.source) {
      sources_.push_back(nullptr);
      continue;
    }
    auto source = std::make_unique<udp::socket>(io_, reply.source->protocol());
    source->bind(*reply.source);
    sources_.push_back(std::move(source));
  }
  receive();
  thread_ = std::thread([this] { io_.run(); });
}

UdpBox::~UdpBox() {
  io_.stop();
  thread_.join();
}

void UdpBox::receive() {
  socket_.async_receive_from(
      asio::buffer(buffer_), requester_, [this](boost::system::error_code error, std::size_t size) {
        if (error == asio::error::operation_aborted) {
          return;
        }
        if (!error && std::string_view(buffer_.data(), size) == DISCOVERY_REQUEST) {
          answer(requester_, ++requests_);
        }
        receive();
      });
}

void UdpBox::answer(const udp::endpoint& requester, int request) {
  for (std::size_t i = 0; i < replies_.size(); ++i) {
    const UdpReply& reply = replies_[i];
    if (request < reply.from_request) {
      continue;
    }
    udp::socket& source = sources_[i] ? *sources_[i] : socket_;
    if (reply.delay.count() == 0) {
      boost::system::error_code ignored;
      source.send_to(asio::buffer(reply.bytes), requester, 0, ignored);
      continue;
    }
    asio::steady_timer& timer = timers_.emplace_back(io_, reply.delay);
    timer.async_wait([&source, &reply, requester](boost::system::error_code error) {
      if (!error) {
        boost::system::error_code ignored;
        source.send_to(asio::buffer(reply.bytes), requester, 0, ignored);
      }
    });
  }
}

}  // namespace ostrevane::test
