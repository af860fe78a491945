#include "platform/raw_terminal.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <iterator>
#include <utility>

namespace ostrevane::platform {
namespace {

constexpr int kEndSignals[] = {SIGTERM, SIGHUP, SIGINT};
constexpr std::string_view kHideCursor = "\x1b[?25l";
// With the plain style: a drawing cut off in the middle of a line may have
// left another one on.
constexpr std::string_view kShowCursor = "\x1b[0m\x1b[?25h";

std::error_code last_error() {
  return {errno, std::system_category()};
}

// A few bytes put together without allocating, so that a signal handler can.
class Bytes {
 public:
  void add(std::string_view text) {
    for (const char c : text) {
      if (size_ < sizeof data_) {
        data_[size_++] = c;
      }
    }
  }

  // Adds the control sequence ESC [ `count` `final`.
  void add_sequence(std::size_t count, char final) {
    char digits[20];
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + count % 10);
      count /= 10;
    } while (count > 0);
    add("\x1b[");
    while (n > 0) {
      add(std::string_view(&digits[--n], 1));
    }
    add(std::string_view(&final, 1));
  }

  std::string_view view() const { return {data_, size_}; }

 private:
  char data_[64];
  std::size_t size_ = 0;
};

unsigned columns_of(int fd) {
  winsize size{};
  return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// Returns the rows that `lines` lines `width` columns wide take on a terminal
// `columns` wide. A line wider than the terminal wraps as it is drawn, and the
// terminals that rewrap their lines on a resize (VTE, tmux, kitty…) wrap one
// drawn earlier alike: either way it takes the rows its width needs now.
std::size_t rows_of(std::size_t lines, std::size_t width, unsigned columns) {
  if (columns == 0 || width <= columns) {
    return lines;
  }
  return lines * ((width + columns - 1) / columns);
}

// Returns the bytes that take the cursor from below a drawing of `rows` rows
// to the start of its first row.
Bytes back_to_drawing(std::size_t rows) {
  Bytes bytes;
  bytes.add("\r");
  if (rows > 0) {
    bytes.add_sequence(rows, 'A');
  }
  return bytes;
}

// Writes `bytes` whole; returns the error that stopped it. Safe in a signal
// handler.
std::error_code write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n < 0 ? last_error() : std::error_code(EIO, std::system_category());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Erases the drawing of `lines` lines `width` columns wide that ends at the
// cursor, shows the cursor and sets `mode`; safe in a signal handler. The rows
// are deleted rather than cleared to the end of the screen: from the top of
// the screen, such a clear makes some terminals (tmux) keep a copy of it in
// their history.
void put_back(int fd, const termios& mode, std::size_t lines, std::size_t width) {
  const std::size_t rows = rows_of(lines, width, columns_of(fd));
  Bytes bytes = back_to_drawing(rows);
  if (rows > 0) {
    bytes.add_sequence(rows, 'M');
  }
  bytes.add(kShowCursor);
  write_fully(fd, bytes.view());
  ::tcsetattr(fd, TCSANOW, &mode);
}

enum GuardState : int { kIdle, kArmed, kPuttingBack };

// The lines and the width of a drawing in one word, so that a handler never
// sees the lines of one drawing with the width of another.
constexpr std::uint64_t pack(std::size_t lines, std::size_t width) {
  return (static_cast<std::uint64_t>(lines) << 32) | (width & 0xFFFF'FFFF);
}

// The terminal that an ending signal puts back, and the actions its handlers
// replaced; filled in before the handlers are installed.
struct Guard {
  std::atomic<bool> taken{false};
  std::atomic<int> state{kIdle};
  int fd = -1;
  termios mode{};
  std::atomic<std::uint64_t> drawing{0};  // pack()ed
  struct sigaction previous[std::size(kEndSignals)] = {};
  struct sigaction previous_resize = {};
};

Guard guarded;
std::atomic<int> resize_write_end{-1};

// Puts the guarded terminal back once, for whoever comes first. Whoever comes
// while another thread does it waits for that, so that the process does not
// end with the terminal half put back.
void put_back_guarded() {
  int armed = kArmed;
  if (guarded.state.compare_exchange_strong(armed, kPuttingBack)) {
    const std::uint64_t drawing = guarded.drawing;
    put_back(guarded.fd, guarded.mode, drawing >> 32, drawing & 0xFFFF'FFFF);
    guarded.state = kIdle;
    return;
  }
  const timespec pause{0, 1'000'000};
  for (int i = 0; i < 1000 && guarded.state == kPuttingBack; ++i) {
    ::nanosleep(&pause, nullptr);
  }
}

void on_end_signal(int signal) {
  put_back_guarded();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // Blocked while the handler runs, the signal then ends the process as it
  // would have.
  ::raise(signal);
}

void on_resize(int) {
  const int saved = errno;
  const char byte = 0;
  // A full pipe already tells of a resize.
  [[maybe_unused]] const ssize_t ignored = ::write(resize_write_end, &byte, 1);
  errno = saved;
}

// One pipe for the process, never closed: a handler still running on another
// thread must not write into a descriptor that was closed and reused.
int resize_read_end() {
  static const int read_end = [] {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
      return -1;
    }
    resize_write_end = ends[1];
    return ends[0];
  }();
  return read_end;
}

// Blocks the ending signals on this thread while the object lives.
class EndSignalsBlocked {
 public:
  EndSignalsBlocked() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal : kEndSignals) {
      sigaddset(&ending, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &ending, &before_);
  }
  ~EndSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  EndSignalsBlocked(const EndSignalsBlocked&) = delete;
  EndSignalsBlocked& operator=(const EndSignalsBlocked&) = delete;

 private:
  sigset_t before_;
};

}  // namespace

std::expected<RawTerminal, std::error_code> RawTerminal::open(const std::filesystem::path& device) {
  RawTerminal terminal(::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (terminal.fd_ < 0) {
    return std::unexpected(last_error());
  }
  if (!::isatty(terminal.fd_)) {
    return std::unexpected(std::error_code(ENOTTY, std::system_category()));
  }
  if (::tcgetattr(terminal.fd_, &terminal.saved_) != 0) {
    return std::unexpected(last_error());
  }
  terminal.guard();
  termios raw = terminal.saved_;
  ::cfmakeraw(&raw);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // TCSAFLUSH drops what was typed before anything was shown: an Enter that
  // started the program twice must not press a button of the dialog.
  if (::tcsetattr(terminal.fd_, TCSAFLUSH, &raw) != 0) {
    return std::unexpected(last_error());
  }
  terminal.raw_ = true;
  if (auto hidden = terminal.write_all(kHideCursor); !hidden) {
    return std::unexpected(hidden.error());
  }
  return terminal;
}

RawTerminal::RawTerminal(RawTerminal&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      saved_(other.saved_),
      raw_(std::exchange(other.raw_, false)),
      guarding_(std::exchange(other.guarding_, false)),
      lines_(other.lines_),
      width_(other.width_) {}

RawTerminal::~RawTerminal() {
  if (guarding_) {
    // Blocked here, an ending signal cannot stop this thread half-way through
    // putting the terminal back; it comes once the old actions are back.
    const EndSignalsBlocked blocked;
    if (raw_) {
      put_back_guarded();
    } else {
      int armed = kArmed;
      guarded.state.compare_exchange_strong(armed, kIdle);
    }
    unguard();
  } else if (raw_) {
    put_back(fd_, saved_, lines_, width_);
  }
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

int RawTerminal::resize_fd() const {
  return resize_read_end();
}

bool RawTerminal::take_resize() {
  const int fd = resize_fd();
  bool resized = false;
  char buffer[64];
  while (fd >= 0 && ::read(fd, buffer, sizeof buffer) > 0) {
    resized = true;
  }
  return resized;
}

unsigned RawTerminal::columns() const {
  return columns_of(fd_);
}

std::expected<void, std::error_code> RawTerminal::draw(const std::vector<std::string>& lines,
                                                       std::size_t width) {
  const unsigned columns = this->columns();
  std::string out(back_to_drawing(rows_of(lines_, width_, columns)).view());
  // A line that ends in the last column leaves the cursor there, waiting to
  // wrap: clearing the rest of the line would take that last character.
  const bool clear_rest = columns == 0 || width == 0 || width % columns != 0;
  for (const std::string& line : lines) {
    out += line;
    if (clear_rest) {
      out += "\x1b[K";
    }
    out += "\r\n";
  }
  // What the old drawing had below the new one. The cursor is below the
  // drawing, never at the top of the screen.
  out += "\x1b[J";
  if (auto written = write_all(out); !written) {
    return written;
  }
  lines_ = lines.size();
  width_ = width;
  if (guarding_) {
    guarded.drawing = pack(lines_, width_);
  }
  return {};
}

std::expected<void, std::error_code> RawTerminal::write_all(std::string_view bytes) {
  if (const std::error_code error = write_fully(fd_, bytes)) {
    return std::unexpected(error);
  }
  return {};
}

void RawTerminal::guard() {
  if (guarded.taken.exchange(true)) {
    return;  // another terminal is the guarded one
  }
  guarding_ = true;
  guarded.fd = fd_;
  guarded.mode = saved_;
  guarded.drawing = 0;
  guarded.state = kArmed;

  struct sigaction ending {};
  ending.sa_handler = on_end_signal;
  sigemptyset(&ending.sa_mask);
  for (const int signal : kEndSignals) {
    sigaddset(&ending.sa_mask, signal);
  }
  for (std::size_t i = 0; i < std::size(kEndSignals); ++i) {
    struct sigaction& previous = guarded.previous[i];
    ::sigaction(kEndSignals[i], nullptr, &previous);
    const bool ignored = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN;
    if (!ignored) {
      ::sigaction(kEndSignals[i], &ending, nullptr);
    }
  }

  resize_read_end();
  take_resize();
  struct sigaction resize {};
  resize.sa_handler = on_resize;
  resize.sa_flags = SA_RESTART;
  sigemptyset(&resize.sa_mask);
  ::sigaction(SIGWINCH, &resize, &guarded.previous_resize);
}

void RawTerminal::unguard() {
  for (std::size_t i = 0; i < std::size(kEndSignals); ++i) {
    ::sigaction(kEndSignals[i], &guarded.previous[i], nullptr);
  }
  ::sigaction(SIGWINCH, &guarded.previous_resize, nullptr);
  guarded.taken = false;
}

}  // namespace ostrevane::platform
