#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <system_error>

namespace ostrevane::platform {

// A file opened for writing: created new, or an existing one emptied. Other
// openers may share it for reading, writing and deletion. Closed by its destructor.
class OutputFile {
 public:
  // Returns the file at `path`, created or truncated, or the system's error.
  [[nodiscard]] static std::expected<OutputFile, std::error_code> create(
      const std::filesystem::path& path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Writes all of `bytes`, repeating interrupted and partial writes. Returns
  // the system's error, or an empty code.
  [[nodiscard]] std::error_code write_all(std::span<const char> bytes);

  // Hands what the program buffered to the system. Returns the system's error.
  [[nodiscard]] std::error_code flush();

  // Forces the file's data to the storage device. Returns the system's error.
  [[nodiscard]] std::error_code sync();

  // Closes the file. Returns the system's error.
  std::error_code close();

 private:
  explicit OutputFile(std::intptr_t handle) : handle_(handle) {}
  std::intptr_t handle_ = -1;  // the system's file descriptor or HANDLE; -1 when closed
  long long written_ = 0;      // bytes written so far, the offset of the next write
};

// Renames the file `from` to `to`, replacing a file that has that name (on
// Windows MoveFileExW with MOVEFILE_REPLACE_EXISTING). Returns the system's error.
[[nodiscard]] std::error_code replace_file(const std::filesystem::path& from,
                                           const std::filesystem::path& to);

}  // namespace ostrevane::platform
