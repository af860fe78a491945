#include "platform/output_file.hpp"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/win32_win.hpp"

namespace ostrevane::platform {
namespace {

HANDLE file_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// One WriteFile takes at most a DWORD's worth of bytes.
constexpr std::size_t kLargestWrite = 1u << 30;

}  // namespace

std::expected<OutputFile, std::error_code> OutputFile::create(const std::filesystem::path& path) {
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::unexpected(last_error());
  }
  return OutputFile(reinterpret_cast<std::intptr_t>(handle));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), written_(other.written_) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    written_ = other.written_;
  }
  return *this;
}

OutputFile::~OutputFile() {
  close();
}

std::error_code OutputFile::write_all(std::span<const char> bytes) {
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min(bytes.size(), kLargestWrite));
    DWORD written = 0;
    if (!WriteFile(file_handle(handle_), bytes.data(), piece, &written, nullptr)) {
      return last_error();
    }
    if (written == 0) {
      return {ERROR_WRITE_FAULT, std::system_category()};
    }
    bytes = bytes.subspan(written);
    written_ += written;
  }
  return {};
}

// Writes go straight to the system, so there is nothing of ours to hand over.
std::error_code OutputFile::flush() {
  return {};
}

std::error_code OutputFile::sync() {
  if (!FlushFileBuffers(file_handle(handle_))) {
    return last_error();
  }
  return {};
}

std::error_code OutputFile::close() {
  if (handle_ == -1) {
    return {};
  }
  const HANDLE handle = file_handle(std::exchange(handle_, -1));
  if (!CloseHandle(handle)) {
    return last_error();
  }
  return {};
}

std::error_code replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return last_error();
  }
  return {};
}

}  // namespace ostrevane::platform
