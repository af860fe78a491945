#pragma once

#include <cstdint>
#include <string>

namespace ostrevane {

// The port of a box's HTTPS service when its answer names none.
inline constexpr std::uint16_t DEFAULT_BOX_PORT = 443;

// What discovery keeps of the one box that answered.
struct BoxAnswer {
  std::string address;  // the sender's IPv4 address, dotted decimal, no port
  std::string slug;     // clinic slug as received
  std::string product;  // edition slug as received
  std::uint16_t port = DEFAULT_BOX_PORT;

  bool operator==(const BoxAnswer&) const = default;
};

}  // namespace ostrevane
