#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <memory>

namespace ostrevane {

// One attempt's asynchronous runtime: an io_context driven by the thread that
// runs it, and a small pool for blocking file operations.
struct Runtime {
  boost::asio::io_context io{1};
  boost::asio::thread_pool blocking{2};
};

// Returns a new runtime, or null when the system refuses its threads.
std::unique_ptr<Runtime> build_runtime() noexcept;

}  // namespace ostrevane
