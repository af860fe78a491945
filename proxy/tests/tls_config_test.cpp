#include "proxy/src/upstream/tls_config.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "proxy/src/discover/probe.hpp"
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

using test::CertOptions;
using test::KeyKind;
using test::TestCa;
using test::TestCertificate;
using Names = std::vector<std::string>;
// Makes the chain the box presents for `names` under the pinned root.
using ChainMaker = std::function<TestCertificate(const TestCa& root, const Names& names)>;

// A chain the box presents and how the pinned configuration judges it.
struct ChainCase {
  std::string label{};
  ChainMaker chain{};
  std::string refusal{};  // the handshake's error text; empty when the chain is accepted
  test::Validity root_validity{};
};

void PrintTo(const ChainCase& c, std::ostream* os) {
  *os << c.label;
}

// A leaf issued by the root itself.
ChainMaker leaf(CertOptions options = {}) {
  return
      [options](const TestCa& root, const Names& names) { return root.issue_leaf(names, options); };
}

// Options for a certificate valid during `validity`, else the defaults. The
// validity comes in as a value because GCC 12 at -O3 flags the cleanup of a
// braced CertOptions whose member initializer calls a function as a use of an
// uninitialized string (-Wmaybe-uninitialized).
CertOptions valid_during(test::Validity validity) {
  return CertOptions{.validity = validity};
}

ChainMaker leaf_with_key(KeyKind kind, int rsa_bits = 2048) {
  return leaf(CertOptions{.key = {.kind = kind, .rsa_bits = rsa_bits}});
}

// A leaf signed as `signing` says by an intermediate with a `kind` key.
ChainMaker leaf_signed_by(KeyKind kind, test::Signing signing) {
  return [kind, signing](const TestCa& root, const Names& names) {
    return root.issue_ca("Ostrevane Test Intermediate", CertOptions{.key = {.kind = kind}})
        .issue_leaf(names, CertOptions{.signing = signing});
  };
}

// A leaf under `count` intermediates, each issued by the one before, the first by the root.
ChainMaker leaf_under_intermediates(int count) {
  return [count](const TestCa& root, const Names& names) {
    TestCa issuer = root;
    for (int i = 1; i <= count; ++i) {
      issuer = issuer.issue_ca("Intermediate " + std::to_string(i));
    }
    return issuer.issue_leaf(names);
  };
}

std::string verify_failed(const std::string& why) {
  return "certificate verify failed (" + why + ")";
}

const ChainCase kChainCases[] = {
    // Accepted.
    {"P256Leaf", leaf()},
    {"P384Leaf", leaf_with_key(KeyKind::EcP384)},
    {"Ed25519Leaf", leaf_with_key(KeyKind::Ed25519)},
    {"Rsa2048Leaf", leaf_with_key(KeyKind::Rsa, 2048)},
    {"Rsa4096Leaf", leaf_with_key(KeyKind::Rsa, 4096)},
    {"Rsa8192Leaf", leaf_with_key(KeyKind::Rsa, 8192)},
    {"P256SignsWithSha256", leaf_signed_by(KeyKind::EcP256, {.digest = "SHA256"})},
    {"P256SignsWithSha384", leaf_signed_by(KeyKind::EcP256, {.digest = "SHA384"})},
    {"P384SignsWithSha256", leaf_signed_by(KeyKind::EcP384, {.digest = "SHA256"})},
    {"P384SignsWithSha384", leaf_signed_by(KeyKind::EcP384, {.digest = "SHA384"})},
    {"RsaSignsWithSha256", leaf_signed_by(KeyKind::Rsa, {.digest = "SHA256"})},
    {"RsaSignsWithSha384", leaf_signed_by(KeyKind::Rsa, {.digest = "SHA384"})},
    {"RsaSignsWithSha512", leaf_signed_by(KeyKind::Rsa, {.digest = "SHA512"})},
    {"RsaSignsWithPssSha256", leaf_signed_by(KeyKind::Rsa, {.digest = "SHA256", .pss = true})},
    {"RsaSignsWithPssSha512", leaf_signed_by(KeyKind::Rsa, {.digest = "SHA512", .pss = true})},
    // The root allows one intermediate only; its constraints are not ours to judge.
    {"TwoIntermediates", leaf_under_intermediates(2)},
    {"SixIntermediates", leaf_under_intermediates(6)},
    {"ExpiredRoot", leaf(), "", test::expired()},
    {"RootNotYetValid", leaf(), "", test::not_yet_valid()},

    // Refused.
    {"OtherRoot",
     [](const TestCa&, const Names& names) { return TestCa("Some Other CA").issue_leaf(names); },
     verify_failed("unable to get local issuer certificate")},
    {"WrongName",
     [](const TestCa& root, const Names&) {
       return root.issue_leaf({"app.other.lunel." + std::string(BOX_DOMAIN)});
     },
     verify_failed("hostname mismatch")},
    {"NameInTheCommonNameOnly",
     [](const TestCa& root, const Names& names) {
       return root.issue_leaf({names.front()}, CertOptions{.alt_names = false});
     },
     verify_failed("hostname mismatch")},
    {"ExpiredLeaf", leaf(valid_during(test::expired())), verify_failed("certificate has expired")},
    {"LeafNotYetValid", leaf(valid_during(test::not_yet_valid())),
     verify_failed("certificate is not yet valid")},
    {"LeafIsACa", leaf(CertOptions{.ca = true}),
     verify_failed("the end-entity certificate is a CA")},
    {"ExpiredIntermediate",
     [](const TestCa& root, const Names& names) {
       return root.issue_ca("Expired Intermediate", valid_during(test::expired()))
           .issue_leaf(names);
     },
     verify_failed("certificate has expired")},
    {"IntermediateThatIsNoCa",
     [](const TestCa& root, const Names& names) {
       return TestCa(root.issue_leaf({"Not A CA"})).issue_leaf(names);
     },
     verify_failed("invalid CA certificate")},
    {"Rsa1024Leaf", leaf_with_key(KeyKind::Rsa, 1024),
     verify_failed("EE certificate key too weak")},
    {"Rsa8200Leaf", leaf_with_key(KeyKind::Rsa, 8200),
     verify_failed("public key not accepted: RSA of 8200 bits")},
    {"Rsa1024Intermediate",
     [](const TestCa& root, const Names& names) {
       return root
           .issue_ca("Weak Intermediate",
                     CertOptions{.key = {.kind = KeyKind::Rsa, .rsa_bits = 1024}})
           .issue_leaf(names);
     },
     verify_failed("CA certificate key too weak")},
    {"RsaSignsWithSha1", leaf_signed_by(KeyKind::Rsa, {.digest = "SHA1"}),
     verify_failed("CA signature digest algorithm too weak")},
    {"RsaSignsWithSha224", leaf_signed_by(KeyKind::Rsa, {.digest = "SHA224"}),
     verify_failed("signature algorithm not accepted: sha224WithRSAEncryption")},
    {"RsaSignsWithPssOfAShortSalt",
     leaf_signed_by(KeyKind::Rsa, {.digest = "SHA256", .pss = true, .pss_salt = 20}),
     verify_failed("signature algorithm not accepted: rsassaPss with these parameters")},
    {"P256SignsWithSha512", leaf_signed_by(KeyKind::EcP256, {.digest = "SHA512"}),
     verify_failed("signature algorithm not accepted: ecdsa-with-SHA512")},
    {"P521SignsWithSha512", leaf_signed_by(KeyKind::EcP521, {.digest = "SHA512"}),
     verify_failed("signature algorithm not accepted: ecdsa-with-SHA512")},
    {"P521SignsWithSha384", leaf_signed_by(KeyKind::EcP521, {.digest = "SHA384"}),
     verify_failed("public key not accepted: EC on secp521r1")},
    {"Ed448Signs", leaf_signed_by(KeyKind::Ed448, {}),
     verify_failed("signature algorithm not accepted: ED448")},
    {"SevenIntermediates", leaf_under_intermediates(7),
     verify_failed("chain not accepted: more than 6 intermediate certificates")},
    {"CompressedP256Leaf",
     leaf(CertOptions{.key = {.kind = KeyKind::EcP256, .compressed_point = true}}),
     verify_failed("public key not accepted: EC point not in uncompressed form")},
    {"CompressedP384Intermediate",
     [](const TestCa& root, const Names& names) {
       return root
           .issue_ca("Compressed Intermediate",
                     CertOptions{.key = {.kind = KeyKind::EcP384, .compressed_point = true}})
           .issue_leaf(names);
     },
     verify_failed("public key not accepted: EC point not in uncompressed form")},
    {"IssuerNameEqualOnlyOnceFolded", leaf(CertOptions{.recased_issuer = true}),
     verify_failed("issuer name not accepted: not its issuer's subject byte for byte")},
};

class ChainTest : public PinnedHandshakeTest, public testing::WithParamInterface<ChainCase> {};

// The probe builds the same configuration for itself, and the program's own
// checks hold whatever security level the library would apply.
TEST_P(ChainTest, IsJudgedAlikeByTheConnectorAndTheProbeAtAnySecurityLevel) {
  const ChainCase& c = GetParam();
  const bool accepted = c.refusal.empty();
  ca_ = TestCa("Ostrevane Test Box CA", c.root_validity);
  start(c.chain(ca_, all_names(hosts_)));

  auto stream = connect_app();
  if (accepted) {
    EXPECT_TRUE(stream.has_value()) << stream.error().text;
  } else {
    ASSERT_FALSE(stream.has_value());
    EXPECT_EQ(stream.error().kind, ConnectErrorKind::Tls);
    EXPECT_EQ(stream.error().text, c.refusal);
  }

  const ProbeResult probe =
      run(probe_box(BoxAnswer{"127.0.0.1", "cabinet-durand", "lunel", box_->port()},
                    ca_.root().der(), std::chrono::seconds(5)));
  EXPECT_EQ(probe.outcome, accepted ? ProbeOutcome::Genuine : ProbeOutcome::NotGenuine);
  EXPECT_EQ(probe.text, c.refusal);

  SSL_CTX_set_security_level(state_->tls->native_handle(), 0);
  auto lax = connect_app();
  EXPECT_EQ(lax.has_value(), accepted) << (lax ? "accepted" : lax.error().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, ChainTest, testing::ValuesIn(kChainCases),
                         [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace ostrevane
