#include "proxy/src/fetch/fetch.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <string>

#include "proxy/src/fetch/box_client.hpp"
#include "proxy/tests/box_fixture.hpp"
#include "testsupport/os_texts.hpp"

namespace ostrevane {
namespace {

using namespace std::chrono_literals;

constexpr const char* kManifest = "/desktop/manifest.json";

test::Route body_route(std::string body) {
  test::Route route;
  route.body = std::move(body);
  return route;
}

class FetchTest : public BoxFixture {
 protected:
  void SetUp() override {
    timeouts_ = {.request_deadline = 300ms, .stall = 300ms, .pool_idle = 30s};
  }

  BoxClient& client() {
    if (!client_) {
      client_.emplace(io_.get_executor(), state_, timeouts_);
    }
    return *client_;
  }

  std::expected<std::string, FetchError> fetch(const std::string& path,
                                               std::uint64_t limit = 1 << 20,
                                               BoxTarget target = BoxTarget::App) {
    return run(fetch_from_box(client(), path, limit, target));
  }

  BoxClientTimeouts timeouts_;
  std::optional<BoxClient> client_;
};

// The variant and its text, so that a test sees both.
std::string describe(const FetchError& error) {
  if (const auto* unreachable = std::get_if<Unreachable>(&error)) {
    return "Unreachable: " + unreachable->text;
  }
  if (const auto* message = std::get_if<Message>(&error)) {
    return "Message: " + message->text;
  }
  return "other: " + fetch_error_display(error);
}

std::string display(const std::expected<std::string, FetchError>& result) {
  return result ? "body of " + std::to_string(result->size()) + " bytes"
                : fetch_error_display(result.error());
}

TEST_F(FetchTest, FetchesByEachNameWithOnlyHostAndCacheControl) {
  hosts_ = BoxHosts{"APP.Cabinet-Durand.lunel." + std::string(BOX_DOMAIN),
                    "Api.cabinet-durand.LUNEL." + std::string(BOX_DOMAIN),
                    "supabase.cabinet-durand.lunel." + std::string(BOX_DOMAIN),
                    "CONSOLE.cabinet-durand.lunel." + std::string(BOX_DOMAIN)};
  start(ca_.issue_leaf(all_names(test_hosts())));
  box_->serve(kManifest, body_route("{\"v\":1}"));
  const BoxHosts lower = test_hosts();
  const std::vector<std::pair<BoxTarget, std::string>> targets = {
      {BoxTarget::App, lower.app},
      {BoxTarget::Api, lower.api},
      {BoxTarget::Supabase, lower.supabase},
      {BoxTarget::Console, lower.console}};
  for (const auto& [target, host] : targets) {
    auto body = fetch(kManifest, 1 << 20, target);
    ASSERT_TRUE(body.has_value()) << display(body);
    EXPECT_EQ(*body, "{\"v\":1}");
    const test::RecordedRequest request = box_->requests().back();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, kManifest);
    EXPECT_EQ(request.headers, (test::HeaderList{{"Host", host}, {"Cache-Control", "no-cache"}}));
  }
}

TEST_F(FetchTest, ConsoleWithoutANameFailsBeforeConnecting) {
  start();
  auto state = std::make_shared<UpstreamState>();
  state->address = "127.0.0.1";
  state->port = box_->port();
  state->app = test_hosts().app;
  state->tls = *build_tls_config(ca_.root().der());
  state_ = state;
  auto body = fetch(kManifest, 100, BoxTarget::Console);
  ASSERT_FALSE(body.has_value());
  EXPECT_EQ(describe(body.error()), "Message: the box has not named its console's host");
  EXPECT_EQ(box_->tcp_accepts(), 0u);
}

TEST_F(FetchTest, APathThatIsNoUriIsRefused) {
  start();
  auto body = fetch("/desktop/a file.exe");
  ASSERT_FALSE(body.has_value());
  EXPECT_EQ(display(body), "bad target URI: invalid uri character");
}

struct StatusCase {
  unsigned status;
  std::string text;
};

class StatusTest : public FetchTest, public testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTest, AnyStatusButOkIsAMessageNamingThePath) {
  start();
  test::Route route = body_route("ignored");
  route.status = GetParam().status;
  box_->serve(kManifest, route);
  auto body = fetch(kManifest);
  ASSERT_FALSE(body.has_value());
  EXPECT_EQ(describe(body.error()), "Message: " + GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusTest,
    testing::Values(StatusCase{204, "/desktop/manifest.json: HTTP 204 No Content"},
                    StatusCase{301, "/desktop/manifest.json: HTTP 301 Moved Permanently"},
                    StatusCase{404, "/desktop/manifest.json: HTTP 404 Not Found"},
                    StatusCase{503, "/desktop/manifest.json: HTTP 503 Service Unavailable"},
                    StatusCase{299, "/desktop/manifest.json: HTTP 299 <unknown status code>"},
                    // Never asked for: the connection no longer speaks HTTP, so
                    // this is the answer, and the connection is dropped.
                    StatusCase{101, "/desktop/manifest.json: HTTP 101 Switching Protocols"}));

TEST_F(FetchTest, InterimHeadsBeforeTheAnswerAreReadPast) {
  start();
  test::Route route = body_route("after the hints");
  route.interim_heads = {"HTTP/1.1 100 Continue\r\n\r\n",
                         "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n",
                         "HTTP/1.1 100 Continue\r\n\r\n"};
  box_->serve(kManifest, route);
  for (int i = 0; i < 2; ++i) {
    auto body = fetch(kManifest);
    ASSERT_TRUE(body.has_value()) << display(body);
    EXPECT_EQ(*body, "after the hints");
  }
  EXPECT_EQ(box_->tcp_accepts(), 1u);  // and the connection serves the next request
}

TEST_F(FetchTest, InterimHeadsDoNotExtendTheDeadline) {
  start();
  test::Route route = body_route("too late");
  route.interim_heads.assign(20, "HTTP/1.1 100 Continue\r\n\r\n");
  // The answer would come after a second, well past the deadline.
  route.head_delay = 50ms;
  box_->serve(kManifest, route);
  auto body = fetch(kManifest);
  ASSERT_FALSE(body.has_value());
  EXPECT_EQ(describe(body.error()), "Unreachable: no answer within 8 s");
}

TEST_F(FetchTest, ARefusedPortIsUnreachableWithTheSystemsText) {
  boost::asio::ip::tcp::acceptor probe(io_, {boost::asio::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t port = probe.local_endpoint().port();
  probe.close();
  state_ = make_state(port);
  auto body = fetch(kManifest);
  ASSERT_FALSE(body.has_value());
  EXPECT_EQ(describe(body.error()), "Unreachable: client error (Connect): " + test::refused_text());
}

TEST_F(FetchTest, ABadCertificateIsAMessageNamingTheCertificate) {
  test::TestCa other("Some Other CA");
  start(other.issue_leaf(all_names(hosts_)));
  auto body = fetch(kManifest);
  ASSERT_FALSE(body.has_value());
  EXPECT_EQ(describe(body.error()),
            "Message: client error (Connect): certificate verify failed (unable to get local "
            "issuer certificate)");
}

TEST_F(FetchTest, AnExpiredLeafIsAMessage) {
  start(ca_.issue_leaf(all_names(hosts_), test::expired()));
  auto body = fetch(kManifest);
  ASSERT_FALSE(body.has_value());
  EXPECT_EQ(describe(body.error()),
            "Message: client error (Connect): certificate verify failed (certificate has expired)");
}

TEST_F(FetchTest, NoHeadBeforeTheDeadlineIsUnreachable) {
  for (const bool silent_handshake : {true, false}) {
    SCOPED_TRACE(silent_handshake ? "silent handshake" : "late head");
    start(ca_.issue_leaf(all_names(hosts_)), {.silent_handshake = silent_handshake});
    test::Route late = body_route("late");
    late.head_delay = 2s;
    box_->serve(kManifest, late);
    client_.reset();
    const auto started = std::chrono::steady_clock::now();
    auto body = fetch(kManifest);
    ASSERT_FALSE(body.has_value());
    EXPECT_EQ(describe(body.error()), "Unreachable: no answer within 8 s");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
  }
}

TEST_F(FetchTest, AStallFailsAndATrickleDoesNot) {
  start();
  test::Route stalled = body_route(std::string(1000, 's'));
  stalled.stall_after = 10;
  box_->serve("/stalled", stalled);
  test::Route trickle = body_route(std::string(20, 't'));
  trickle.write_size = 4;
  trickle.write_delay = 100ms;  // a third of the stall time-out between writes
  box_->serve("/trickle", trickle);

  EXPECT_EQ(display(fetch("/stalled")), "/stalled: stalled");
  auto body = fetch("/trickle");
  ASSERT_TRUE(body.has_value()) << display(body);
  EXPECT_EQ(*body, std::string(20, 't'));
}

struct LimitCase {
  std::string label;
  std::size_t size;
  std::optional<std::string> content_length;
  bool ok;
};

class LimitTest : public FetchTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(LimitTest, CountsOnlyTheBytesThatArrive) {
  constexpr std::uint64_t kLimit = 262144;
  start();
  test::Route route = body_route(std::string(GetParam().size, 'm'));
  route.content_length = GetParam().content_length;
  route.close_after = GetParam().content_length.has_value();
  box_->serve(kManifest, route);
  auto body = fetch(kManifest, kLimit);
  if (GetParam().ok) {
    ASSERT_TRUE(body.has_value()) << display(body);
    EXPECT_EQ(body->size(), GetParam().size);
  } else {
    EXPECT_EQ(display(body), "/desktop/manifest.json: larger than 262144 bytes");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LimitTest,
                         testing::Values(LimitCase{"Exact", 262144, std::nullopt, true},
                                         LimitCase{"OneOver", 262145, std::nullopt, false},
                                         LimitCase{"Empty", 0, std::nullopt, true},
                                         LimitCase{"AnnouncedLargerButSmall", 100, std::nullopt,
                                                   true},
                                         LimitCase{"NoLengthOneOver", 262145, "", false}),
                         [](const auto& info) { return info.param.label; });

TEST_F(FetchTest, TheAnnouncedLengthIsNeverJudgedByItself) {
  start();
  // Announces more than the limit but sends little, then stalls: the fetch
  // waits for bytes instead of refusing the header.
  test::Route big = body_route(std::string(300000, 'b'));
  big.stall_after = 1000;
  box_->serve("/big", big);
  // Announces more than it sends, then closes.
  test::Route lying = body_route(std::string(100, 'l'));
  lying.content_length = "5000";
  lying.cut_after = 100;
  box_->serve("/lying", lying);
  // Announces less than it sends: the body ends at the announced length.
  test::Route short_length = body_route(std::string(100, 's'));
  short_length.content_length = "10";
  box_->serve("/short", short_length);

  EXPECT_EQ(display(fetch("/big", 262144)), "/big: stalled");
  EXPECT_EQ(display(fetch("/lying", 262144)), "/lying: error reading a body from connection");
  auto body = fetch("/short");
  ASSERT_TRUE(body.has_value()) << display(body);
  EXPECT_EQ(*body, std::string(10, 's'));
}

TEST_F(FetchTest, AConnectionClosedMidBodyIsABodyError) {
  start();
  test::Route route = body_route(std::string(5000, 'c'));
  route.cut_after = 1000;
  box_->serve(kManifest, route);
  EXPECT_EQ(display(fetch(kManifest)),
            "/desktop/manifest.json: error reading a body from connection");
}

// The head and the body's start share one TLS record, and the record reaches
// the client in pieces, the later one with the records behind it.
TEST_F(FetchTest, ARecordSplitAcrossReadsArrivesWhole) {
  start();
  std::string text;
  for (int i = 0; text.size() < 40'000; ++i) {
    text += std::to_string(i) + ",";
  }
  for (std::size_t split = 1; split < 40'000; split += 997) {
    SCOPED_TRACE(split);
    test::Route route = body_route(text);
    route.split_delivery = split;
    route.write_delay = 5ms;
    const std::string path = "/split/" + std::to_string(split);
    box_->serve(path, route);
    const auto body = fetch(path);
    ASSERT_TRUE(body.has_value()) << display(body);
    EXPECT_TRUE(*body == text) << "a body of " << body->size() << " bytes differs";
  }
}

TEST_F(FetchTest, AChunkedBodyWithTrailersArrivesWhole) {
  start();
  std::string text;
  for (int i = 0; i < 100; ++i) {
    text += "chunk " + std::to_string(i) + ";";
  }
  test::Route route = body_route(text);
  route.chunked = true;
  route.write_size = 7;
  route.trailers = {{"X-Checksum", "abc"}, {"X-Other", "def"}};
  box_->serve(kManifest, route);
  auto body = fetch(kManifest);
  ASSERT_TRUE(body.has_value()) << display(body);
  EXPECT_EQ(*body, text);
}

TEST_F(FetchTest, KeepAliveConnectionsServeLaterRequests) {
  start();
  box_->serve("/a", body_route("first"));
  box_->serve("/b", body_route("second"));
  test::Route closing = body_route("closing");
  closing.close_after = true;
  box_->serve("/close", closing);
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  EXPECT_EQ(display(fetch("/b")), "body of 6 bytes");
  EXPECT_EQ(display(fetch("/close")), "body of 7 bytes");
  EXPECT_EQ(box_->tcp_accepts(), 1u);
  EXPECT_EQ(client().idle_connections(), 0u);  // the box said it would close
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  EXPECT_EQ(box_->tcp_accepts(), 2u);
  EXPECT_EQ(client().idle_connections(), 1u);
}

TEST_F(FetchTest, ANewConnectionResumesTheEarlierSession) {
  start();
  test::Route closing = body_route("closing");
  closing.close_after = true;
  box_->serve("/close", closing);
  EXPECT_EQ(display(fetch("/close")), "body of 7 bytes");
  EXPECT_EQ(display(fetch("/close")), "body of 7 bytes");
  const auto connections = box_->connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_FALSE(connections[0].resumed);
  EXPECT_TRUE(connections[1].resumed);
}

TEST_F(FetchTest, SessionsAreNotSharedBetweenConfigurations) {
  start();
  test::Route closing = body_route("closing");
  closing.close_after = true;
  box_->serve("/close", closing);
  EXPECT_EQ(display(fetch("/close")), "body of 7 bytes");
  state_ = make_state(box_->port());  // a second, independent configuration
  client_.reset();
  EXPECT_EQ(display(fetch("/close")), "body of 7 bytes");
  const auto connections = box_->connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_FALSE(connections[1].resumed);
}

TEST_F(FetchTest, APooledConnectionTheBoxLetGoIsReplaced) {
  start();
  box_->serve("/a", body_route("first"));
  test::Route dropping = body_route("second");
  dropping.drop_on_reused_connection = true;
  box_->serve("/dropped", dropping);

  // Closed while idle in the pool.
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  box_->drop_connections();
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  EXPECT_EQ(box_->tcp_accepts(), 2u);
  // Closed by the box on receiving the request, before any answer.
  EXPECT_EQ(display(fetch("/dropped")), "body of 6 bytes");
  EXPECT_EQ(box_->tcp_accepts(), 3u);
}

TEST_F(FetchTest, AnIdleConnectionLeavesThePoolAfterTheIdleTime) {
  timeouts_.pool_idle = 100ms;
  start();
  box_->serve("/a", body_route("first"));
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  EXPECT_EQ(box_->tcp_accepts(), 2u);
  EXPECT_FALSE(box_->requests().back().reused_connection);
}

TEST_F(FetchTest, AnIdleConnectionIsClosedWhenItsTimeRunsOut) {
  timeouts_.pool_idle = 100ms;
  start();
  box_->serve("/a", body_route("first"));
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  EXPECT_EQ(client().idle_connections(), 1u);
  EXPECT_TRUE(box_->wait_for_open_connections(1));
  // Nothing asks the pool for a connection meanwhile.
  io_.restart();
  io_.run_for(2s);
  EXPECT_EQ(client().idle_connections(), 0u);
  EXPECT_TRUE(box_->wait_for_open_connections(0));
}

// Reads the whole body of `response` in frames of `frame` bytes.
boost::asio::awaitable<std::expected<std::string, std::string>> read_all(BoxResponse response,
                                                                         std::size_t frame) {
  std::string body;
  std::vector<char> buffer(frame);
  while (true) {
    const BodyRead read = co_await response.read_some(buffer);
    if (const auto* data = std::get_if<BodyData>(&read)) {
      if (data->size == 0) {
        co_return std::unexpected(std::string("empty data frame"));
      }
      body.append(buffer.data(), data->size);
      continue;
    }
    if (!std::holds_alternative<BodyEnd>(read)) {
      co_return std::unexpected(std::string("body read failed"));
    }
    // The end stays the end.
    if (!std::holds_alternative<BodyEnd>(co_await response.read_some(buffer))) {
      co_return std::unexpected(std::string("read after the end"));
    }
    co_return body;
  }
}

boost::asio::awaitable<std::expected<std::string, std::string>> request_and_read(
    BoxClient& client, std::string path, std::size_t frame) {
  auto response = co_await send_box_request(client, path, BoxTarget::App);
  if (!response) {
    co_return std::unexpected(fetch_error_display(response.error()));
  }
  co_return co_await read_all(std::move(*response), frame);
}

char pattern_byte(std::uint64_t offset) {
  return static_cast<char>((offset * 7 + offset / 4096) & 0xff);
}

TEST_F(FetchTest, StreamsALargeBodyInLargeFramesPastAnyParserLimit) {
  constexpr std::uint64_t kSize = 9 * 1024 * 1024 + 17;
  start();
  test::Route route;
  route.generated_size = kSize;
  route.generator = [](std::uint64_t offset, std::span<char> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = pattern_byte(offset + i);
    }
  };
  box_->serve("/desktop/big.exe", route);
  route.chunked = true;
  route.write_size = 100000;
  box_->serve("/desktop/chunked.exe", route);
  for (const char* path : {"/desktop/big.exe", "/desktop/chunked.exe"}) {
    auto body = run(request_and_read(client(), path, 256 * 1024));
    ASSERT_TRUE(body.has_value()) << path << ": " << body.error();
    ASSERT_EQ(body->size(), kSize);
    std::size_t wrong = 0;
    for (std::uint64_t i = 0; i < kSize; ++i) {
      wrong += (*body)[i] != pattern_byte(i);
    }
    EXPECT_EQ(wrong, 0u) << path;
  }
  EXPECT_EQ(box_->tcp_accepts(), 1u);
}

TEST_F(FetchTest, TheClientMayGoBeforeItsResponsesAndItsIdleConnections) {
  start();
  box_->serve("/a", body_route("first"));
  box_->serve("/b", body_route("second"));
  EXPECT_EQ(display(fetch("/a")), "body of 5 bytes");
  // Another host name, so that the first connection stays idle in the pool.
  auto response = run(send_box_request(client(), "/b", BoxTarget::Api));
  ASSERT_TRUE(response.has_value()) << fetch_error_display(response.error());
  EXPECT_EQ(client().idle_connections(), 1u);
  client_.reset();  // with its timer pending
  auto body = run(read_all(std::move(*response), 64));
  ASSERT_TRUE(body.has_value()) << body.error();
  EXPECT_EQ(*body, "second");
  EXPECT_TRUE(box_->wait_for_open_connections(0));
}

TEST_F(FetchTest, AResponseShowsItsHeaders) {
  start();
  test::Route route = body_route("12345");
  route.headers = {{"X-Box", "one"}, {"x-box", "two"}};
  box_->serve(kManifest, route);
  auto response = run(send_box_request(client(), kManifest, BoxTarget::App));
  ASSERT_TRUE(response.has_value()) << fetch_error_display(response.error());
  EXPECT_EQ(response->status(), 200u);
  EXPECT_EQ(response->header("content-length"), "5");
  EXPECT_EQ(response->header("X-BOX"), "one");
  EXPECT_EQ(response->header("x-missing"), std::nullopt);
}

}  // namespace
}  // namespace ostrevane
