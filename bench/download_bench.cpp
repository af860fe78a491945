// Measures the streamed download of a large file from a box on loopback.
//
//   download-bench [--size MIB] [--runs R] [--dir DIR]
//       serves a file of MIB MiB from a test box in this process and downloads
//       it R times into DIR (a fresh temporary folder by default).
//   download-bench --serve --ca PEM [--size MIB] [--serve-seconds S]
//       only serves (the file as /desktop/file, an empty body as /desktop/head):
//       writes the test root's PEM to PEM, prints "host", "port", "sha256" and
//       "size" lines, and runs until killed (at most S seconds).
//   download-bench --port P --ca PEM --sha256 HEX [--size MIB] [--runs R] [--dir DIR]
//       downloads from a box started with --serve, so that the figures of this
//       process leave out the box.
//   download-bench ... --read-only
//       in either download form: reads the body and drops it, with nothing
//       hashed or written (the transport's share of a download).
//   download-bench --flush-floor [--size MIB] [--dir DIR]
//       writes MIB MiB to a file in DIR as the download writes it, waits until
//       the system has written all of it back, then times the fsync that is
//       left: the device's flush, which no download can avoid. Prints
//       "write_s", "writeback_s" and "flush_s".
//
// Each run prints "run N: ... MiB/s"; the end prints the median, minimum and
// maximum and "peak_rss_kib", the process's peak resident memory.

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "finder/src/lib/box_flow.hpp"
#include "proxy/src/discover/box_names.hpp"
#include "proxy/src/fetch/download.hpp"
#include "proxy/src/fetch/fetch_error.hpp"
#include "proxy/src/fetch/runtime.hpp"
#include "proxy/src/upstream/tls_config.hpp"
#include "proxy/src/upstream/upstream.hpp"
#include "testsupport/scratch_dir.hpp"
#include "testsupport/test_box.hpp"
#include "testsupport/test_pki.hpp"

namespace ostrevane {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::string_view kRequestPath = "/desktop/file";
constexpr std::string_view kSlug = "cabinet-bench";
constexpr std::string_view kEdition = "lunel";

struct Options {
  std::uint64_t size_mib = 600;
  int runs = 3;
  bool serve = false;
  bool flush_floor = false;
  bool read_only = false;
  int serve_seconds = 1200;
  std::uint16_t port = 0;  // 0: serve from this process
  std::filesystem::path ca;
  std::string sha256;
  std::filesystem::path dir;
};

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "download-bench: %s\n"
               "usage: download-bench [--size MIB] [--runs R] [--dir DIR] [--read-only]\n"
               "       download-bench --serve --ca PEM [--size MIB] [--serve-seconds S]\n"
               "       download-bench --port P --ca PEM --sha256 HEX [--size MIB] [--runs R] "
               "[--dir DIR] [--read-only]\n"
               "       download-bench --flush-floor [--size MIB] [--dir DIR]\n",
               problem.c_str());
  std::exit(2);
}

template <typename T>
T parse_number(std::string_view text, T low, T high, const char* what) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    usage(std::string("bad ") + what + ": " + std::string(text));
  }
  return value;
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--serve") {
      options.serve = true;
      continue;
    }
    if (arg == "--flush-floor") {
      options.flush_floor = true;
      continue;
    }
    if (arg == "--read-only") {
      options.read_only = true;
      continue;
    }
    if (i + 1 >= argc) {
      usage("missing value after " + std::string(arg));
    }
    const std::string_view value = argv[++i];
    if (arg == "--size") {
      options.size_mib = parse_number<std::uint64_t>(value, 1, DOWNLOAD_LIMIT / kMiB, "size");
    } else if (arg == "--runs") {
      options.runs = parse_number<int>(value, 1, 100, "runs");
    } else if (arg == "--serve-seconds") {
      options.serve_seconds = parse_number<int>(value, 1, 24 * 3600, "serve time");
    } else if (arg == "--port") {
      options.port = parse_number<std::uint16_t>(value, 1, 65535, "port");
    } else if (arg == "--ca") {
      options.ca = value;
    } else if (arg == "--sha256") {
      options.sha256 = value;
    } else if (arg == "--dir") {
      options.dir = value;
    } else {
      usage("unknown option " + std::string(arg));
    }
  }
  if (options.serve && options.ca.empty()) {
    usage("--serve needs --ca");
  }
  if (options.port != 0 && (options.ca.empty() || options.sha256.empty())) {
    usage("--port needs --ca and --sha256");
  }
  return options;
}

// The served file: one MiB of pseudo-random bytes, repeated.
class Content {
 public:
  Content() : block_(kMiB) {
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    for (char& c : block_) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      c = static_cast<char>(state >> 56);
    }
  }

  void fill(std::uint64_t offset, std::span<char> out) const {
    while (!out.empty()) {
      const std::size_t at = static_cast<std::size_t>(offset % kMiB);
      const std::size_t n = std::min(out.size(), block_.size() - at);
      std::memcpy(out.data(), block_.data() + at, n);
      out = out.subspan(n);
      offset += n;
    }
  }

  std::string sha256(std::uint64_t size) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    for (std::uint64_t done = 0; done < size; done += kMiB) {
      EVP_DigestUpdate(ctx.get(), block_.data(), std::min(kMiB, size - done));
    }
    std::array<std::uint8_t, 32> digest;
    EVP_DigestFinal_ex(ctx.get(), digest.data(), nullptr);
    return sha256_hex(digest);
  }

 private:
  std::vector<char> block_;
};

// A test box serving the content on 127.0.0.1.
struct ServedFile {
  ServedFile(std::uint64_t size)
      : ca(),
        box(ca.issue_leaf({hosts().app, hosts().api, hosts().supabase, hosts().console})),
        sha256(content.sha256(size)) {
    test::Route route;
    route.generator = [this](std::uint64_t offset, std::span<char> out) {
      content.fill(offset, out);
    };
    route.generated_size = size;
    route.write_size = kMiB;
    box.serve(std::string(kRequestPath), std::move(route));
    // A response of no body: the time to its head is the time to any head.
    box.serve("/desktop/head", test::Route{});
  }

  static BoxHosts hosts() { return *box_host_names(kSlug, kEdition); }

  Content content;
  test::TestCa ca;
  test::TestBox box;
  std::string sha256;
};

std::vector<std::uint8_t> read_ca_der(const std::filesystem::path& pem_path) {
  std::ifstream in(pem_path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string pem = text.str();
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), int(pem.size())),
                                                BIO_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) {
    throw std::runtime_error("no certificate in " + pem_path.string());
  }
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert.get(), &der);
  if (size <= 0) {
    throw std::runtime_error("cannot encode the certificate of " + pem_path.string());
  }
  std::vector<std::uint8_t> bytes(der, der + size);
  OPENSSL_free(der);
  return bytes;
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Serves until SIGINT or SIGTERM, or until the time is up.
int serve(const Options& options) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the box's thread starts

  ServedFile served(options.size_mib * kMiB);
  served.ca.root().write_pem(options.ca);
  std::printf("host %s\nport %u\nsha256 %s\nsize %llu\n", ServedFile::hosts().app.c_str(),
              unsigned{served.box.port()}, served.sha256.c_str(),
              static_cast<unsigned long long>(options.size_mib * kMiB));
  std::fflush(stdout);

  const timespec limit{options.serve_seconds, 0};
  sigtimedwait(&stop, nullptr, &limit);
  return 0;
}

// The folder to write into: the one given, else a fresh temporary one.
struct WorkDir {
  explicit WorkDir(const std::filesystem::path& given) {
    if (given.empty()) {
      scratch.emplace();
    }
    path = given.empty() ? scratch->path() : given;
  }
  std::optional<test::ScratchDir> scratch;
  std::filesystem::path path;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads the body and drops it: the transport's share of a download, with
// nothing hashed or written.
asio::awaitable<std::expected<void, FetchError>> read_and_drop(BoxClient& client,
                                                               std::uint64_t size) {
  auto response = co_await send_box_request(client, std::string(kRequestPath), BoxTarget::App);
  if (!response) {
    co_return std::unexpected(std::move(response.error()));
  }
  std::vector<char> frame(kMiB);
  std::uint64_t received = 0;
  while (true) {
    const BodyRead read = co_await response->read_some(frame);
    if (const auto* data = std::get_if<BodyData>(&read)) {
      received += data->size;
      continue;
    }
    if (std::holds_alternative<BodyEnd>(read) && received == size) {
      co_return std::expected<void, FetchError>{};
    }
    co_return std::unexpected(Message{"the body broke off after " + std::to_string(received)});
  }
}

// Downloads once (or only reads the body); returns the seconds taken, or
// nothing after printing the error.
std::optional<double> run_once(const Options& options, std::uint16_t port,
                               std::span<const std::uint8_t> ca_der, const std::string& sha256,
                               const std::filesystem::path& destination) {
  std::unique_ptr<Runtime> runtime = build_runtime();
  auto tls = build_tls_config(ca_der);
  if (!tls) {
    std::fprintf(stderr, "download-bench: %s\n", tls.error().c_str());
    return std::nullopt;
  }
  BoxClient client(runtime->io.get_executor(),
                   make_upstream_state("127.0.0.1", port, ServedFile::hosts(), *tls));

  const Clock::time_point start = Clock::now();
  auto done =
      asio::co_spawn(runtime->io,
                     options.read_only ? read_and_drop(client, options.size_mib * kMiB)
                                       : download_file(
                                             client, std::string(kRequestPath), destination, sha256,
                                             [](std::uint64_t, std::uint64_t) {}, DOWNLOAD_LIMIT,
                                             BoxTarget::App, runtime->blocking.get_executor()),
                     asio::use_future);
  // Until the download is done: the pooled connection's idle timer would keep
  // the context running for its 30 s.
  while (done.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
         runtime->io.run_one() != 0) {
  }
  const std::expected<void, FetchError> result = done.get();
  const double seconds = seconds_since(start);
  if (!result) {
    std::fprintf(stderr, "download-bench: %s\n", fetch_error_display(result.error()).c_str());
    return std::nullopt;
  }
  return seconds;
}

// The part of the final sync that remains when every page has already been
// written back: what the storage device takes to make the file durable.
int flush_floor(const Options& options) {
  const WorkDir dir(options.dir);
  const std::filesystem::path path = dir.path / "flush-floor.bin";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror("download-bench: open");
    return 1;
  }
  constexpr std::size_t kPiece = 256 << 10;
  std::vector<char> piece(kPiece);
  Content().fill(0, piece);
  const std::uint64_t size = options.size_mib * kMiB;
  const Clock::time_point start = Clock::now();
  for (std::uint64_t offset = 0; offset < size; offset += kPiece) {
    if (::write(fd, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
      std::perror("download-bench: write");
      return 1;
    }
    ::sync_file_range(fd, static_cast<off_t>(offset), kPiece, SYNC_FILE_RANGE_WRITE);
  }
  const double write_s = seconds_since(start);
  const Clock::time_point writeback = Clock::now();
  ::sync_file_range(
      fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  const double writeback_s = seconds_since(writeback);
  const Clock::time_point flush = Clock::now();
  if (::fsync(fd) != 0) {
    std::perror("download-bench: fsync");
    return 1;
  }
  const double flush_s = seconds_since(flush);
  ::close(fd);
  std::filesystem::remove(path);
  std::printf("write_s %.3f\nwriteback_s %.3f\nflush_s %.3f\n", write_s, writeback_s, flush_s);
  return 0;
}

int download(const Options& options) {
  std::optional<ServedFile> served;
  std::uint16_t port = options.port;
  std::vector<std::uint8_t> ca_der;
  std::string sha256 = options.sha256;
  if (port == 0) {
    served.emplace(options.size_mib * kMiB);
    port = served->box.port();
    ca_der = served->ca.root().der();
    sha256 = served->sha256;
  } else {
    ca_der = read_ca_der(options.ca);
  }

  const WorkDir dir(options.dir);
  const std::filesystem::path destination = dir.path / "download-bench.bin";

  std::vector<double> rates;
  for (int run = 1; run <= options.runs; ++run) {
    std::filesystem::remove(destination);
    const std::optional<double> seconds = run_once(options, port, ca_der, sha256, destination);
    if (!seconds) {
      return 1;
    }
    const double rate = static_cast<double>(options.size_mib) / *seconds;
    rates.push_back(rate);
    std::printf("run %d: %llu MiB in %.3f s, %.1f MiB/s\n", run,
                static_cast<unsigned long long>(options.size_mib), *seconds, rate);
    std::fflush(stdout);
    std::filesystem::remove(destination);
  }

  std::sort(rates.begin(), rates.end());
  const std::size_t n = rates.size();
  const double median = n % 2 == 1 ? rates[n / 2] : (rates[n / 2 - 1] + rates[n / 2]) / 2;
  std::printf("MiB/s median %.1f min %.1f max %.1f\n", median, rates.front(), rates.back());
  std::printf("peak_rss_kib %ld%s\n", peak_rss_kib(),
              served ? " (the box runs in this process)" : "");
  return 0;
}

}  // namespace
}  // namespace ostrevane

int main(int argc, char** argv) {
  try {
    const ostrevane::Options options = ostrevane::parse_options(argc, argv);
    if (options.flush_floor) {
      return ostrevane::flush_floor(options);
    }
    return options.serve ? ostrevane::serve(options) : ostrevane::download(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "download-bench: %s\n", e.what());
    return 1;
  }
}
