#pragma once

#include <boost/asio/error.hpp>
#include <string>

#include "platform/os_error.hpp"

namespace ostrevane::test {

// Returns the system's text of a refused TCP connection as the program words
// it: "Connection refused (os error 111)" on Linux, WSAECONNREFUSED's on Windows.
inline std::string refused_text() {
  return platform::error_code_text(
      boost::asio::error::make_error_code(boost::asio::error::connection_refused));
}

}  // namespace ostrevane::test
