#include "tests/e2e/e2e_harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace ostrevane::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::runtime_error os_failure(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// Returns pointers to the strings followed by a null, as exec wants them;
// valid while `strings` lives.
std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& s : strings) {
    pointers.push_back(const_cast<char*>(s.c_str()));
  }
  pointers.push_back(nullptr);
  return pointers;
}

int exit_code(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void write_text(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

}  // namespace

const BuiltFiles& built_files() {
  static const BuiltFiles files{OSTREVANE_E2E_SETUP, OSTREVANE_E2E_BROKEN_SETUP,
                                OSTREVANE_E2E_DEMO_BOX, OSTREVANE_E2E_TRUST_DIR};
  return files;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             int stdout_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
  }
  auto args = c_strings(argv);
  auto envp = c_strings(env);
  const int failed =
      posix_spawn(&pid_, argv.at(0).c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    errno = failed;
    throw os_failure("cannot start " + argv.at(0));
  }
}

Child::~Child() {
  if (!status_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = exit_code(status);
    } else if (done < 0 && errno != EINTR) {
      throw os_failure("waitpid");
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(20ms);
    }
  }
  return status_;
}

DemoBox::DemoBox(const std::vector<std::string>& options) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    throw os_failure("pipe");
  }
  std::vector<std::string> argv{built_files().demo_box.string(), "--trust",
                                built_files().trust_dir.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    env.emplace_back(*e);
  }
  try {
    child_.emplace(argv, env, out[1]);
  } catch (...) {
    close(out[0]);
    close(out[1]);
    throw;
  }
  close(out[1]);

  std::string said;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (said.find("ready\n") == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd watch{out[0], POLLIN, 0};
    char buffer[256];
    if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    said.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  if (said.find("ready\n") == std::string::npos) {
    throw std::runtime_error("the demo box did not get ready; it said: " + said);
  }
}

DemoBox::~DemoBox() {
  kill(child_->pid(), SIGTERM);
  child_->wait(10s);  // else the Child kills it
}

ProgramHome::ProgramHome() {
  fs::create_directories(dir_.path() / "tmp");
  fs::create_directories(dir_.path() / "wine");
  fs::create_directories(dir_.path() / "home");
}

void ProgramHome::install_webview2() const {
  write_text(dir_.path() / "wine" / "user.reg",
             "WINE REGISTRY Version 2\n\n"
             "[Software\\\\Microsoft\\\\EdgeUpdate\\\\Clients\\\\"
             "{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}] 1700000000\n"
             "\"pv\"=\"120.0.2210.91\"\n");
}

std::vector<std::string> ProgramHome::environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!entry.starts_with("TMPDIR=") && !entry.starts_with("WINEPREFIX=") &&
        !entry.starts_with("HOME=")) {
      env.emplace_back(entry);
    }
  }
  env.push_back("TMPDIR=" + (dir_.path() / "tmp").string());
  env.push_back("WINEPREFIX=" + (dir_.path() / "wine").string());
  env.push_back("HOME=" + (dir_.path() / "home").string());
  return env;
}

fs::path ProgramHome::working_folder(uid_t uid) const {
  return dir_.path() / "tmp" / ("ostrevane-setup-" + std::to_string(uid));
}

std::optional<std::vector<std::string>> ProgramHome::working_files(uid_t uid) const {
  std::error_code error;
  if (!fs::is_directory(working_folder(uid), error)) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(working_folder(uid))) {
    names.push_back(entry.path().filename().string());
  }
  std::ranges::sort(names);
  return names;
}

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TerminalSession::TerminalSession(const fs::path& program, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env)
    : terminal_(100, 40) {
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  auto argv_c = c_strings(argv);
  auto env_c = c_strings(env);
  const pid_t pid = terminal_.fork_process();
  if (pid < 0) {
    throw os_failure("fork");
  }
  if (pid == 0) {
    // A session of its own, with the terminal as its controlling terminal
    // and standard streams.
    if (login_tty(terminal_.terminal_side()) != 0) {
      _exit(126);
    }
    execve(argv_c[0], argv_c.data(), env_c.data());
    _exit(127);
  }
  terminal_.close_terminal_side();
  child_.emplace(pid);
}

bool TerminalSession::wait_for(std::string_view text, std::chrono::milliseconds timeout) {
  const auto end = terminal_.wait_for(text, cursor_, timeout);
  if (!end) {
    return false;
  }
  cursor_ = *end;
  return true;
}

std::string TerminalSession::settle() {
  return terminal_.settle();
}

void TerminalSession::type(std::string_view keys) {
  terminal_.type(keys);
}

void TerminalSession::resize(unsigned columns, unsigned rows) {
  terminal_.resize(columns, rows);
}

void TerminalSession::signal(int signal) {
  if (kill(child_->pid(), signal) != 0) {
    throw os_failure("kill");
  }
}

std::string TerminalSession::output() const {
  return terminal_.output();
}

std::string TerminalSession::output_since_last_wait() const {
  return terminal_.output().substr(cursor_);
}

std::optional<int> TerminalSession::wait_exit(std::chrono::milliseconds timeout) {
  return child_->wait(timeout);
}

}  // namespace ostrevane::e2e
