#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/src/fetch/box_client.hpp"
#include "proxy/src/fetch/fetch_error.hpp"
#include "proxy/src/upstream/upstream.hpp"

namespace ostrevane {

// Returns the length announced by a Content-Length value: ASCII digits after an
// optional single '+', no white space, no overflow; nullopt otherwise.
std::optional<std::uint64_t> parse_content_length(std::string_view value);

// Returns `destination` with ".part" added to its file name.
std::filesystem::path part_path_for(const std::filesystem::path& destination);

// Hooks into the steps of a download, for tests that check their order. Each
// may be empty; each runs on the thread of its step.
struct DownloadSteps {
  std::function<void()> reading;  // on the runtime's thread, before each body read
  std::function<void()> hashed;   // on the runtime's thread, after each frame is hashed
  std::function<void()> written;  // on the blocking pool, when a frame's write has returned
};

// Streams the file at `request_path` into `destination`: written to its ".part"
// file beside it, hashed while written, held to `limit` and to the announced
// length, synced, checked against `expected_digest` (ASCII case ignored) and
// then renamed over `destination`. Calls `progress(done, total)` once the part
// file exists and after each chunk written. On failure the part file is
// removed (but when the final rename fails) and the error returned. Each
// frame is read, then hashed on the caller's thread while `blocking` writes
// it, and the next read waits for both.
boost::asio::awaitable<std::expected<void, FetchError>> download_file(
    BoxClient& client, std::string request_path, std::filesystem::path destination,
    std::string expected_digest, std::function<void(std::uint64_t, std::uint64_t)> progress,
    std::uint64_t limit, BoxTarget target, boost::asio::thread_pool::executor_type blocking,
    DownloadSteps steps = {});

}  // namespace ostrevane
