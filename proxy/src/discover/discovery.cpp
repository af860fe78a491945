#include "proxy/src/discover/discovery.hpp"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "proxy/src/discover/box_names.hpp"

namespace ostrevane {
namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using namespace asio::experimental::awaitable_operators;
using Json = nlohmann::json;

constexpr auto kNoThrow = asio::as_tuple(asio::use_awaitable);

bool is_integer_one(const Json& value) {
  if (value.is_number_unsigned()) {
    return value.get<std::uint64_t>() == 1;
  }
  return value.is_number_integer() && value.get<std::int64_t>() == 1;
}

// nlohmann parses non-negative integers as unsigned and negative ones (and "-0") as
// signed; fractional numbers and integers beyond 64 bits are floats and never a port.
std::uint16_t announced_port(const Json& object) {
  const auto found = object.find("port");
  if (found == object.end() || !found->is_number_integer()) {
    return DEFAULT_BOX_PORT;
  }
  if (found->is_number_unsigned()) {
    const auto port = found->get<std::uint64_t>();
    return port <= 0xFFFF ? static_cast<std::uint16_t>(port) : DEFAULT_BOX_PORT;
  }
  const auto port = found->get<std::int64_t>();
  return port >= 0 && port <= 0xFFFF ? static_cast<std::uint16_t>(port) : DEFAULT_BOX_PORT;
}

const std::string* string_member(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) {
    return nullptr;
  }
  return found->get_ptr<const std::string*>();
}

std::optional<BoxAnswer> read_answer(std::string_view datagram, const udp::endpoint& sender) {
  const auto parsed = datagram.substr(0, ANSWER_PARSE_LIMIT);
  // nlohmann takes a zero byte for the end of its input and skips a leading byte order
  // mark; neither is JSON, so a datagram holding one would otherwise pass with bytes after
  // (or before) its value.
  if (parsed.find('\0') != std::string_view::npos || parsed.starts_with("\xEF\xBB\xBF")) {
    return std::nullopt;
  }
  // Strict parsing rejects anything but white space after the value; without
  // exceptions, every malformed input comes back as a discarded value.
  const Json value = Json::parse(parsed.begin(), parsed.end(), nullptr, false);
  if (!value.is_object()) {
    return std::nullopt;
  }
  const std::string* qal = string_member(value, "qal");
  if (qal == nullptr || *qal != "box") {
    return std::nullopt;
  }
  const auto version = value.find("v");
  if (version == value.end() || !is_integer_one(*version)) {
    return std::nullopt;
  }
  const std::string* slug = string_member(value, "slug");
  const std::string* product = string_member(value, "product");
  if (slug == nullptr || product == nullptr || !is_clinic_slug(*slug) ||
      !is_known_edition(*product)) {
    return std::nullopt;
  }
  return BoxAnswer{sender.address().to_string(), *slug, *product, announced_port(value)};
}

void keep_answer(std::vector<BoxAnswer>& answers, BoxAnswer answer) {
  for (const BoxAnswer& kept : answers) {
    if (kept.address == answer.address && kept.slug == answer.slug) {
      return;
    }
  }
  answers.push_back(std::move(answer));
}

std::expected<BoxAnswer, DiscoverError> decide(std::vector<BoxAnswer> answers) {
  std::vector<BoxIdentity> identities;
  for (const BoxAnswer& answer : answers) {
    BoxIdentity identity{answer.slug, answer.product};
    if (std::find(identities.begin(), identities.end(), identity) == identities.end()) {
      identities.push_back(std::move(identity));
    }
  }
  if (identities.empty()) {
    return std::unexpected(DiscoverError::NoAnswer);
  }
  if (identities.size() > 1) {
    return std::unexpected(DiscoverError::SeveralBoxes);
  }
  return std::move(answers.front());
}

}  // namespace

asio::awaitable<std::expected<BoxAnswer, DiscoverError>> discover_box(
    std::chrono::steady_clock::duration window) {
  co_return co_await discover_box(window,
                                  udp::endpoint(asio::ip::address_v4::broadcast(), DISCOVERY_PORT));
}

asio::awaitable<std::expected<BoxAnswer, DiscoverError>> discover_box(
    std::chrono::steady_clock::duration window, udp::endpoint destination, udp::endpoint local) {
  const auto executor = co_await asio::this_coro::executor;
  udp::socket socket(executor);
  boost::system::error_code error;
  socket.open(udp::v4(), error);
  if (!error) {
    socket.bind(local, error);
  }
  if (!error) {
    socket.set_option(asio::socket_base::broadcast(true), error);
  }
  if (error) {
    socket.close(error);
    co_return std::unexpected(DiscoverError::SocketFailure);
  }

  // A request that cannot leave is not an error of its own: the pass listens its full
  // window all the same and normally ends silent, which the setup run retries.
  co_await socket.async_send_to(asio::buffer(DISCOVERY_REQUEST), destination, kNoThrow);

  const auto deadline = std::chrono::steady_clock::now() + window;
  asio::steady_timer timer(executor, deadline);
  std::vector<BoxAnswer> answers;
  // Zeroed once and reused. On the heap: a coroutine frame that holds it trips GCC 12's
  // false -Wmismatched-new-delete on Asio's frame allocator.
  std::vector<char> buffer(ANSWER_BUFFER_SIZE, 0);
  while (std::chrono::steady_clock::now() < deadline) {
    udp::endpoint sender;
    auto outcome = co_await (socket.async_receive_from(asio::buffer(buffer), sender, kNoThrow) ||
                             timer.async_wait(kNoThrow));
    if (outcome.index() == 1) {
      break;
    }
    const auto [receive_error, size] = std::get<0>(outcome);
    if (receive_error) {
      continue;
    }
    if (auto answer = read_answer(std::string_view(buffer.data(), size), sender)) {
      keep_answer(answers, std::move(*answer));
    }
  }
  socket.close(error);
  co_return decide(std::move(answers));
}

}  // namespace ostrevane
