#include "testsupport/pseudo_terminal.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace ostrevane::test {

using namespace std::chrono_literals;

PseudoTerminal::PseudoTerminal(unsigned columns, unsigned rows) {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = static_cast<unsigned short>(rows);
  char name[256];
  if (::openpty(&controller_, &terminal_side_, name, nullptr, &size) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  // Programs started from here get the terminal as the device, not these.
  ::fcntl(controller_, F_SETFD, FD_CLOEXEC);
  ::fcntl(terminal_side_, F_SETFD, FD_CLOEXEC);
  device_ = name;
  ::tcgetattr(terminal_side_, &initial_);
  reader_ = std::thread([this] { read_loop(); });
}

PseudoTerminal::~PseudoTerminal() {
  stop_reading();
  ::close(controller_);
  close_terminal_side();
}

void PseudoTerminal::stop_reading() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  if (reader_.joinable()) {
    reader_.join();
  }
}

pid_t PseudoTerminal::fork_process() {
  stop_reading();
  const pid_t pid = ::fork();
  if (pid != 0) {
    stop_ = false;
    reader_ = std::thread([this] { read_loop(); });
  }
  return pid;
}

void PseudoTerminal::close_terminal_side() {
  if (terminal_side_ >= 0) {
    ::close(terminal_side_);
    terminal_side_ = -1;
  }
}

void PseudoTerminal::read_loop() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_ || ended_) {
        return;
      }
    }
    pollfd watch{controller_, POLLIN, 0};
    if (::poll(&watch, 1, 20) <= 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t n = ::read(controller_, buffer, sizeof buffer);
    std::lock_guard lock(mutex_);
    if (n > 0) {
      output_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      // Every program on the terminal side has gone.
      ended_ = true;
    }
    changed_.notify_all();
  }
}

std::optional<std::size_t> PseudoTerminal::wait_for(std::string_view text, std::size_t from,
                                                    std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  std::size_t found = std::string::npos;
  changed_.wait_for(lock, timeout, [&] {
    found = from <= output_.size() ? output_.find(text, from) : std::string::npos;
    return found != std::string::npos || ended_;
  });
  if (found == std::string::npos) {
    return std::nullopt;
  }
  return found + text.size();
}

std::string PseudoTerminal::settle(std::chrono::milliseconds quiet,
                                   std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    const std::size_t size = output_.size();
    const bool grew = changed_.wait_for(lock, quiet, [&] { return output_.size() != size; });
    if (!grew || std::chrono::steady_clock::now() >= deadline) {
      return output_;
    }
  }
}

std::string PseudoTerminal::output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

void PseudoTerminal::type(std::string_view keys) {
  while (!keys.empty()) {
    const ssize_t n = ::write(controller_, keys.data(), keys.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      throw std::runtime_error(std::string("typing: ") + std::strerror(errno));
    }
    keys.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool PseudoTerminal::typed_arrived() const {
  pollfd watch{terminal_side_, POLLIN, 0};
  return ::poll(&watch, 1, 1000) == 1;
}

void PseudoTerminal::resize(unsigned columns, unsigned rows) {
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = static_cast<unsigned short>(rows);
  if (::ioctl(controller_, TIOCSWINSZ, &size) != 0) {
    throw std::runtime_error(std::string("TIOCSWINSZ: ") + std::strerror(errno));
  }
}

termios PseudoTerminal::mode() const {
  // On Linux the controller side reads the terminal side's mode, also once
  // every program there has gone.
  termios now{};
  ::tcgetattr(controller_, &now);
  return now;
}

}  // namespace ostrevane::test
