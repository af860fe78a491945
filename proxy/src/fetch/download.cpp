#include "proxy/src/fetch/download.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <memory>
#include <vector>

#include "platform/os_error.hpp"
#include "platform/output_file.hpp"
#include "platform/path_text.hpp"

namespace ostrevane {
namespace asio = boost::asio;

namespace {

// Large frames keep the per-read cost low. A frame's hash runs beside its
// write, and the next read waits for both.
constexpr std::size_t kFrameSize = 1 << 20;
constexpr std::size_t kWritePiece = 256 << 10;

constexpr std::string_view kBackgroundFailed = "background task failed";

using Expected = std::expected<void, FetchError>;

Disk disk(std::error_code error) {
  return Disk{platform::error_code_text(error)};
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

using PoolResult = std::expected<std::error_code, std::string>;

// Writes `data` in pieces: single writes of a MiB or more into the page cache
// are at times several times slower than the same bytes in pieces of this size.
std::error_code write_in_pieces(platform::OutputFile& file, std::span<const char> data) {
  while (!data.empty()) {
    const std::span<const char> piece = data.first(std::min(data.size(), kWritePiece));
    if (const std::error_code error = file.write_all(piece)) {
      return error;
    }
    data = data.subspan(piece.size());
  }
  return {};
}

// The part file and the frame buffer, with the one operation of the blocking
// pool on them that may be in flight. The pool's task shares them, so that a
// download abandoned meanwhile cannot free them under it.
class PartFile {
 public:
  PartFile(asio::any_io_executor home, asio::thread_pool::executor_type pool,
           std::function<void()> written)
      : pool_(pool), state_(std::make_shared<State>(std::move(home), std::move(written))) {}

  // Returns the buffer to read the next frame into.
  std::span<char> frame() { return std::span<char>(state_->frame); }

  // Creates (or empties) the file at `path`.
  asio::awaitable<PoolResult> create(std::filesystem::path path) {
    start([path = std::move(path)](State& state) -> std::error_code {
      auto opened = platform::OutputFile::create(path);
      if (!opened) {
        return opened.error();
      }
      state.file.emplace(std::move(*opened));
      return {};
    });
    return wait();
  }

  // Starts writing the first `size` bytes of frame(); wait() for it before
  // the frame is read into again.
  void start_write(std::size_t size) {
    start([size](State& state) -> std::error_code {
      const std::error_code error =
          write_in_pieces(*state.file, std::span<const char>(state.frame.data(), size));
      if (state.written) {
        state.written();
      }
      return error;
    });
  }

  // Waits for the operation started last.
  asio::awaitable<PoolResult> wait() {
    auto [error, result] = co_await state_->done.async_receive(asio::as_tuple(asio::use_awaitable));
    if (error) {
      co_return std::unexpected(std::string(kBackgroundFailed));
    }
    co_return result;
  }

  // Flushes the file, syncs it to the storage device and closes it.
  asio::awaitable<PoolResult> finish() {
    start([](State& state) -> std::error_code {
      if (auto error = state.file->flush()) {
        return error;
      }
      if (auto error = state.file->sync()) {
        return error;
      }
      return state.file->close();
    });
    return wait();
  }

 private:
  struct State {
    State(asio::any_io_executor home, std::function<void()> written)
        : written(std::move(written)), done(std::move(home), 1) {}
    std::optional<platform::OutputFile> file;
    std::vector<char> frame = std::vector<char>(kFrameSize);
    std::function<void()> written;
    asio::experimental::concurrent_channel<void(boost::system::error_code, PoolResult)> done;
  };

  // Runs `f` on the pool; its result, or "background task failed" when it
  // throws, is what wait() gives.
  template <typename F>
  void start(F f) {
    asio::post(pool_, [state = state_, f = std::move(f)]() mutable {
      PoolResult result;
      try {
        result = f(*state);
      } catch (...) {
        result = std::unexpected(std::string(kBackgroundFailed));
      }
      state->done.try_send(boost::system::error_code{}, std::move(result));
    });
  }

  asio::thread_pool::executor_type pool_;
  std::shared_ptr<State> state_;
};

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// Returns a started SHA-256, or null when there is none.
Digest start_sha256() {
  Digest sha(EVP_MD_CTX_new());
  if (sha && EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1) {
    sha.reset();
  }
  return sha;
}

std::string finish_sha256(EVP_MD_CTX* sha) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int digest_size = 0;
  EVP_DigestFinal_ex(sha, digest.data(), &digest_size);
  return sha256_hex(digest);
}

// The error of a pool operation, if it failed.
std::optional<FetchError> pool_failure(const PoolResult& result) {
  if (!result) {
    return Disk{result.error()};
  }
  if (*result) {
    return disk(*result);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> parse_content_length(std::string_view value) {
  for (char c : value) {
    if (c != '\t' && (c < 0x20 || c > 0x7e)) {
      return std::nullopt;
    }
  }
  if (value.starts_with('+')) {
    value.remove_prefix(1);
  }
  if (value.empty()) {
    return std::nullopt;
  }
  std::uint64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) {
      return std::nullopt;
    }
    n = n * 10 + digit;
  }
  return n;
}

std::filesystem::path part_path_for(const std::filesystem::path& destination) {
  std::filesystem::path part = destination;
  part += ".part";
  return part;
}

namespace {

// Steps from the file's creation to the digest check; the caller removes the
// part file when this fails.
asio::awaitable<Expected> stream_to_part(
    BoxResponse& response, const std::string& request_path, const std::filesystem::path& part_path,
    const std::string& expected_digest,
    const std::function<void(std::uint64_t, std::uint64_t)>& progress, std::uint64_t limit,
    std::uint64_t total, asio::thread_pool::executor_type blocking, const DownloadSteps& steps) {
  std::error_code folder_error;
  std::filesystem::create_directories(part_path.parent_path(), folder_error);
  if (folder_error) {
    co_return std::unexpected(disk(folder_error));
  }

  PartFile file(co_await asio::this_coro::executor, blocking, steps.written);
  if (auto failure = pool_failure(co_await file.create(part_path))) {
    co_return std::unexpected(std::move(*failure));
  }

  const Digest sha = start_sha256();
  if (!sha) {
    co_return std::unexpected(Disk{"no SHA-256"});
  }
  std::uint64_t received = 0;
  progress(0, total);

  for (;;) {
    const std::span<char> frame = file.frame();
    if (steps.reading) {
      steps.reading();
    }
    BodyRead read = co_await response.read_some(frame);
    if (std::holds_alternative<BodyStalled>(read)) {
      co_return std::unexpected(Message{request_path + ": stalled"});
    }
    if (const auto* error = std::get_if<BodyError>(&read)) {
      co_return std::unexpected(Message{request_path + ": cut off (" + error->text + ")"});
    }
    if (std::holds_alternative<BodyEnd>(read)) {
      break;
    }
    const std::size_t size = std::get<BodyData>(read).size;
    received += size;
    if (received > limit) {
      co_return std::unexpected(
          Message{request_path + ": more than " + std::to_string(limit) + " bytes"});
    }
    // The frame is hashed here while the pool writes it; the next read waits for both.
    file.start_write(size);
    EVP_DigestUpdate(sha.get(), frame.data(), size);
    if (steps.hashed) {
      steps.hashed();
    }
    if (auto failure = pool_failure(co_await file.wait())) {
      co_return std::unexpected(std::move(*failure));
    }
    progress(received, total);
  }

  if (total != 0 && received != total) {
    co_return std::unexpected(Message{request_path + ": cut off at " + std::to_string(received) +
                                      " of " + std::to_string(total) + " bytes"});
  }

  if (auto failure = pool_failure(co_await file.finish())) {
    co_return std::unexpected(std::move(*failure));
  }

  std::string computed = finish_sha256(sha.get());
  if (!equal_ignoring_ascii_case(computed, expected_digest)) {
    co_return std::unexpected(DigestMismatch{std::move(computed), expected_digest});
  }
  co_return Expected{};
}

asio::awaitable<Expected> request_and_stream(
    BoxClient& client, const std::string& request_path, BoxTarget target,
    const std::filesystem::path& part_path, const std::string& expected_digest,
    const std::function<void(std::uint64_t, std::uint64_t)>& progress, std::uint64_t limit,
    asio::thread_pool::executor_type blocking, const DownloadSteps& steps) {
  auto response = co_await send_box_request(client, request_path, target);
  if (!response) {
    co_return std::unexpected(std::move(response.error()));
  }
  std::uint64_t total = 0;
  if (auto field = response->header("content-length")) {
    total = parse_content_length(*field).value_or(0);
  }
  if (total > limit) {
    co_return std::unexpected(Message{request_path + ": " + std::to_string(total) +
                                      " bytes, more than " + std::to_string(limit)});
  }
  co_return co_await stream_to_part(*response, request_path, part_path, expected_digest, progress,
                                    limit, total, blocking, steps);
}

}  // namespace

asio::awaitable<Expected> download_file(BoxClient& client, std::string request_path,
                                        std::filesystem::path destination,
                                        std::string expected_digest,
                                        std::function<void(std::uint64_t, std::uint64_t)> progress,
                                        std::uint64_t limit, BoxTarget target,
                                        asio::thread_pool::executor_type blocking,
                                        DownloadSteps steps) {
  const std::filesystem::path part_path = part_path_for(destination);

  Expected streamed = co_await request_and_stream(
      client, request_path, target, part_path, expected_digest, progress, limit, blocking, steps);
  if (!streamed) {
    // Whatever a failed download leaves, or an abandoned one left, goes.
    std::error_code ignored;
    std::filesystem::remove(part_path, ignored);
    co_return streamed;
  }

  if (const std::error_code renamed = platform::replace_file(part_path, destination)) {
    co_return std::unexpected(
        Disk{platform::path_display(destination) + ": " + platform::error_code_text(renamed)});
  }
  co_return Expected{};
}

}  // namespace ostrevane
