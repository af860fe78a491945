#include "proxy/src/fetch/download.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/post.hpp>
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

// Runs `f` on the blocking pool and completes on the caller's executor with
// its error code; an exception in `f` reads as "background task failed".
template <typename F>
struct RunOnPool {
  asio::thread_pool::executor_type pool;
  F f;

  template <typename Handler>
  void operator()(Handler handler) {
    auto home = asio::get_associated_executor(handler);
    asio::post(
        pool, [f = std::move(f), home = std::move(home), handler = std::move(handler)]() mutable {
          PoolResult result;
          try {
            result = f();
          } catch (...) {
            result = std::unexpected(std::string(kBackgroundFailed));
          }
          asio::post(home, [handler = std::move(handler), result = std::move(result)]() mutable {
            std::move(handler)(std::move(result));
          });
        });
  }
};

template <typename F>
asio::awaitable<PoolResult> on_pool(asio::thread_pool::executor_type pool, F f) {
  return asio::async_initiate<const asio::use_awaitable_t<>&, void(PoolResult)>(
      RunOnPool<F>{pool, std::move(f)}, asio::use_awaitable);
}

struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

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

// The SHA-256 of a download, fed on the blocking pool one frame at a time, in
// order, while the same frame is being written. The pool's task shares the
// state and the frame's buffer, so a download abandoned meanwhile cannot free
// them under the task.
class FrameHasher {
 public:
  FrameHasher(asio::any_io_executor home, asio::thread_pool::executor_type pool)
      : pool_(pool), state_(std::make_shared<State>(std::move(home))) {}

  // Returns false when SHA-256 cannot be started.
  bool start() {
    return state_->sha && EVP_DigestInit_ex(state_->sha.get(), EVP_sha256(), nullptr) == 1;
  }

  // Returns the buffer to read the next frame into.
  std::span<char> frame() { return std::span<char>(state_->frame); }

  // Starts hashing the first `size` bytes of frame(); the hashing started
  // before must have been waited for.
  void hash(std::size_t size) {
    pending_ = true;
    const std::span<const char> data(state_->frame.data(), size);
    asio::post(pool_, [state = state_, data] {
      EVP_DigestUpdate(state->sha.get(), data.data(), data.size());
      state->done.try_send(boost::system::error_code{});
    });
  }

  // Waits until the hashing started last, if any, has finished.
  asio::awaitable<void> wait() {
    if (!pending_) {
      co_return;
    }
    pending_ = false;
    co_await state_->done.async_receive(asio::as_tuple(asio::use_awaitable));
  }

  // Returns the digest text of every byte hashed; call once, after wait().
  std::string finish() {
    std::array<std::uint8_t, 32> digest{};
    unsigned int digest_size = 0;
    EVP_DigestFinal_ex(state_->sha.get(), digest.data(), &digest_size);
    return sha256_hex(digest);
  }

 private:
  struct State {
    explicit State(asio::any_io_executor home) : done(std::move(home), 1) {}
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> sha{EVP_MD_CTX_new()};
    std::vector<char> frame = std::vector<char>(kFrameSize);
    asio::experimental::concurrent_channel<void(boost::system::error_code)> done;
  };

  asio::thread_pool::executor_type pool_;
  std::shared_ptr<State> state_;
  bool pending_ = false;
};

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
    std::uint64_t total, asio::thread_pool::executor_type blocking) {
  std::error_code folder_error;
  std::filesystem::create_directories(part_path.parent_path(), folder_error);
  if (folder_error) {
    co_return std::unexpected(disk(folder_error));
  }

  std::optional<platform::OutputFile> file;
  auto created = co_await on_pool(blocking, [&file, &part_path]() -> std::error_code {
    auto opened = platform::OutputFile::create(part_path);
    if (!opened) {
      return opened.error();
    }
    file.emplace(std::move(*opened));
    return {};
  });
  if (!created) {
    co_return std::unexpected(Disk{created.error()});
  }
  if (*created) {
    co_return std::unexpected(disk(*created));
  }

  FrameHasher hasher(co_await asio::this_coro::executor, blocking);
  if (!hasher.start()) {
    co_return std::unexpected(Disk{"no SHA-256"});
  }
  std::uint64_t received = 0;
  progress(0, total);

  for (;;) {
    const std::span<char> frame = hasher.frame();
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
    hasher.hash(size);
    const std::span<const char> data(frame.data(), size);
    auto written = co_await on_pool(
        blocking, [&file, data]() -> std::error_code { return write_in_pieces(*file, data); });
    // The buffer is read into again only once its hash is done.
    co_await hasher.wait();
    if (!written) {
      co_return std::unexpected(Disk{written.error()});
    }
    if (*written) {
      co_return std::unexpected(disk(*written));
    }
    progress(received, total);
  }

  if (total != 0 && received != total) {
    co_return std::unexpected(Message{request_path + ": cut off at " + std::to_string(received) +
                                      " of " + std::to_string(total) + " bytes"});
  }

  auto synced = co_await on_pool(blocking, [&file]() -> std::error_code {
    if (auto error = file->flush()) {
      return error;
    }
    if (auto error = file->sync()) {
      return error;
    }
    return file->close();
  });
  if (!synced) {
    co_return std::unexpected(Disk{synced.error()});
  }
  if (*synced) {
    co_return std::unexpected(disk(*synced));
  }

  std::string computed = hasher.finish();
  if (!equal_ignoring_ascii_case(computed, expected_digest)) {
    co_return std::unexpected(DigestMismatch{std::move(computed), expected_digest});
  }
  co_return Expected{};
}

asio::awaitable<Expected> request_and_stream(
    BoxClient& client, const std::string& request_path, BoxTarget target,
    const std::filesystem::path& part_path, const std::string& expected_digest,
    const std::function<void(std::uint64_t, std::uint64_t)>& progress, std::uint64_t limit,
    asio::thread_pool::executor_type blocking) {
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
                                    limit, total, blocking);
}

}  // namespace

asio::awaitable<Expected> download_file(BoxClient& client, std::string request_path,
                                        std::filesystem::path destination,
                                        std::string expected_digest,
                                        std::function<void(std::uint64_t, std::uint64_t)> progress,
                                        std::uint64_t limit, BoxTarget target,
                                        asio::thread_pool::executor_type blocking) {
  const std::filesystem::path part_path = part_path_for(destination);

  Expected streamed = co_await request_and_stream(client, request_path, target, part_path,
                                                  expected_digest, progress, limit, blocking);
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
