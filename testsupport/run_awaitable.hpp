#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <future>
#include <optional>
#include <utility>

namespace ostrevane::test {

namespace detail {

// co_spawn's future needs a default-constructible result.
template <typename T>
boost::asio::awaitable<std::optional<T>> as_optional(boost::asio::awaitable<T> operation) {
  co_return co_await std::move(operation);
}

}  // namespace detail

// Runs `operation` on `io` on this thread until it completes, and returns its
// result (rethrowing what it threw). Work it leaves behind, such as the timer
// of an idle pooled connection, waits for the next run.
template <typename T>
T run_awaitable(boost::asio::io_context& io, boost::asio::awaitable<T> operation) {
  auto result =
      boost::asio::co_spawn(io, detail::as_optional(std::move(operation)), boost::asio::use_future);
  io.restart();
  while (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
         io.run_one() != 0) {
  }
  return *result.get();
}

}  // namespace ostrevane::test
