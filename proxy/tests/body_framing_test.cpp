// What a box sends around a chunked body's bytes (chunk-size lines with their
// extensions, the trailer) is held to a small bound whatever it sends, and a
// framing the HTTP library cannot take fails the body like any other error.

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <ostream>
#include <string>
#include <tuple>

#include "proxy/src/fetch/box_client.hpp"
#include "proxy/src/fetch/download.hpp"
#include "proxy/src/fetch/fetch.hpp"
#include "proxy/tests/box_fixture.hpp"
#include "testsupport/files.hpp"
#include "testsupport/peak_memory.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane {
namespace {

using namespace std::chrono_literals;

constexpr const char* kManifest = "/desktop/manifest.json";
constexpr std::uint64_t kManifestLimit = 262'144;
constexpr const char* kSetup = "/desktop/setup.exe";
constexpr const char* kWarmUp = "/desktop/warm-up";
// An endless framing stops here, so that a client that never gives up still ends.
constexpr std::uint64_t kEndless = 64 << 20;
// Far below what unbounded framing takes (more than kEndless), far above noise.
constexpr std::uint64_t kMemoryMargin = 16 << 20;

struct FramingCase {
  std::string name;
  std::string framed;         // the chunked body as sent, framing included
  std::string repeated = "";  // then this, again and again, up to kEndless bytes in all
  bool fails = false;         // the body read fails, else it gives `body`
  std::string body = "";
  std::size_t write_size = 256 * 1024;
  std::chrono::milliseconds write_delay{0};
};

// The row's name alone: its bytes may run to a MiB.
void PrintTo(const FramingCase& row, std::ostream* out) {
  *out << row.name;
}

std::string one_byte_chunks(std::size_t count) {
  std::string framed;
  for (std::size_t i = 0; i < count; ++i) {
    framed += "1\r\n";
    framed += static_cast<char>('a' + i % 26);
    framed += "\r\n";
  }
  return framed + "0\r\n\r\n";
}

std::string letters(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += static_cast<char>('a' + i % 26);
  }
  return text;
}

test::Route framing_route(const FramingCase& row) {
  test::Route route;
  route.chunked = true;
  route.raw_chunks = true;
  route.write_size = row.write_size;
  route.write_delay = row.write_delay;
  if (row.repeated.empty()) {
    route.body = row.framed;
    return route;
  }
  route.generated_size = kEndless;
  route.generator = [framed = row.framed, repeated = row.repeated](std::uint64_t offset,
                                                                   std::span<char> out) {
    for (char& byte : out) {
      byte = offset < framed.size() ? framed[offset]
                                    : repeated[(offset - framed.size()) % repeated.size()];
      ++offset;
    }
  };
  return route;
}

enum class Reader : std::uint8_t { Fetch, Download };

void PrintTo(Reader reader, std::ostream* out) {
  *out << (reader == Reader::Fetch ? "Fetch" : "Download");
}

class BodyFramingTest : public BoxFixture,
                        public testing::WithParamInterface<std::tuple<FramingCase, Reader>> {
 protected:
  BoxClient& client() {
    if (!client_) {
      // One read's deadline is long enough for a client without a bound to
      // take in a whole endless framing before it stalls, even under Wine.
      client_.emplace(io_.get_executor(), state_, BoxClientTimeouts{2s, 5s, 30s});
    }
    return *client_;
  }

  // Reads the body at `path` with `reader`; returns the error's text, or
  // "body: " and the body. The download takes the digest of `expected`.
  std::string read(Reader reader, const std::string& path, const std::string& expected) {
    if (reader == Reader::Fetch) {
      const auto body = run(fetch_from_box(client(), path, kManifestLimit, BoxTarget::App));
      return body ? "body: " + *body : fetch_error_display(body.error());
    }
    const std::filesystem::path destination = dir_.path() / std::filesystem::path(path).filename();
    const auto done = run(download_file(
        client(), path, destination, test::sha256_of(expected), [](std::uint64_t, std::uint64_t) {},
        1 << 30, BoxTarget::App, blocking_.get_executor()));
    return done ? "body: " + test::read_file(destination) : fetch_error_display(done.error());
  }

  std::optional<BoxClient> client_;
  test::ScratchDir dir_;
  boost::asio::thread_pool blocking_{1};
};

TEST_P(BodyFramingTest, FramingIsBoundedAndItsFaultsAreBodyErrors) {
  const auto& [row, reader] = GetParam();
  const std::string path = reader == Reader::Fetch ? kManifest : kSetup;
  start();
  box_->serve(path, framing_route(row));
  test::Route warm_up;
  warm_up.body = "warm";
  box_->serve(kWarmUp, warm_up);
  // A first body sets up what every exchange shares (the TLS library's state,
  // the allocator's pools), so that the peak that follows is the row's own.
  ASSERT_EQ(read(reader, kWarmUp, "warm"), "body: warm");
  const test::PeakGrowth growth;

  const std::string outcome = read(reader, path, row.body);
  if (row.fails) {
    EXPECT_EQ(outcome, reader == Reader::Fetch
                           ? path + ": error reading a body from connection"
                           : path + ": cut off (error reading a body from connection)");
  } else {
    // Not the whole text: a long body would drown the report.
    EXPECT_TRUE(outcome == "body: " + row.body) << outcome.substr(0, 200);
  }
  EXPECT_LT(growth.bytes(), kMemoryMargin);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BodyFramingTest,
    testing::Combine(
        testing::Values(
            FramingCase{
                .name = "EndlessChunkExtension", .framed = "1;x=", .repeated = "a", .fails = true},
            // A body byte first: the trailer after it is held to the bound too.
            FramingCase{.name = "EndlessTrailer",
                        .framed = "1\r\nX\r\n0\r\n",
                        .repeated = "x-pad: " + std::string(55, 'p') + "\r\n",
                        .fails = true},
            FramingCase{.name = "ChunkSizeOfAMiBOfLeadingZeros",
                        .framed = std::string(1 << 20, '0') + "1\r\nX\r\n0\r\n\r\n",
                        .fails = true},
            // Too large for the HTTP library's header container.
            FramingCase{.name = "TrailerFieldNameOf65534Bytes",
                        .framed = "0\r\n" + std::string(65'534, 'n') + ": v\r\n\r\n",
                        .fails = true},
            FramingCase{.name = "TrailerFieldValueOf65534Bytes",
                        .framed = "0\r\nx-long: " + std::string(65'534, 'v') + "\r\n\r\n",
                        .fails = true},
            // The last chunk's line arrives alone, the line break that ends
            // the body in a later record.
            FramingCase{.name = "EmptyBodyWithItsLastLineBreakLater",
                        .framed = "0\r\n\r\n",
                        .write_size = 3,
                        .write_delay = 50ms},
            FramingCase{.name = "HundredThousandOneByteChunks",
                        .framed = one_byte_chunks(100'000),
                        .body = letters(100'000)},
            FramingCase{.name = "SmallExtensionsAndTrailer",
                        .framed = "5;name=value;flag\r\nhello\r\n6;q=\"a b\"\r\n world\r\n"
                                  "0;last\r\nX-Check: done\r\nX-Other: 1\r\n\r\n",
                        .body = "hello world"}),
        testing::Values(Reader::Fetch, Reader::Download)),
    [](const auto& info) {
      return std::get<0>(info.param).name + testing::PrintToString(std::get<1>(info.param));
    });

}  // namespace
}  // namespace ostrevane
