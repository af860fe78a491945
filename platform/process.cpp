#include "platform/process.hpp"

#include <utility>

namespace ostrevane::platform {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), exit_code_(other.exit_code_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, 0);
    exit_code_ = other.exit_code_;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  release();
}

}  // namespace ostrevane::platform
