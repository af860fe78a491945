#pragma once

#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "testsupport/pseudo_terminal.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::e2e {

// The programs and files of this build that the tests run.
struct BuiltFiles {
  std::filesystem::path setup;         // ostrevane-setup-e2e, with the test trust material
  std::filesystem::path broken_setup;  // ostrevane-setup-broken, with a damaged root CA
  std::filesystem::path demo_box;      // ostrevane-demo-box
  std::filesystem::path trust_dir;     // what ostrevane-make-trust wrote
};

// Returns the files of this build.
const BuiltFiles& built_files();

// A child process, killed and reaped when the object goes if it still runs.
class Child {
 public:
  // Starts `argv` with environment `env`; `stdout_fd`, when not -1, becomes
  // its standard output. Throws std::runtime_error when it cannot start.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
        int stdout_fd = -1);
  // Takes over an already started process.
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Returns the exit code (128 + N for a process ended by signal N), or
  // nullopt when it still runs after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The demo box as a child process, in the caller's network namespace.
class DemoBox {
 public:
  // Starts it with the build's trust material and `options`, and waits until
  // it prints "ready"; throws std::runtime_error when it does not.
  explicit DemoBox(const std::vector<std::string>& options);
  // Stops it with SIGTERM.
  ~DemoBox();
  DemoBox(const DemoBox&) = delete;
  DemoBox& operator=(const DemoBox&) = delete;

 private:
  std::optional<Child> child_;
};

// A scratch home for one run of the program: its temporary folder (TMPDIR),
// its Wine prefix (WINEPREFIX, the registry it reads) and the file the demo
// installer appends its arguments to.
class ProgramHome {
 public:
  ProgramHome();

  // Writes a user registry in which the WebView2 runtime is present.
  void install_webview2() const;
  // Returns the environment the program runs with.
  std::vector<std::string> environment() const;

  std::filesystem::path root() const { return dir_.path(); }
  // Returns the working folder of a run as the user `uid`.
  std::filesystem::path working_folder(uid_t uid = geteuid()) const;
  std::filesystem::path args_file() const { return dir_.path() / "installer-args.txt"; }
  // Returns the names in the working folder of `uid`, sorted, or nullopt when
  // there is no such folder.
  std::optional<std::vector<std::string>> working_files(uid_t uid = geteuid()) const;

 private:
  test::ScratchDir dir_;
};

// Returns the file's bytes, or nullopt when it cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& path);

// The program on a pseudo-terminal, which is its controlling terminal (the
// dialogs draw on /dev/tty). Everything it draws is collected as it comes.
class TerminalSession {
 public:
  // Starts `program` with `args` and `env` on a new terminal 100 columns wide
  // and 40 rows high; throws std::runtime_error when it cannot.
  TerminalSession(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env);

  // Waits until `text` shows up after the place the previous wait stopped at,
  // and moves that place past it; returns false when `timeout` passes first.
  bool wait_for(std::string_view text,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits until the program has drawn nothing for a moment, and returns
  // everything drawn so far.
  std::string settle();
  // Types `keys` on the terminal.
  void type(std::string_view keys);
  // Gives the terminal a new size, which the program is told of by SIGWINCH.
  void resize(unsigned columns, unsigned rows);
  // Sends `signal` to the program.
  void signal(int signal);
  // Returns everything drawn so far.
  std::string output() const;
  // Returns what was drawn after the place the last wait stopped at.
  std::string output_since_last_wait() const;
  // Returns the exit code, or nullopt when it still runs after `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Returns the terminal's mode now, and as it was before the program ran.
  termios mode() const { return terminal_.mode(); }
  const termios& initial_mode() const { return terminal_.initial_mode(); }

 private:
  test::PseudoTerminal terminal_;
  std::optional<Child> child_;  // goes before the terminal
  std::size_t cursor_ = 0;
};

}  // namespace ostrevane::e2e
