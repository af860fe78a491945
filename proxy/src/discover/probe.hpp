#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "proxy/src/discover/box_answer.hpp"

namespace ostrevane {

// The bound of the probe's TCP connect, and separately of its TLS handshake.
inline constexpr std::chrono::seconds PROBE_TIMEOUT{8};

enum class ProbeOutcome {
  Silent,      // refused, failed or no answer in time
  NotGenuine,  // names, TLS configuration, server name or handshake refused
  Genuine,     // the handshake with the app host name succeeded
};

struct ProbeResult {
  ProbeOutcome outcome;
  std::string text;  // why, for Silent and NotGenuine
};

// Opens TCP to the answer's address and port, runs a TLS handshake naming the
// box's app host name against the root CA `ca_der`, each within `timeout`, and
// closes the connection without sending a request.
boost::asio::awaitable<ProbeResult> probe_box(BoxAnswer answer, std::vector<std::uint8_t> ca_der,
                                              std::chrono::steady_clock::duration timeout);

}  // namespace ostrevane
