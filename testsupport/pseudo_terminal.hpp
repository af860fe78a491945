#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace ostrevane::test {

// A pseudo-terminal whose output is read on a thread of its own, so that what
// draws on it never blocks, and kept whole.
class PseudoTerminal {
 public:
  // Opens one `columns` wide and `rows` high; throws std::runtime_error when
  // it cannot.
  explicit PseudoTerminal(unsigned columns = 80, unsigned rows = 24);
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The terminal's device, as a program opens it.
  const std::filesystem::path& device() const { return device_; }

  // This process's descriptor of the terminal side, or -1 once closed.
  int terminal_side() const { return terminal_side_; }

  // Closes that descriptor: the output then ends when the last program that
  // has the terminal open ends.
  void close_terminal_side();

  // Forks the process as fork() does, with the thread that reads the output
  // stopped meanwhile: a child forked while another thread holds a lock (the
  // sanitizers' allocator has some) can wait for it forever. Returns the
  // child's id to the parent, 0 to the child, -1 when it cannot.
  pid_t fork_process();

  // Returns the offset just past the first `text` written at or after byte
  // `from` of the output, waiting for it up to `timeout`; nullopt when it
  // does not come or the output ended first.
  std::optional<std::size_t> wait_for(std::string_view text, std::size_t from = 0,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Waits until nothing was written for `quiet` (at most for `timeout`), and
  // returns the output.
  std::string settle(std::chrono::milliseconds quiet = std::chrono::milliseconds(150),
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Returns everything written so far.
  std::string output() const;

  // Types `keys` on the terminal.
  void type(std::string_view keys);

  // Waits until what was typed has reached the terminal side (in the line
  // mode it starts in, a typed line end); returns false after a second.
  bool typed_arrived() const;

  // Gives the terminal a new size. The system tells the foreground process
  // group of the session whose controlling terminal it is by SIGWINCH.
  void resize(unsigned columns, unsigned rows);

  // Returns the terminal's mode now, and as it was opened.
  termios mode() const;
  const termios& initial_mode() const { return initial_; }

 private:
  void read_loop();
  void stop_reading();

  int controller_ = -1;
  int terminal_side_ = -1;
  std::filesystem::path device_;
  termios initial_{};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  bool ended_ = false;
  bool stop_ = false;
  std::thread reader_;
};

}  // namespace ostrevane::test
