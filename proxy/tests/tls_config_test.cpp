#include "proxy/src/upstream/tls_config.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <functional>
#include <string>
#include <vector>

#include "proxy/tests/box_fixture.hpp"

namespace ostrevane {
namespace {

struct UnusableCase {
  std::string label;
  std::function<std::vector<std::uint8_t>()> bytes;
};

class UnusableCaTest : public testing::TestWithParam<UnusableCase> {};

TEST_P(UnusableCaTest, IsRefused) {
  auto config = build_tls_config(GetParam().bytes());
  ASSERT_FALSE(config.has_value());
  EXPECT_TRUE(config.error().starts_with("the box's CA is not usable: ")) << config.error();
}

std::vector<std::uint8_t> pem_bytes() {
  const std::string pem = test::TestCa().root().pem();
  return {pem.begin(), pem.end()};
}

std::vector<std::uint8_t> truncated_der() {
  std::vector<std::uint8_t> der = test::TestCa().root().der();
  der.resize(der.size() / 2);
  return der;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnusableCaTest,
    testing::Values(UnusableCase{"empty", [] { return std::vector<std::uint8_t>{}; }},
                    UnusableCase{"pem", pem_bytes}, UnusableCase{"truncated", truncated_der},
                    UnusableCase{"garbage", [] { return std::vector<std::uint8_t>(64, 0x30); }}),
    [](const auto& info) { return info.param.label; });

std::vector<std::string> cipher_names(SSL_CTX* ctx) {
  std::vector<std::string> names;
  STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(ctx);
  for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
    names.emplace_back(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(ciphers, i)));
  }
  return names;
}

TEST(TlsConfigTest, OffersOnlyTheChosenVersionsAndSuites) {
  test::TestCa ca;
  auto config = build_tls_config(ca.root().der());
  ASSERT_TRUE(config.has_value()) << config.error();
  SSL_CTX* ctx = (*config)->native_handle();
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_2_VERSION);
  EXPECT_EQ(SSL_CTX_get_max_proto_version(ctx), TLS1_3_VERSION);
  EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_PEER);
  EXPECT_EQ(cipher_names(ctx),
            (std::vector<std::string>{
                "TLS_AES_256_GCM_SHA384", "TLS_AES_128_GCM_SHA256", "TLS_CHACHA20_POLY1305_SHA256",
                "ECDHE-ECDSA-AES256-GCM-SHA384", "ECDHE-ECDSA-AES128-GCM-SHA256",
                "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-RSA-AES256-GCM-SHA384",
                "ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-CHACHA20-POLY1305"}));

  SSL* ssl = SSL_new(ctx);
  ASSERT_NE(ssl, nullptr);
  EXPECT_EQ(SSL_get_certificate(ssl), nullptr);  // never a client certificate
  SSL_free(ssl);
}

TEST(TlsConfigTest, EachCallBuildsAnIndependentContext) {
  test::TestCa ca;
  auto first = build_tls_config(ca.root().der());
  auto second = build_tls_config(ca.root().der());
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_NE((*first)->native_handle(), (*second)->native_handle());
  EXPECT_NE(SSL_CTX_get_cert_store((*first)->native_handle()),
            SSL_CTX_get_cert_store((*second)->native_handle()));
}

// Handshakes against a box whose leaf is `leaf`, trusting the fixture's root.
class PinnedHandshakeTest : public BoxFixture {
 protected:
  std::expected<std::unique_ptr<BoxStream>, ConnectError> connect_app() {
    return run(UpstreamConnector(state_).connect("https://" + hosts_.app + "/"));
  }
};

TEST_F(PinnedHandshakeTest, AcceptsALeafOfTheRootAndOffersOnlyHttp11) {
  start();
  auto stream = connect_app();
  ASSERT_TRUE(stream.has_value()) << stream.error().text;
  ASSERT_TRUE(box_->wait_for_connections(1));
  EXPECT_EQ(box_->connections()[0].alpn_offer, "http/1.1");
  EXPECT_EQ(box_->connections()[0].server_name, hosts_.app);
}

TEST_F(PinnedHandshakeTest, SpeaksTls12WithABoxLimitedToIt) {
  start(ca_.issue_leaf(all_names(hosts_)),
        {.tls_min_version = TLS1_2_VERSION, .tls_max_version = TLS1_2_VERSION});
  auto stream = connect_app();
  ASSERT_TRUE(stream.has_value()) << stream.error().text;
  EXPECT_EQ(SSL_version((*stream)->native_handle()), TLS1_2_VERSION);
}

TEST_F(PinnedHandshakeTest, RefusesABoxThatSpeaksOnlyTls11) {
  start(ca_.issue_leaf(all_names(hosts_)),
        {.tls_min_version = TLS1_1_VERSION, .tls_max_version = TLS1_1_VERSION});
  auto stream = connect_app();
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().kind, ConnectErrorKind::Tls) << stream.error().text;
}

TEST_F(PinnedHandshakeTest, AnExpiredRootStillAnchorsValidLeaves) {
  ca_ = test::TestCa("Ostrevane Test Box CA", test::expired());
  start();
  auto stream = connect_app();
  EXPECT_TRUE(stream.has_value()) << stream.error().text;
}

TEST_F(PinnedHandshakeTest, ARootNotYetValidStillAnchorsValidLeaves) {
  ca_ = test::TestCa("Ostrevane Test Box CA", test::not_yet_valid());
  start();
  auto stream = connect_app();
  EXPECT_TRUE(stream.has_value()) << stream.error().text;
}

struct BadLeafCase {
  std::string label;
  std::function<test::TestCertificate(const test::TestCa& ours, const BoxHosts& hosts)> leaf;
  std::string text;
};

class BadLeafTest : public PinnedHandshakeTest, public testing::WithParamInterface<BadLeafCase> {};

TEST_P(BadLeafTest, FailsTheHandshakeNamingTheCertificate) {
  start(GetParam().leaf(ca_, hosts_));
  auto stream = connect_app();
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().kind, ConnectErrorKind::Tls);
  EXPECT_EQ(stream.error().text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadLeafTest,
    testing::Values(
        BadLeafCase{"OtherRoot",
                    [](const test::TestCa&, const BoxHosts& hosts) {
                      return test::TestCa("Some Other CA").issue_leaf(all_names(hosts));
                    },
                    "certificate verify failed (unable to get local issuer certificate)"},
        BadLeafCase{"WrongName",
                    [](const test::TestCa& ours, const BoxHosts&) {
                      return ours.issue_leaf({"app.other.lunel." + std::string(BOX_DOMAIN)});
                    },
                    "certificate verify failed (hostname mismatch)"},
        BadLeafCase{"Expired",
                    [](const test::TestCa& ours, const BoxHosts& hosts) {
                      return ours.issue_leaf(all_names(hosts), test::expired());
                    },
                    "certificate verify failed (certificate has expired)"},
        BadLeafCase{"NotYetValid",
                    [](const test::TestCa& ours, const BoxHosts& hosts) {
                      return ours.issue_leaf(all_names(hosts), test::not_yet_valid());
                    },
                    "certificate verify failed (certificate is not yet valid)"}),
    [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace ostrevane
