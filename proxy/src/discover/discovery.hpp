#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "proxy/src/discover/box_answer.hpp"

namespace ostrevane {

// UDP port of the box's discovery service.
inline constexpr std::uint16_t DISCOVERY_PORT = 47111;
// How long one pass listens, counted from the moment the request has left.
inline constexpr std::chrono::seconds DISCOVERY_WINDOW{4};
// Largest number of passes in one setup run.
inline constexpr int DISCOVERY_PASSES = 3;
// Receive buffer of one pass.
inline constexpr std::size_t ANSWER_BUFFER_SIZE = 1024;
// Leading bytes of a received datagram that are parsed.
inline constexpr std::size_t ANSWER_PARSE_LIMIT = 512;
// The request a pass broadcasts, exactly these 24 bytes.
inline constexpr std::string_view DISCOVERY_REQUEST = R"({"qal":"discover","v":1})";

// What a pass counts boxes by: two answers are the same box when both texts are equal.
struct BoxIdentity {
  std::string slug;
  std::string product;

  bool operator==(const BoxIdentity&) const = default;
};

// Why one pass found no box to go on with.
enum class DiscoverError {
  NoAnswer,       // the window closed without a valid answer
  SeveralBoxes,   // the valid answers name two or more identities
  SocketFailure,  // the socket could not be opened, bound or switched to broadcast
};

// Runs one pass: broadcasts the request to 255.255.255.255:DISCOVERY_PORT, listens for
// the whole `window` and returns the earliest valid answer when exactly one box answered,
// else the error; completes at once only on SocketFailure. Needs a running io_context.
boost::asio::awaitable<std::expected<BoxAnswer, DiscoverError>> discover_box(
    std::chrono::steady_clock::duration window);

// The same pass sending its request to `destination` from a socket bound to `local`
// (the program always uses the broadcast address and 0.0.0.0:0).
boost::asio::awaitable<std::expected<BoxAnswer, DiscoverError>> discover_box(
    std::chrono::steady_clock::duration window, boost::asio::ip::udp::endpoint destination,
    boost::asio::ip::udp::endpoint local = {boost::asio::ip::address_v4::any(), 0});

}  // namespace ostrevane
