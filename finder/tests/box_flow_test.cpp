#include "finder/src/lib/box_flow.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "testsupport/files.hpp"
#include "testsupport/minisign_signer.hpp"
#include "testsupport/os_texts.hpp"
#include "testsupport/scratch_dir.hpp"
#include "testsupport/test_box.hpp"
#include "testsupport/test_pki.hpp"

namespace ostrevane {
namespace {
namespace asio = boost::asio;
using namespace std::chrono_literals;

using FlowResult = std::expected<std::filesystem::path, FailureKind>;

test::Route route(std::string body) {
  test::Route r;
  r.body = std::move(body);
  return r;
}

const std::string kInstaller = "#!/bin/sh\nexit 0\n# full installer\n";
const std::string kUpdate = "#!/bin/sh\nexit 0\n# update\n";

// A box of the edition "lunel" serving a signed release, and the flow run
// against it from a discovery answer.
class BoxFlowTest : public testing::Test {
  // Public: the case table below changes the box and the manifest.
 public:
  BoxFlowTest()
      : hosts_(*box_host_names("cabinet", "lunel")),
        box_(ca_.issue_leaf({hosts_.app, hosts_.api, hosts_.supabase, hosts_.console})) {
    manifest_ = {
        {"version", 1},
        {"product", "lunel"},
        {"release", "2026.12"},
        {"bundle", {{"file", "bundle.tar"}, {"sha256", std::string(64, 'a')}, {"size", 1}}},
        {"shell",
         {{"version", "1.4.2"},
          {"minimum", "1.0.0"},
          {"installer", "setup.exe"},
          {"update", "update.exe"},
          {"sha256",
           {{"installer", test::sha256_of(kInstaller)}, {"update", test::sha256_of(kUpdate)}}}}}};
    box_.serve("/desktop/setup.exe", route(kInstaller));
    box_.serve("/desktop/update.exe", route(kUpdate));
  }

  // Serves the manifest as it stands now, signed by the trusted key.
  void publish() {
    const std::string text = manifest_.dump();
    box_.serve("/desktop/manifest.json", route(text));
    box_.serve("/desktop/manifest.json.minisig", route(signer_.sign(text, "release").text()));
  }

  FlowResult run(bool webview2 = false, std::optional<std::uint16_t> port = std::nullopt) {
    auto runtime = build_runtime();
    const TrustMaterial trust{ca_.root().der(), signer_.public_key_text()};
    const BoxAnswer answer{"127.0.0.1", "cabinet", "lunel", port.value_or(box_.port())};
    ProgressReporter reporter = [this](ProgressUpdate u) { updates_.push_back(std::move(u)); };
    BoxFlowTimeouts timeouts{500ms, BoxClientTimeouts{2s, 1s, 30s}};
    std::optional<FlowResult> result;
    asio::co_spawn(runtime->io,
                   run_box_flow(*runtime, folder(), reporter, answer, trust, webview2, timeouts),
                   [&](std::exception_ptr e, FlowResult r) {
                     EXPECT_FALSE(e);
                     result = std::move(r);
                   });
    runtime->io.run();
    return std::move(*result);
  }

  std::filesystem::path folder() const { return dir_.path() / "ostrevane-setup"; }

  bool requested(std::string_view path) const {
    for (const auto& request : box_.requests()) {
      if (request.target == path)
        return true;
    }
    return false;
  }

  test::ScratchDir dir_;
  test::TestCa ca_;
  test::MinisignSigner signer_;
  BoxHosts hosts_;
  test::TestBox box_;
  nlohmann::json manifest_;
  std::vector<ProgressUpdate> updates_;
};

TEST_F(BoxFlowTest, DownloadsTheInstallerWithoutWebView2) {
  publish();
  FlowResult result = run(false);
  ASSERT_TRUE(result.has_value()) << result.error().detail;
  EXPECT_EQ(*result, folder() / "setup.exe");
  EXPECT_EQ(test::read_file(*result), kInstaller);
  ASSERT_FALSE(updates_.empty());
  EXPECT_EQ(updates_.front(), ProgressUpdate(BoxFound{"cabinet", "lunel"}));
  EXPECT_EQ(updates_.back(), ProgressUpdate(Downloading{kInstaller.size(), kInstaller.size()}));
  for (const auto& request : box_.requests()) {
    EXPECT_EQ(request.method, "GET");
  }
}

TEST_F(BoxFlowTest, DownloadsTheUpdateWithWebView2) {
  publish();
  FlowResult result = run(true);
  ASSERT_TRUE(result.has_value()) << result.error().detail;
  EXPECT_EQ(*result, folder() / "update.exe");
  EXPECT_EQ(test::read_file(*result), kUpdate);
}

TEST_F(BoxFlowTest, AnExistingWorkingFolderIsUsedAsItIs) {
  std::filesystem::create_directories(folder());
  std::filesystem::permissions(folder(), std::filesystem::perms::owner_all);
  std::ofstream(folder() / "other.txt") << "kept";
  publish();
  ASSERT_TRUE(run().has_value());
  EXPECT_EQ(test::read_file(folder() / "other.txt"), "kept");
}

TEST_F(BoxFlowTest, ARefusedPortIsNotAnswering) {
  publish();
  asio::io_context io;
  asio::ip::tcp::acceptor closed(io, {asio::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t port = closed.local_endpoint().port();
  closed.close();
  FlowResult result = run(false, port);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), FailureKind::not_answering(test::refused_text()));
}

TEST(BoxFlowProbeTest, ASilentHandshakeIsNotAnswering) {
  test::TestCa ca;
  const BoxHosts hosts = *box_host_names("cabinet", "lunel");
  test::TestBoxOptions options;
  options.silent_handshake = true;
  test::TestBox box(ca.issue_leaf({hosts.app}), options);
  auto runtime = build_runtime();
  ProbeResult probe{ProbeOutcome::Genuine, {}};
  asio::co_spawn(
      runtime->io,
      probe_box(BoxAnswer{"127.0.0.1", "cabinet", "lunel", box.port()}, ca.root().der(), 300ms),
      [&](std::exception_ptr, ProbeResult r) { probe = std::move(r); });
  runtime->io.run();
  EXPECT_EQ(probe.outcome, ProbeOutcome::Silent);
  EXPECT_EQ(probe.text, "no TLS answer within 8 s");
}

TEST(BoxFlowProbeTest, AForeignCertificateIsNotGenuine) {
  test::TestCa ca;
  test::TestCa other("Another CA");
  const BoxHosts hosts = *box_host_names("cabinet", "lunel");
  test::TestBox box(other.issue_leaf({hosts.app}));
  auto runtime = build_runtime();
  ProbeResult probe{ProbeOutcome::Genuine, {}};
  const auto ca_der = ca.root().der();
  asio::co_spawn(runtime->io,
                 probe_box(BoxAnswer{"127.0.0.1", "cabinet", "lunel", box.port()}, ca_der, 2s),
                 [&](std::exception_ptr, ProbeResult r) { probe = std::move(r); });
  runtime->io.run();
  EXPECT_EQ(probe.outcome, ProbeOutcome::NotGenuine);
  EXPECT_NE(probe.text.find("certificate"), std::string::npos) << probe.text;
  EXPECT_TRUE(box.requests().empty());
}

TEST_F(BoxFlowTest, ABoxCertificateForAnotherNameIsNotGenuineAndNothingIsRequested) {
  test::TestBox impostor(ca_.issue_leaf({"app.other.lunel." + std::string(BOX_DOMAIN)}));
  publish();
  FlowResult result = run(false, impostor.port());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, FailureKind::Kind::NotGenuine);
  EXPECT_TRUE(impostor.requests().empty());
}

struct ManifestCase {
  std::string name;
  std::function<void(BoxFlowTest&)> change;  // applied after publish()
  FailureKind expected;
};

void PrintTo(const ManifestCase& c, std::ostream* os) {
  *os << c.name;
}

class BoxFlowFailureTest : public BoxFlowTest, public testing::WithParamInterface<ManifestCase> {};

TEST_P(BoxFlowFailureTest, EndsWithItsKindAndDetail) {
  publish();
  GetParam().change(*this);
  FlowResult result = run();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GetParam().expected);
  EXPECT_FALSE(std::filesystem::exists(folder() / "setup.exe"));
  EXPECT_FALSE(std::filesystem::exists(folder() / "setup.exe.part"));
}

void serve_manifest_unsigned(BoxFlowTest& t, const std::string& text) {
  t.box_.serve("/desktop/manifest.json", route(text));
  t.box_.serve("/desktop/manifest.json.minisig", route(t.signer_.sign(text, "release").text()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoxFlowFailureTest,
    testing::Values(
        ManifestCase{"ManifestMissing",
                     [](BoxFlowTest& t) {
                       test::Route r = route("no");
                       r.status = 404;
                       t.box_.serve("/desktop/manifest.json", r);
                     },
                     FailureKind::no_installer("/desktop/manifest.json: HTTP 404 Not Found")},
        ManifestCase{"ManifestTooLarge",
                     [](BoxFlowTest& t) { serve_manifest_unsigned(t, std::string(262'145, ' ')); },
                     FailureKind::no_installer("/desktop/manifest.json: larger than 262144 bytes")},
        ManifestCase{"SignatureNotText",
                     [](BoxFlowTest& t) {
                       t.box_.serve("/desktop/manifest.json.minisig", route("\xff\xfe"));
                     },
                     FailureKind::no_installer("the signature is not text")},
        ManifestCase{"ManifestChanged",
                     [](BoxFlowTest& t) {
                       t.box_.serve("/desktop/manifest.json", route(t.manifest_.dump() + " "));
                     },
                     FailureKind::no_installer("bad signature: The signature verification failed")},
        ManifestCase{"OtherEdition",
                     [](BoxFlowTest& t) {
                       t.manifest_["product"] = "corvene";
                       t.publish();
                     },
                     FailureKind::no_installer("the manifest is for corvene, the box runs lunel")},
        ManifestCase{"UpperCaseExtension",
                     [](BoxFlowTest& t) {
                       t.manifest_["shell"]["installer"] = "setup.EXE";
                       t.publish();
                     },
                     FailureKind::no_installer("an unexpected file name: setup.EXE")},
        ManifestCase{"FileStatus",
                     [](BoxFlowTest& t) {
                       test::Route r = route("oops");
                       r.status = 500;
                       t.box_.serve("/desktop/setup.exe", r);
                     },
                     FailureKind::box_error("/desktop/setup.exe: HTTP 500 Internal Server Error")},
        ManifestCase{"FileDigest",
                     [](BoxFlowTest& t) { t.box_.serve("/desktop/setup.exe", route("other")); },
                     FailureKind::download("sha256 " + test::sha256_of("other") +
                                           ", the manifest says " + test::sha256_of(kInstaller))}),
    [](const auto& info) { return info.param.name; });

TEST_F(BoxFlowTest, AWorkingFolderThatCannotBeMadeIsADownloadFailure) {
  std::ofstream(folder()) << "a file in the folder's place";
  publish();
  FlowResult result = run();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, FailureKind::Kind::Download);
  EXPECT_TRUE(result.error().detail.starts_with(folder().string() + ": ")) << result.error().detail;
}

TEST(InstallerFileNameTest, AcceptsOnlyPlainExeNames) {
  EXPECT_TRUE(is_installer_file_name("setup.exe"));
  EXPECT_TRUE(is_installer_file_name(".exe"));
  EXPECT_FALSE(is_installer_file_name("exe"));
  EXPECT_FALSE(is_installer_file_name("setup.EXE"));
  EXPECT_FALSE(is_installer_file_name("setup.msi"));
  EXPECT_FALSE(is_installer_file_name("a/setup.exe"));
  EXPECT_FALSE(is_installer_file_name("a\\setup.exe"));
  EXPECT_FALSE(is_installer_file_name("..setup.exe"));
}

}  // namespace
}  // namespace ostrevane
