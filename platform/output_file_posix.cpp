#include "platform/output_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <utility>

namespace ostrevane::platform {
namespace {

std::error_code last_error() {
  return {errno, std::system_category()};
}

int fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

}  // namespace

std::expected<OutputFile, std::error_code> OutputFile::create(const std::filesystem::path& path) {
  const int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (handle < 0) {
    return std::unexpected(last_error());
  }
  return OutputFile(handle);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), written_(std::exchange(other.written_, 0)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    written_ = std::exchange(other.written_, 0);
  }
  return *this;
}

OutputFile::~OutputFile() {
  close();
}

std::error_code OutputFile::write_all(std::span<const char> bytes) {
  const off_t start = static_cast<off_t>(written_);
  const off_t length = static_cast<off_t>(bytes.size());
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd(handle_), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return last_error();
    }
    if (n == 0) {
      return std::make_error_code(std::errc::io_error);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  written_ += length;
  // Start the device writes now, so that the final sync has little left to
  // wait for; a failure here is seen again by that sync.
  ::sync_file_range(fd(handle_), start, length, SYNC_FILE_RANGE_WRITE);
  return {};
}

// Writes go straight to the system, so there is nothing of ours to hand over.
std::error_code OutputFile::flush() {
  return {};
}

std::error_code OutputFile::sync() {
  if (::fsync(fd(handle_)) != 0) {
    return last_error();
  }
  return {};
}

std::error_code OutputFile::close() {
  if (handle_ < 0) {
    return {};
  }
  const int handle = fd(std::exchange(handle_, -1));
  if (::close(handle) != 0) {
    return last_error();
  }
  return {};
}

std::error_code replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return last_error();
  }
  return {};
}

}  // namespace ostrevane::platform
