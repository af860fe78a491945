#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <utility>

namespace ostrevane::test {

// Runs `operation` on `io` on this thread until the context has no more work,
// and returns its result (rethrowing what it threw).
template <typename T>
T run_awaitable(boost::asio::io_context& io, boost::asio::awaitable<T> operation) {
  auto result = boost::asio::co_spawn(io, std::move(operation), boost::asio::use_future);
  io.restart();
  io.run();
  return result.get();
}

}  // namespace ostrevane::test
