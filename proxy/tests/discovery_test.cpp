#include "proxy/src/discover/discovery.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <exception>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "testsupport/netns.hpp"
#include "testsupport/udp_box.hpp"

namespace ostrevane {

void PrintTo(const BoxAnswer& answer, std::ostream* out) {
  *out << answer.address << " " << answer.slug << "." << answer.product << ":" << answer.port;
}

void PrintTo(DiscoverError error, std::ostream* out) {
  switch (error) {
    case DiscoverError::NoAnswer:
      *out << "NoAnswer";
      return;
    case DiscoverError::SeveralBoxes:
      *out << "SeveralBoxes";
      return;
    case DiscoverError::SocketFailure:
      *out << "SocketFailure";
      return;
  }
}

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using std::chrono::milliseconds;
using Outcome = std::expected<BoxAnswer, DiscoverError>;
using test::UdpBox;
using test::UdpReply;

const udp::endpoint kLoopbackAny(asio::ip::make_address_v4("127.0.0.1"), 0);
const udp::endpoint kSecondAddress(asio::ip::make_address_v4("127.0.0.2"), 0);

// Runs one pass to completion on a fresh io_context.
Outcome run_pass(asio::awaitable<Outcome> pass) {
  asio::io_context io;
  std::optional<Outcome> outcome;
  asio::co_spawn(io, std::move(pass), [&outcome](std::exception_ptr thrown, Outcome result) {
    if (thrown) {
      std::rethrow_exception(thrown);
    }
    outcome = std::move(result);
  });
  io.run();
  if (!outcome) {
    throw std::logic_error("the pass did not complete");
  }
  return *outcome;
}

Outcome pass_against(const UdpBox& box, milliseconds window) {
  return run_pass(discover_box(window, box.endpoint()));
}

std::string answer_json(const std::string& slug, const std::string& product,
                        const std::string& extra = "") {
  return R"({"qal":"box","v":1,"slug":")" + slug + R"(","product":")" + product + "\"" + extra +
         "}";
}

BoxAnswer found(std::string address, std::string slug, std::string product,
                std::uint16_t port = DEFAULT_BOX_PORT) {
  return BoxAnswer{std::move(address), std::move(slug), std::move(product), port};
}

// --- One answer datagram, judged on its own -------------------------------------------

struct DatagramCase {
  std::string name;
  std::string datagram;
  std::optional<BoxAnswer> kept;  // nullopt: the datagram is dropped
};

std::ostream& operator<<(std::ostream& out, const DatagramCase& c) {
  return out << c.name;
}

DatagramCase kept(std::string name, std::string datagram, std::uint16_t port = DEFAULT_BOX_PORT,
                  std::string slug = "cabinet-martin", std::string product = "lunel") {
  return {std::move(name), std::move(datagram),
          found("127.0.0.1", std::move(slug), std::move(product), port)};
}

DatagramCase dropped(std::string name, std::string datagram) {
  return {std::move(name), std::move(datagram), std::nullopt};
}

// A datagram of `total` bytes: `json`, then spaces, with `tail` at its very end.
std::string padded(const std::string& json, std::size_t total, const std::string& tail = "") {
  std::string bytes = json;
  bytes.resize(total - tail.size(), ' ');
  return bytes + tail;
}

// An answer whose closing brace is byte number `end` (1-based), grown by an ignored key.
std::string answer_ending_at(std::size_t end) {
  const std::string head = R"({"qal":"box","v":1,"slug":"cabinet-martin","product":"lunel","x":")";
  const std::string tail = "\"}";
  return head + std::string(end - head.size() - tail.size(), 'x') + tail;
}

const std::string kValid = answer_json("cabinet-martin", "lunel");

std::vector<DatagramCase> datagram_cases() {
  using std::string;
  return {
      kept("Valid", kValid),
      kept(
          "KeysInAnyOrderOthersIgnored",
          R"({"port":8443,"extra":[1,{"qal":"x"}],"product":"corvene","slug":"c1","v":1,"qal":"box"})",
          8443, "c1", "corvene"),
      kept("WhiteSpaceAround", " \t\r\n" + kValid + "\r\n\t "),
      dropped("VersionFloat", R"({"qal":"box","v":1.0,"slug":"a","product":"lunel"})"),
      dropped("VersionString", R"({"qal":"box","v":"1","slug":"a","product":"lunel"})"),
      dropped("VersionTwo", R"({"qal":"box","v":2,"slug":"a","product":"lunel"})"),
      dropped("VersionMissing", R"({"qal":"box","slug":"a","product":"lunel"})"),
      dropped("QalMissing", R"({"v":1,"slug":"a","product":"lunel"})"),
      dropped("QalOtherCase", R"({"qal":"Box","v":1,"slug":"a","product":"lunel"})"),
      dropped("EchoedDiscoveryRequest", string(DISCOVERY_REQUEST)),
      dropped("DiscoveryRequestWithBoxFields",
              R"({"qal":"discover","v":1,"slug":"a","product":"lunel"})"),
      dropped("SlugMissing", R"({"qal":"box","v":1,"product":"lunel"})"),
      dropped("SlugNotString", R"({"qal":"box","v":1,"slug":7,"product":"lunel"})"),
      dropped("SlugUpperCase", answer_json("Cabinet", "lunel")),
      dropped("SlugLeadingHyphen", answer_json("-cabinet", "lunel")),
      dropped("SlugTrailingHyphen", answer_json("cabinet-", "lunel")),
      dropped("SlugTooLong", answer_json(string(64, 'a'), "lunel")),
      kept("SlugLongest", answer_json(string(63, 'a'), "lunel"), DEFAULT_BOX_PORT, string(63, 'a')),
      dropped("SlugNotUtf8", answer_json("caf\xE9", "lunel")),
      dropped("ProductMissing", R"({"qal":"box","v":1,"slug":"a"})"),
      dropped("ProductUnknown", answer_json("a", "ostrevane")),
      dropped("ProductCapital", answer_json("a", "Lunel")),
      dropped("ProductWithSpace", answer_json("a", "lunel ")),
      kept("ProductBrastel", answer_json("a", "brastel"), DEFAULT_BOX_PORT, "a", "brastel"),
      kept("PortZero", answer_json("cabinet-martin", "lunel", R"(,"port":0)"), 0),
      kept("PortHighest", answer_json("cabinet-martin", "lunel", R"(,"port":65535)"), 65535),
      kept("PortTooHigh", answer_json("cabinet-martin", "lunel", R"(,"port":65536)")),
      kept("PortNegative", answer_json("cabinet-martin", "lunel", R"(,"port":-1)")),
      kept("PortFraction", answer_json("cabinet-martin", "lunel", R"(,"port":1.5)")),
      kept("PortWholeFloat", answer_json("cabinet-martin", "lunel", R"(,"port":8443.0)")),
      kept("PortString", answer_json("cabinet-martin", "lunel", R"(,"port":"8443")")),
      kept("PortNull", answer_json("cabinet-martin", "lunel", R"(,"port":null)")),
      kept("PortBeyond64Bits",
           answer_json("cabinet-martin", "lunel", R"(,"port":18446744073709551616)")),
      kept("LongDatagramObjectWithinLimit", padded(kValid, 600)),
      kept("LongDatagramOnlyLeadingBytesJudged", padded(kValid, 600, "not json")),
      kept("ObjectEndsAtLimit", answer_ending_at(ANSWER_PARSE_LIMIT)),
      dropped("ObjectEndsBeyondLimit", padded(answer_ending_at(ANSWER_PARSE_LIMIT + 1), 600)),
      dropped("SecondObject", kValid + kValid),
      dropped("TextAfterObject", kValid + " x"),
      dropped("ZeroByteAfterObject", kValid + string(1, '\0')),
      dropped("ZeroByteThenText", kValid + string(1, '\0') + "garbage"),
      dropped("ByteOrderMark", "\xEF\xBB\xBF" + kValid),
      dropped("Truncated", kValid.substr(0, kValid.size() - 1)),
      dropped("Array", "[" + kValid + "]"),
      dropped("String", R"("box")"),
      dropped("Number", "1"),
      dropped("Null", "null"),
      dropped("Empty", ""),
      dropped("Garbage", string("\xFF\xFE\x00garbage\x01", 12)),
  };
}

class DatagramTest : public testing::TestWithParam<DatagramCase> {};

TEST_P(DatagramTest, IsKeptOrDropped) {
  UdpBox box(kLoopbackAny, {{.bytes = GetParam().datagram}});
  const Outcome outcome = pass_against(box, milliseconds(250));
  if (GetParam().kept) {
    EXPECT_EQ(outcome, *GetParam().kept);
  } else {
    EXPECT_EQ(outcome, std::unexpected(DiscoverError::NoAnswer));
  }
  EXPECT_EQ(box.requests(), 1);
}

INSTANTIATE_TEST_SUITE_P(Answers, DatagramTest, testing::ValuesIn(datagram_cases()),
                         [](const auto& info) { return info.param.name; });

// --- Several datagrams in one pass -----------------------------------------------------

struct PassCase {
  std::string name;
  std::vector<UdpReply> replies;
  Outcome outcome;
};

std::ostream& operator<<(std::ostream& out, const PassCase& c) {
  return out << c.name;
}

UdpReply from_first(std::string bytes, milliseconds delay = milliseconds(0)) {
  return {.bytes = std::move(bytes), .delay = delay};
}

UdpReply from_second(std::string bytes, milliseconds delay = milliseconds(0)) {
  return {.bytes = std::move(bytes), .source = kSecondAddress, .delay = delay};
}

std::vector<PassCase> pass_cases() {
  const milliseconds later(80);
  const std::string a_lunel = answer_json("a", "lunel", R"(,"port":1001)");
  const std::string a_lunel_other_port = answer_json("a", "lunel", R"(,"port":1002)");
  const auto several = std::unexpected(DiscoverError::SeveralBoxes);
  return {
      {"SameBoxTwice",
       {from_first(a_lunel), from_first(a_lunel, later)},
       found("127.0.0.1", "a", "lunel", 1001)},
      {"SameBoxFromTwoAddressesKeepsTheEarlier",
       {from_first(a_lunel), from_second(a_lunel_other_port, later)},
       found("127.0.0.1", "a", "lunel", 1001)},
      {"SameBoxFromTwoAddressesSecondFirst",
       {from_first(a_lunel, later), from_second(a_lunel_other_port)},
       found("127.0.0.2", "a", "lunel", 1002)},
      {"TwoSlugsFromOneAddress",
       {from_first(a_lunel), from_first(answer_json("b", "lunel"), later)},
       several},
      {"TwoSlugsFromTwoAddresses",
       {from_first(a_lunel), from_second(answer_json("b", "lunel"), later)},
       several},
      {"SameAddressAndSlugOtherEditionDropped",
       {from_first(a_lunel), from_first(answer_json("a", "brastel"), later)},
       found("127.0.0.1", "a", "lunel", 1001)},
      {"SameSlugOtherEditionElsewhereIsAnotherBox",
       {from_first(a_lunel), from_second(answer_json("a", "brastel"), later)},
       several},
      {"SecondBoxLateInTheWindow",
       {from_first(a_lunel), from_second(answer_json("b", "corvene"), milliseconds(250))},
       several},
      {"InvalidAnswersDoNotEndThePass",
       {from_first("{"), from_first(answer_json("A", "lunel")), from_first(a_lunel, later)},
       found("127.0.0.1", "a", "lunel", 1001)},
      {"EarlierLongDatagramLeavesNoTrace",
       {from_first(std::string(1024, 'x')), from_first(a_lunel, later)},
       found("127.0.0.1", "a", "lunel", 1001)},
      {"AnswerAfterTheWindowIsNotHeard",
       {from_first(a_lunel, milliseconds(700))},
       std::unexpected(DiscoverError::NoAnswer)},
  };
}

// Returns whether a datagram sent from a socket bound to kSecondAddress shows
// that address as its sender. Under Wine it does not: it arrives from 127.0.0.1.
bool second_address_is_seen() {
  asio::io_context io;
  udp::socket receiver(io, kLoopbackAny);
  udp::socket sender(io, kSecondAddress);
  const char probe = 'x';
  sender.send_to(asio::buffer(&probe, 1), receiver.local_endpoint());
  char byte = 0;
  udp::endpoint from;
  bool received = false;
  receiver.async_receive_from(
      asio::buffer(&byte, 1), from,
      [&](boost::system::error_code error, std::size_t) { received = !error; });
  io.run_for(std::chrono::seconds(2));
  return received && from.address() == kSecondAddress.address();
}

class PassTest : public testing::TestWithParam<PassCase> {};

TEST_P(PassTest, Decides) {
  const bool second_source = std::ranges::any_of(
      GetParam().replies, [](const UdpReply& reply) { return reply.source.has_value(); });
  if (second_source && !second_address_is_seen()) {
    GTEST_SKIP() << "a socket bound to " << kSecondAddress.address()
                 << " does not send from it here";
  }
  UdpBox box(kLoopbackAny, GetParam().replies);
  EXPECT_EQ(pass_against(box, milliseconds(400)), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(Passes, PassTest, testing::ValuesIn(pass_cases()),
                         [](const auto& info) { return info.param.name; });

// No input may crash or throw: every prefix of a valid answer and a burst of random
// bytes are all dropped, and a valid answer after them is still heard.
TEST(DiscoveryRobustnessTest, ArbitraryBytesAreDropped) {
  std::vector<UdpReply> replies;
  for (std::size_t size = 0; size < kValid.size(); ++size) {
    replies.push_back({.bytes = kValid.substr(0, size)});
  }
  std::mt19937 random(20240611);
  for (int i = 0; i < 200; ++i) {
    std::string bytes(std::uniform_int_distribution<std::size_t>(0, ANSWER_BUFFER_SIZE)(random),
                      '\0');
    for (char& byte : bytes) {
      byte = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
    }
    replies.push_back({.bytes = std::move(bytes)});
  }
  UdpBox silent(kLoopbackAny, replies);
  EXPECT_EQ(pass_against(silent, milliseconds(300)), std::unexpected(DiscoverError::NoAnswer));

  replies.push_back({.bytes = kValid, .delay = milliseconds(50)});
  UdpBox box(kLoopbackAny, replies);
  EXPECT_EQ(pass_against(box, milliseconds(300)), found("127.0.0.1", "cabinet-martin", "lunel"));
}

// --- The window and the socket ---------------------------------------------------------

template <typename Body>
milliseconds time_of(Body body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(DiscoveryWindowTest, AValidAnswerDoesNotShortenThePass) {
  UdpBox box(kLoopbackAny, {{.bytes = kValid}});
  Outcome outcome;
  const milliseconds elapsed = time_of([&] { outcome = pass_against(box, milliseconds(600)); });
  EXPECT_EQ(outcome, found("127.0.0.1", "cabinet-martin", "lunel"));
  EXPECT_GE(elapsed, milliseconds(600));
  EXPECT_LT(elapsed, milliseconds(1600));
}

TEST(DiscoveryWindowTest, SilenceListensTheWholeWindow) {
  UdpBox box(kLoopbackAny, {});
  Outcome outcome;
  const milliseconds elapsed = time_of([&] { outcome = pass_against(box, milliseconds(600)); });
  EXPECT_EQ(outcome, std::unexpected(DiscoverError::NoAnswer));
  EXPECT_GE(elapsed, milliseconds(600));
  EXPECT_EQ(box.requests(), 1);
}

TEST(DiscoveryWindowTest, AnUnsendableRequestStillListensTheWholeWindow) {
  // Linux refuses to send a UDP datagram to port 0.
  const udp::endpoint nowhere(asio::ip::make_address_v4("127.0.0.1"), 0);
  Outcome outcome;
  const milliseconds elapsed =
      time_of([&] { outcome = run_pass(discover_box(milliseconds(600), nowhere)); });
  EXPECT_EQ(outcome, std::unexpected(DiscoverError::NoAnswer));
  EXPECT_GE(elapsed, milliseconds(600));
}

TEST(DiscoveryWindowTest, ASocketThatCannotBeBoundFailsAtOnce) {
  asio::io_context io;
  udp::socket holder(io, udp::endpoint(asio::ip::address_v4::any(), 0));
  UdpBox box(kLoopbackAny, {{.bytes = kValid}});
  Outcome outcome;
  const milliseconds elapsed = time_of([&] {
    outcome =
        run_pass(discover_box(std::chrono::seconds(5), box.endpoint(), holder.local_endpoint()));
  });
  EXPECT_EQ(outcome, std::unexpected(DiscoverError::SocketFailure));
  EXPECT_LT(elapsed, milliseconds(1000));
  EXPECT_EQ(box.requests(), 0);
}

// Each pass starts afresh: a box that answers only its second request is found by the
// second pass, and the first pass's silence leaves nothing behind.
TEST(DiscoveryWindowTest, ABoxFoundOnlyOnTheSecondPass) {
  UdpBox box(kLoopbackAny, {{.bytes = kValid, .from_request = 2}});
  EXPECT_EQ(pass_against(box, milliseconds(250)), std::unexpected(DiscoverError::NoAnswer));
  EXPECT_EQ(pass_against(box, milliseconds(250)), found("127.0.0.1", "cabinet-martin", "lunel"));
  EXPECT_EQ(box.requests(), 2);
}

// --- The real broadcast, in a network of its own ---------------------------------------

const udp::endpoint kDiscoveryService(asio::ip::address_v4::any(), DISCOVERY_PORT);

TEST(DiscoveryBroadcastTest, FindsTheBoxByRealBroadcastInTheFullWindow) {
  auto ran = test::run_in_private_network_namespace([] {
    UdpBox box(kDiscoveryService,
               {{.bytes = answer_json("cabinet-martin", "corvene", R"(,"port":8443)")}});
    Outcome outcome;
    const milliseconds elapsed =
        time_of([&] { outcome = run_pass(discover_box(DISCOVERY_WINDOW)); });
    EXPECT_EQ(outcome, found("127.0.0.1", "cabinet-martin", "corvene", 8443));
    EXPECT_GE(elapsed, DISCOVERY_WINDOW);
    EXPECT_LT(elapsed, DISCOVERY_WINDOW + milliseconds(1500));
    EXPECT_EQ(box.requests(), 1);
  });
  if (!ran) {
    GTEST_SKIP() << ran.error();
  }
}

TEST(DiscoveryBroadcastTest, TwoBoxesOnTheNetwork) {
  auto ran = test::run_in_private_network_namespace([] {
    UdpBox first(kDiscoveryService, {{.bytes = answer_json("cabinet-martin", "lunel")}});
    UdpBox second(kDiscoveryService, {{.bytes = answer_json("cabinet-durand", "lunel")}});
    EXPECT_EQ(run_pass(discover_box(DISCOVERY_WINDOW)),
              std::unexpected(DiscoverError::SeveralBoxes));
    EXPECT_EQ(first.requests(), 1);
    EXPECT_EQ(second.requests(), 1);
  });
  if (!ran) {
    GTEST_SKIP() << ran.error();
  }
}

}  // namespace
}  // namespace ostrevane
