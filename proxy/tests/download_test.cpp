#include "proxy/src/fetch/download.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "testsupport/files.hpp"
#include "testsupport/scratch_dir.hpp"
#include "testsupport/test_box.hpp"
#include "testsupport/test_pki.hpp"

namespace ostrevane {
namespace {
namespace asio = boost::asio;
using namespace std::chrono_literals;

class DownloadTest : public testing::Test {
 protected:
  DownloadTest()
      : hosts_(*box_host_names("cabinet", "lunel")),
        box_(ca_.issue_leaf({hosts_.app, hosts_.api, hosts_.supabase, hosts_.console})) {}

  struct Outcome {
    std::expected<void, FetchError> result;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
  };

  Outcome download(const std::string& path, const std::string& digest,
                   std::uint64_t limit = 1 << 20) {
    asio::io_context io;
    asio::thread_pool pool(2);
    auto tls = build_tls_config(ca_.root().der());
    EXPECT_TRUE(tls.has_value());
    // The run below ends once the pooled connection's idle time is up.
    BoxClient client(io.get_executor(), make_upstream_state("127.0.0.1", box_.port(), hosts_, *tls),
                     BoxClientTimeouts{2s, 300ms, 50ms});
    Outcome outcome{std::expected<void, FetchError>{}, {}};
    std::optional<std::expected<void, FetchError>> result;
    asio::co_spawn(io,
                   download_file(
                       client, path, destination(), digest,
                       [&outcome](std::uint64_t done, std::uint64_t total) {
                         outcome.progress.emplace_back(done, total);
                       },
                       limit, BoxTarget::App, pool.get_executor()),
                   [&](std::exception_ptr e, std::expected<void, FetchError> r) {
                     EXPECT_FALSE(e);
                     result = std::move(r);
                   });
    io.run();
    pool.join();
    outcome.result = std::move(*result);
    return outcome;
  }

  std::filesystem::path destination() const { return dir_.path() / "work" / "setup.exe"; }
  std::filesystem::path part() const { return dir_.path() / "work" / "setup.exe.part"; }

  static std::string error_text(const Outcome& outcome) {
    return outcome.result ? "success" : fetch_error_display(outcome.result.error());
  }

  test::ScratchDir dir_;
  test::TestCa ca_;
  BoxHosts hosts_;
  test::TestBox box_;
};

const std::string kBody(300'000, 'x');

// Returns a route serving `body`, changed by `change`.
template <typename F>
test::Route route(std::string body, F change) {
  test::Route r;
  r.body = std::move(body);
  change(r);
  return r;
}
test::Route route(std::string body) {
  return route(std::move(body), [](test::Route&) {});
}

TEST_F(DownloadTest, StreamsVerifiesAndRenames) {
  test::Route route;
  route.body = kBody;
  route.write_size = 64 * 1024;
  box_.serve("/desktop/setup.exe", route);
  Outcome outcome = download("/desktop/setup.exe", test::sha256_of(kBody));
  ASSERT_TRUE(outcome.result.has_value()) << error_text(outcome);
  EXPECT_EQ(test::read_file(destination()), kBody);
  EXPECT_FALSE(std::filesystem::exists(part()));
  ASSERT_FALSE(outcome.progress.empty());
  EXPECT_EQ(outcome.progress.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{300'000}));
  EXPECT_EQ(outcome.progress.back(),
            std::make_pair(std::uint64_t{300'000}, std::uint64_t{300'000}));
}

TEST_F(DownloadTest, ARecordSplitAcrossReadsArrivesWhole) {
  // The head and the body's start share one TLS record, which reaches the
  // client in two pieces, the later one with the records behind it.
  std::string body(kBody.size(), '\0');
  for (std::size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<char>(i * 7 + i / 251);
  }
  box_.serve("/desktop/setup.exe", route(body, [](test::Route& r) {
               r.split_delivery = 5'000;
               r.write_delay = 50ms;
             }));
  Outcome outcome = download("/desktop/setup.exe", test::sha256_of(body));
  ASSERT_TRUE(outcome.result.has_value()) << error_text(outcome);
  EXPECT_TRUE(test::read_file(destination()) == body);
}

TEST_F(DownloadTest, AcceptsAnUpperCaseDigestAndReplacesAnOlderFile) {
  std::filesystem::create_directories(destination().parent_path());
  std::ofstream(destination()) << "older";
  std::ofstream(part()) << std::string(500'000, 'y');  // left by an abandoned attempt
  box_.serve("/desktop/setup.exe", route(kBody));
  std::string digest = test::sha256_of(kBody);
  for (char& c : digest)
    c = static_cast<char>(std::toupper(c));
  Outcome outcome = download("/desktop/setup.exe", digest);
  ASSERT_TRUE(outcome.result.has_value()) << error_text(outcome);
  EXPECT_EQ(test::read_file(destination()), kBody);
}

TEST_F(DownloadTest, AnUnannouncedLengthReportsTotalZero) {
  box_.serve("/desktop/setup.exe", route(kBody, [](test::Route& r) { r.chunked = true; }));
  Outcome outcome = download("/desktop/setup.exe", test::sha256_of(kBody));
  ASSERT_TRUE(outcome.result.has_value()) << error_text(outcome);
  for (const auto& [done, total] : outcome.progress) {
    EXPECT_EQ(total, 0u);
  }
  EXPECT_EQ(test::read_file(destination()), kBody);
}

struct FailureCase {
  std::string name;
  test::Route route;
  std::uint64_t limit;
  std::string text;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class DownloadFailureTest : public DownloadTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailureTest, FailsWithItsTextAndLeavesNoFile) {
  box_.serve("/desktop/setup.exe", GetParam().route);
  Outcome outcome = download("/desktop/setup.exe", test::sha256_of(kBody), GetParam().limit);
  EXPECT_EQ(error_text(outcome), GetParam().text);
  EXPECT_FALSE(std::filesystem::exists(destination()));
  EXPECT_FALSE(std::filesystem::exists(part()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadFailureTest,
    testing::Values(
        FailureCase{"AnnouncedOverLimit", route(kBody), 299'999,
                    "/desktop/setup.exe: 300000 bytes, more than 299999"},
        FailureCase{"ReceivedOverLimit", route(kBody, [](test::Route& r) { r.chunked = true; }),
                    299'999, "/desktop/setup.exe: more than 299999 bytes"},
        FailureCase{"CutOff",
                    route(kBody,
                          [](test::Route& r) {
                            r.write_size = 50'000;
                            r.cut_after = 100'000;
                          }),
                    1 << 20, "/desktop/setup.exe: cut off (error reading a body from connection)"},
        FailureCase{"Stalled",
                    route(kBody,
                          [](test::Route& r) {
                            r.write_size = 50'000;
                            r.stall_after = 100'000;
                          }),
                    1 << 20, "/desktop/setup.exe: stalled"},
        FailureCase{"Status", route("nope", [](test::Route& r) { r.status = 404; }), 1 << 20,
                    "/desktop/setup.exe: HTTP 404 Not Found"},
        FailureCase{"WrongDigest", route("something else"), 1 << 20,
                    "sha256 " + test::sha256_of("something else") + ", the manifest says " +
                        test::sha256_of(kBody)}),
    [](const auto& info) { return info.param.name; });

TEST_F(DownloadTest, AFailedRenameKeepsTheCompletePartFile) {
  std::filesystem::create_directories(destination() / "occupied");
  box_.serve("/desktop/setup.exe", route(kBody));
  Outcome outcome = download("/desktop/setup.exe", test::sha256_of(kBody));
  ASSERT_FALSE(outcome.result.has_value());
  ASSERT_TRUE(std::holds_alternative<Disk>(outcome.result.error()));
  EXPECT_TRUE(
      std::get<Disk>(outcome.result.error()).text.starts_with(destination().string() + ": "))
      << error_text(outcome);
  EXPECT_EQ(test::read_file(part()), kBody);
}

TEST(ContentLengthTest, ParsesOnlyPlainDecimal) {
  EXPECT_EQ(parse_content_length("629145600"), 629145600u);
  EXPECT_EQ(parse_content_length("+12"), 12u);
  EXPECT_EQ(parse_content_length("0"), 0u);
  EXPECT_EQ(parse_content_length("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_content_length("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parse_content_length(""), std::nullopt);
  EXPECT_EQ(parse_content_length("+"), std::nullopt);
  EXPECT_EQ(parse_content_length("++1"), std::nullopt);
  EXPECT_EQ(parse_content_length(" 1"), std::nullopt);
  EXPECT_EQ(parse_content_length("-1"), std::nullopt);
  EXPECT_EQ(parse_content_length("1e3"), std::nullopt);
}

}  // namespace
}  // namespace ostrevane
