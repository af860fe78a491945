#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <expected>
#include <string>

#include "proxy/src/fetch/box_client.hpp"
#include "proxy/src/fetch/fetch_error.hpp"
#include "proxy/src/upstream/upstream.hpp"

namespace ostrevane {

// Fetches GET `path` from the box wholly into memory. Returns the body, the
// request's own error unchanged, or Message "{path}: stalled", "{path}: larger
// than {limit} bytes" (checked on the bytes received, never on Content-Length)
// or "{path}: {body error}".
boost::asio::awaitable<std::expected<std::string, FetchError>> fetch_from_box(BoxClient& client,
                                                                              std::string path,
                                                                              std::uint64_t limit,
                                                                              BoxTarget target);

}  // namespace ostrevane
