// Bodies of many TLS records: one body read gathers what has already arrived,
// and the download hashes and writes each frame before it reads the next.

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>

#include <boost/asio/thread_pool.hpp>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "proxy/src/fetch/box_client.hpp"
#include "proxy/src/fetch/download.hpp"
#include "proxy/tests/box_fixture.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPath = "/desktop/setup.exe";

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 131 + i / 7919) & 0xff);
  }
  return bytes;
}

std::string digest_of(std::string_view data) {
  std::array<std::uint8_t, 32> digest;
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
  return sha256_hex(digest);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class BodyFramesTest : public BoxFixture {
 protected:
  BoxClient& client() {
    if (!client_) {
      client_.emplace(io_.get_executor(), state_, BoxClientTimeouts{2s, 300ms, 30s});
    }
    return *client_;
  }

  // Reads the body of `big`, runs `between`, then reads a small body, both
  // whole and over one connection.
  void read_twice_on_one_connection(
      const test::Route& big, const std::function<void()>& between = [] {});

  std::optional<BoxClient> client_;
};

// What the reads of one body gave: the bytes, then the read that ended them.
struct BodyReads {
  std::string bytes;
  std::string end;  // "end", "stalled" or "error: ..."
  std::string after_end;
};

std::string describe(const BodyRead& read) {
  if (std::holds_alternative<BodyEnd>(read)) {
    return "end";
  }
  if (std::holds_alternative<BodyStalled>(read)) {
    return "stalled";
  }
  if (const auto* error = std::get_if<BodyError>(&read)) {
    return "error: " + error->text;
  }
  return "data";
}

boost::asio::awaitable<BodyReads> read_body(BoxClient& client, std::string path) {
  BodyReads reads;
  auto response = co_await send_box_request(client, path, BoxTarget::App);
  if (!response) {
    reads.end = "request: " + fetch_error_display(response.error());
    co_return reads;
  }
  std::vector<char> frame(1 << 20);
  while (true) {
    const BodyRead read = co_await response->read_some(std::span<char>(frame));
    if (const auto* data = std::get_if<BodyData>(&read)) {
      reads.bytes.append(frame.data(), data->size);
      continue;
    }
    reads.end = describe(read);
    reads.after_end = describe(co_await response->read_some(std::span<char>(frame)));
    co_return reads;
  }
}

void BodyFramesTest::read_twice_on_one_connection(const test::Route& big,
                                                  const std::function<void()>& between) {
  box_->serve(kPath, big);
  test::Route small;
  small.body = "after";
  box_->serve("/after", small);
  const BodyReads first = run(read_body(client(), kPath));
  EXPECT_EQ(first.end, "end");
  EXPECT_TRUE(first.bytes == big.body);
  between();
  const BodyReads second = run(read_body(client(), "/after"));
  EXPECT_EQ(second.end, "end");
  EXPECT_EQ(second.bytes, "after");
  EXPECT_EQ(box_->tcp_accepts(), 1u);
}

constexpr const char* kBodyError = "error: error reading a body from connection";

// How a box stops after 300,000 bytes of a body of 600,000.
enum class Failure : std::uint8_t { Stall, Close, CloseNotify, Garbage, Reset };

// How the body's end is told: its announced length, its last chunk, or the
// end of the connection.
enum class Framing : std::uint8_t { Announced, Chunked, ToTheEnd };

struct BrokenBodyCase {
  std::string name;
  Failure failure;
  Framing framing;
  std::string end;
  std::string after_end = kBodyError;
};

class BrokenBodyTest : public BodyFramesTest, public testing::WithParamInterface<BrokenBodyCase> {};

// The box sends 300,000 bytes in one go and then stops: every one of them
// reaches the caller before the stop does, however they were gathered. Only
// a TLS close ends a body that runs to the connection's end; every other stop
// fails the body, and the response stays failed. A reset loses what the box
// had not sent yet, so only a beginning of the bytes may arrive.
TEST_P(BrokenBodyTest, BytesBeforeTheStopAllArriveFirst) {
  start();
  test::Route route;
  route.body = pattern(600'000);
  route.write_size = 300'000;
  route.chunked = GetParam().framing == Framing::Chunked;
  if (GetParam().framing == Framing::ToTheEnd) {
    route.content_length = "";
  }
  switch (GetParam().failure) {
    case Failure::Stall:
      route.stall_after = 300'000;
      break;
    case Failure::Close:
      route.cut_after = 300'000;
      break;
    case Failure::CloseNotify:
      route.cut_after = 300'000;
      route.cut_kind = test::CutKind::CloseNotify;
      break;
    case Failure::Garbage:
      route.cut_after = 300'000;
      route.cut_kind = test::CutKind::Garbage;
      break;
    case Failure::Reset:
      route.cut_after = 300'000;
      route.cut_kind = test::CutKind::Reset;
      break;
  }
  box_->serve(kPath, route);
  const BodyReads reads = run(read_body(client(), kPath));
  if (GetParam().failure == Failure::Reset) {
    EXPECT_LE(reads.bytes.size(), 300'000u);
  } else {
    EXPECT_EQ(reads.bytes.size(), 300'000u);
  }
  EXPECT_TRUE(reads.bytes == pattern(reads.bytes.size()));
  EXPECT_EQ(reads.end, GetParam().end);
  EXPECT_EQ(reads.after_end, GetParam().after_end);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenBodyTest,
    testing::Values(
        BrokenBodyCase{"Stall", Failure::Stall, Framing::Announced, "stalled"},
        BrokenBodyCase{"Close", Failure::Close, Framing::Announced, kBodyError},
        BrokenBodyCase{"CloseNotify", Failure::CloseNotify, Framing::Announced, kBodyError},
        BrokenBodyCase{"Garbage", Failure::Garbage, Framing::Announced, kBodyError},
        BrokenBodyCase{"Reset", Failure::Reset, Framing::Announced, kBodyError},
        BrokenBodyCase{"ChunkedStall", Failure::Stall, Framing::Chunked, "stalled"},
        BrokenBodyCase{"ChunkedClose", Failure::Close, Framing::Chunked, kBodyError},
        BrokenBodyCase{"ChunkedCloseNotify", Failure::CloseNotify, Framing::Chunked, kBodyError},
        BrokenBodyCase{"ChunkedGarbage", Failure::Garbage, Framing::Chunked, kBodyError},
        BrokenBodyCase{"ChunkedReset", Failure::Reset, Framing::Chunked, kBodyError},
        BrokenBodyCase{"ToTheEndClose", Failure::Close, Framing::ToTheEnd, kBodyError},
        BrokenBodyCase{"ToTheEndCloseNotify", Failure::CloseNotify, Framing::ToTheEnd, "end",
                       "end"}),
    [](const auto& info) { return info.param.name; });

class KeyUpdateTest : public BodyFramesTest, public testing::WithParamInterface<bool> {};

// The box asks for a key update in the middle of a body: the answer reaches
// the box while the connection lies idle, before any further request, and
// the connection then carries the next exchange under the new keys.
TEST_P(KeyUpdateTest, IsAnsweredAtOnce) {
  start();
  test::Route route;
  route.body = pattern(3 * 1024 * 1024);
  route.chunked = GetParam();
  route.key_update_after = 1024 * 1024 + 3;
  read_twice_on_one_connection(route, [this] { EXPECT_TRUE(box_->wait_for_key_updates(1, 2s)); });
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyUpdateTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Chunked" : "Announced"; });

class TlsVersionTest : public BodyFramesTest, public testing::WithParamInterface<int> {};

TEST_P(TlsVersionTest, TheConnectionServesAgainAfterALargeBody) {
  start(ca_.issue_leaf(all_names(hosts_)),
        {.tls_min_version = GetParam(), .tls_max_version = GetParam()});
  test::Route big;
  big.body = pattern(5 * 1024 * 1024 + 3);
  read_twice_on_one_connection(big);
}

INSTANTIATE_TEST_SUITE_P(Cases, TlsVersionTest, testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const auto& info) {
                           return info.param == TLS1_2_VERSION ? "Tls12" : "Tls13";
                         });

struct LargeDownloadCase {
  std::string name;
  bool chunked;
  std::size_t write_size;
  std::chrono::milliseconds write_delay;
};

class LargeDownloadTest : public BodyFramesTest,
                          public testing::WithParamInterface<LargeDownloadCase> {
 protected:
  std::expected<void, FetchError> download(const std::string& digest, std::uint64_t total,
                                           DownloadSteps steps = {},
                                           std::function<void()> on_progress = {}) {
    boost::asio::thread_pool pool(2);
    auto result = run(download_file(
        client(), kPath, destination(), digest,
        [this, on_progress](std::uint64_t done, std::uint64_t announced) {
          progress_.emplace_back(done, announced);
          if (on_progress) {
            on_progress();
          }
        },
        total, BoxTarget::App, pool.get_executor(), std::move(steps)));
    pool.join();
    return result;
  }

  std::filesystem::path destination() const { return dir_.path() / "setup.exe"; }

  test::ScratchDir dir_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress_;
};

// Bodies of several frames, in large and in small pieces: the file and its
// digest come out whole and in order.
TEST_P(LargeDownloadTest, EveryFrameIsHashedAndWrittenInOrder) {
  const std::string body = pattern(16 * 1024 * 1024 + 1001);
  start();
  test::Route route;
  route.body = body;
  route.chunked = GetParam().chunked;
  route.write_size = GetParam().write_size;
  route.write_delay = GetParam().write_delay;
  box_->serve(kPath, route);
  const auto result = download(digest_of(body), body.size());
  ASSERT_TRUE(result.has_value()) << fetch_error_display(result.error());
  EXPECT_TRUE(read_file(destination()) == body);
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(progress_.back().first, body.size());
  for (std::size_t i = 1; i < progress_.size(); ++i) {
    EXPECT_GT(progress_[i].first, progress_[i - 1].first);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LargeDownloadTest,
                         testing::Values(LargeDownloadCase{"Announced", false, 1 << 20, 0ms},
                                         LargeDownloadCase{"Chunked", true, 100'000, 0ms},
                                         LargeDownloadCase{"Trickled", false, 100'000, 1ms}),
                         [](const auto& info) { return info.param.name; });

// The steps of a download as they happen: R a read begins, H a frame is
// hashed, W its write has returned, P progress. The first writes are held
// back for a while, or until another read begins, so that a read that does
// not wait for the frame before it shows as an R before that frame's W.
class StepLog {
 public:
  DownloadSteps steps() {
    return DownloadSteps{[this] { record('R'); }, [this] { record('H'); },
                         [this] {
                           std::unique_lock lock(mutex_);
                           ++writes_;
                           if (writes_ <= kHeldWrites) {
                             changed_.wait_for(lock, 100ms, [this] { return reads_ > writes_; });
                           }
                           log_ += 'W';
                         }};
  }
  void progress() { record('P'); }
  std::string log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  static constexpr int kHeldWrites = 3;

  void record(char step) {
    {
      std::lock_guard lock(mutex_);
      log_ += step;
      reads_ += step == 'R';
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string log_;
  int reads_ = 0;
  int writes_ = 0;
};

// Each frame is hashed and written, and its progress told, before the next
// read begins; the box has sent everything long before.
TEST_F(LargeDownloadTest, TheNextReadWaitsForTheFrameBeforeIt) {
  const std::string body = pattern(5 * 1024 * 1024 + 17);
  start();
  test::Route route;
  route.body = body;
  route.write_size = 1 << 20;
  box_->serve(kPath, route);
  StepLog steps;
  const auto result =
      download(digest_of(body), body.size(), steps.steps(), [&steps] { steps.progress(); });
  ASSERT_TRUE(result.has_value()) << fetch_error_display(result.error());
  const std::string log = steps.log();
  EXPECT_TRUE(std::regex_match(log, std::regex("P(R(HW|WH)P){6,}R"))) << log;
  EXPECT_TRUE(read_file(destination()) == body);
}

TEST_F(LargeDownloadTest, ACutAfterSeveralFramesRemovesThePartFile) {
  const std::string body = pattern(3 * 1024 * 1024);
  start();
  test::Route route;
  route.body = body;
  route.cut_after = 2 * 1024 * 1024 + 5;
  box_->serve(kPath, route);
  const auto result = download(digest_of(body), body.size());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(fetch_error_display(result.error()),
            std::string(kPath) + ": cut off (error reading a body from connection)");
  EXPECT_FALSE(std::filesystem::exists(destination().string() + ".part"));
  EXPECT_FALSE(std::filesystem::exists(destination()));
}

}  // namespace
}  // namespace ostrevane
