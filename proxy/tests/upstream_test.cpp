#include "proxy/src/upstream/upstream.hpp"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <string>

#include "proxy/tests/box_fixture.hpp"
#include "testsupport/os_texts.hpp"

namespace ostrevane {
namespace {

struct HostCase {
  std::string uri;
  std::optional<std::string> host;
};

class UriHostTest : public testing::TestWithParam<HostCase> {};

TEST_P(UriHostTest, TakesTheAuthoritysHost) {
  const auto host = uri_host(GetParam().uri);
  ASSERT_EQ(host.has_value(), GetParam().host.has_value());
  if (host) {
    EXPECT_EQ(*host, *GetParam().host);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, UriHostTest,
                         testing::Values(HostCase{"https://app.x/desktop/a", "app.x"},
                                         HostCase{"https://app.x:8443/a", "app.x"},
                                         HostCase{"https://user:pw@name@app.x:1/a", "app.x"},
                                         HostCase{"https://[::1]:443/a", "[::1]"},
                                         HostCase{"https://app.x", "app.x"},
                                         HostCase{"https://app.x?q", "app.x"},
                                         HostCase{"/desktop/a", std::nullopt}));

TEST(UpstreamStateTest, LowersTheNamesAndKeepsTheAddress) {
  BoxHosts hosts{"App.A.Lunel.X", "API.a.lunel.x", "supabase.A.lunel.x", "Console.a.LUNEL.x"};
  auto state = make_upstream_state("127.0.0.1", 8443, hosts, nullptr);
  EXPECT_EQ(state->address, "127.0.0.1");
  EXPECT_EQ(state->port, 8443);
  EXPECT_EQ(state->app, "app.a.lunel.x");
  EXPECT_EQ(state->api, "api.a.lunel.x");
  EXPECT_EQ(state->supabase, "supabase.a.lunel.x");
  EXPECT_EQ(state->console_name(), "console.a.lunel.x");
  EXPECT_EQ(target_host(*state, BoxTarget::Console), "console.a.lunel.x");
  EXPECT_EQ(target_host(*state, BoxTarget::Supabase), "supabase.a.lunel.x");
  EXPECT_EQ(ascii_lower("A\xC3\x89-Z.9"), "a\xC3\x89-z.9");
}

class ConnectorTest : public BoxFixture {
 protected:
  std::expected<std::unique_ptr<BoxStream>, ConnectError> connect(const std::string& uri) {
    return run(UpstreamConnector(state_).connect(uri));
  }
};

// Every name of the box, in any letter case and with any port in the URI,
// dials the state's address and port and names the lower-cased host.
TEST_F(ConnectorTest, AcceptsEachNameInAnyCaseAndDialsTheStatesPort) {
  start();
  const std::vector<std::string> names = all_names(hosts_);
  std::vector<std::string> uris;
  for (const std::string& name : names) {
    std::string upper = name;
    for (char& c : upper) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    uris.push_back("https://" + upper + ":1/desktop/manifest.json");
  }
  uris.push_back("https://someone@" + hosts_.app + "/x");
  for (const std::string& uri : uris) {
    auto stream = connect(uri);
    EXPECT_TRUE(stream.has_value()) << uri << ": " << stream.error().text;
  }
  ASSERT_TRUE(box_->wait_for_connections(uris.size()));
  const auto connections = box_->connections();
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(connections[i].server_name, names[i]);
  }
}

struct RefusedCase {
  std::string label;
  std::string uri;
  std::string text;
};

class RefusedHostTest : public ConnectorTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedHostTest, FailsBeforeDialling) {
  start();
  auto stream = connect(GetParam().uri);
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().kind, ConnectErrorKind::InvalidInput);
  EXPECT_EQ(stream.error().text, GetParam().text);
  EXPECT_EQ(box_->tcp_accepts(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedHostTest,
    testing::Values(RefusedCase{"NoAuthority", "/desktop/manifest.json", "no host"},
                    RefusedCase{"BoxAddress", "https://127.0.0.1/desktop/manifest.json",
                                "127.0.0.1 is not one of this box's names"},
                    RefusedCase{"OtherName", "https://App.Example.com/",
                                "app.example.com is not one of this box's names"}),
    [](const auto& info) { return info.param.label; });

TEST_F(ConnectorTest, ARefusedPortGivesTheSystemsText) {
  // A port that was just free: nothing listens there.
  boost::asio::ip::tcp::acceptor probe(io_, {boost::asio::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t port = probe.local_endpoint().port();
  probe.close();
  state_ = make_state(port);
  auto stream = connect("https://" + hosts_.app + "/");
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().kind, ConnectErrorKind::Os);
  EXPECT_EQ(stream.error().text, test::refused_text());
}

TEST_F(ConnectorTest, ANameThatIsNoServerNameIsRefusedAfterTheCheck) {
  start();
  hosts_.app = "bad..name";
  state_ = make_state(box_->port());
  auto stream = connect("https://bad..name/");
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().kind, ConnectErrorKind::InvalidInput);
  EXPECT_EQ(stream.error().text, "invalid dns name");
}

TEST_F(ConnectorTest, ASilentHandshakeEndsAtTheDeadline) {
  start(ca_.issue_leaf(all_names(hosts_)), {.silent_handshake = true});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  auto stream = run(UpstreamConnector(state_).connect("https://" + hosts_.app + "/", deadline));
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().kind, ConnectErrorKind::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);
}

}  // namespace
}  // namespace ostrevane
