#include "platform/process.hpp"

#include <errno.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <vector>

extern char** environ;

namespace ostrevane::platform {
namespace {

std::error_code last_error() {
  return {errno, std::system_category()};
}

// Windows runs any file it is given; here a downloaded file carries no execute
// bit until it is given one.
std::error_code make_executable(const std::filesystem::path& file) {
  struct stat info;
  if (stat(file.c_str(), &info) != 0) {
    return last_error();
  }
  if ((info.st_mode & S_IXUSR) == 0 && chmod(file.c_str(), (info.st_mode & 07777) | S_IXUSR) != 0) {
    return last_error();
  }
  return {};
}

}  // namespace

// A process id needs no closing.
void ChildProcess::release() {
  handle_ = 0;
}

std::error_code ChildProcess::wait() {
  if (exit_code_) {
    return {};
  }
  int status = 0;
  while (waitpid(static_cast<pid_t>(handle_), &status, 0) < 0) {
    if (errno != EINTR) {
      return last_error();
    }
  }
  if (WIFEXITED(status)) {
    exit_code_ = static_cast<std::uint32_t>(WEXITSTATUS(status));
  } else {
    exit_code_ = 128 + static_cast<std::uint32_t>(WTERMSIG(status));
  }
  return {};
}

std::expected<std::uint32_t, std::error_code> ChildProcess::exit_code() const {
  if (!exit_code_) {
    return std::unexpected(std::make_error_code(std::errc::device_or_resource_busy));
  }
  return *exit_code_;
}

std::expected<ChildProcess, std::error_code> start_process(const std::filesystem::path& file,
                                                           std::span<const std::string> arguments) {
  if (const std::error_code error = make_executable(file)) {
    return std::unexpected(error);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(file.c_str()));
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  // posix_spawn reports a failed exec (a missing or unrunnable file) in its result.
  const int result = posix_spawn(&pid, file.c_str(), nullptr, nullptr, argv.data(), environ);
  if (result != 0) {
    return std::unexpected(std::error_code(result, std::system_category()));
  }
  return ChildProcess(pid);
}

}  // namespace ostrevane::platform
