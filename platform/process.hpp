#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>

namespace ostrevane::platform {

// A child process started by start_process(). Letting it go neither waits for
// nor stops the process; it releases the system's handle of it.
class ChildProcess {
 public:
  // Takes over the system's handle of a started process (here its process id).
  explicit ChildProcess(std::intptr_t handle) : handle_(handle) {}
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Waits without a time limit for the process to end. Returns an error when it
  // cannot be waited for.
  [[nodiscard]] std::error_code wait();

  // Returns the exit code of a process that wait() saw end, or an error when it
  // has not been waited for. A process ended by signal N reports 128 + N, as a
  // shell does.
  [[nodiscard]] std::expected<std::uint32_t, std::error_code> exit_code() const;

 private:
  // Lets go of the system's handle, if any is still held.
  void release();

  std::intptr_t handle_;  // 0 once released
  std::optional<std::uint32_t> exit_code_;
};

// Starts the file at `file` with `arguments` after the program's own name,
// inheriting the environment, the current directory and the standard handles.
// On Windows the command line is the path in double quotes, then each argument
// as it stands after a space. Here the owner's execute bit is set on the file
// first. Returns the process, or the system's error when the file cannot be
// started (a missing file included).
[[nodiscard]] std::expected<ChildProcess, std::error_code> start_process(
    const std::filesystem::path& file, std::span<const std::string> arguments);

}  // namespace ostrevane::platform
