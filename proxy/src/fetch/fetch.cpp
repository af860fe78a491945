#include "proxy/src/fetch/fetch.hpp"

#include <utility>

namespace ostrevane {
namespace {

// Bytes asked of each body read: a few TLS records.
constexpr std::size_t kFrame = 64 * 1024;

}  // namespace

boost::asio::awaitable<std::expected<std::string, FetchError>> fetch_from_box(BoxClient& client,
                                                                              std::string path,
                                                                              std::uint64_t limit,
                                                                              BoxTarget target) {
  std::expected<BoxResponse, FetchError> response = co_await send_box_request(client, path, target);
  if (!response) {
    co_return std::unexpected(std::move(response.error()));
  }
  std::string body;
  while (true) {
    const std::size_t filled = body.size();
    body.resize(filled + kFrame);
    const BodyRead read = co_await response->read_some(std::span<char>(body).subspan(filled));
    if (const auto* data = std::get_if<BodyData>(&read)) {
      body.resize(filled + data->size);
      if (body.size() > limit) {
        co_return std::unexpected(
            Message{path + ": larger than " + std::to_string(limit) + " bytes"});
      }
      continue;
    }
    body.resize(filled);
    if (std::holds_alternative<BodyEnd>(read)) {
      co_return body;
    }
    if (std::holds_alternative<BodyStalled>(read)) {
      co_return std::unexpected(Message{path + ": stalled"});
    }
    co_return std::unexpected(Message{path + ": " + std::get<BodyError>(read).text});
  }
}

}  // namespace ostrevane
