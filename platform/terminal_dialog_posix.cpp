#include "platform/terminal_dialog.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "platform/raw_terminal.hpp"
#include "platform/terminal_frame.hpp"

namespace ostrevane::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kDefaultMarqueePeriodMs = 30;

std::error_code last_error() {
  return {errno, std::system_category()};
}

// Returns the code point at the start of well-formed UTF-8 `bytes` and its
// length, or nullopt when the sequence is incomplete or ill-formed.
std::optional<std::pair<char32_t, std::size_t>> decode(std::string_view bytes) {
  if (bytes.empty()) {
    return std::nullopt;
  }
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  std::size_t n = 1;
  char32_t point = b0;
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    point = b0 & 0x07;
  } else if (b0 >= 0xE0) {
    n = 3;
    point = b0 & 0x0F;
  } else if (b0 >= 0xC2) {
    n = 2;
    point = b0 & 0x1F;
  } else if (b0 >= 0x80) {
    return std::nullopt;
  }
  if (bytes.size() < n) {
    return std::nullopt;
  }
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if ((b & 0xC0) != 0x80) {
      return std::nullopt;
    }
    point = (point << 6) | (b & 0x3F);
  }
  return std::pair{point, n};
}

// Returns the lower-case form of the letters a French text starts with.
char32_t fold_case(char32_t c) {
  if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
    return c + 0x20;
  }
  if (c == 0x152 || c == 0x178) {  // Œ, Ÿ
    return c == 0x152 ? 0x153 : 0xFF;
  }
  return c;
}

// One dialog on the terminal: its state, the messages of its callback, and
// the loop that reads keys and ticks the timer.
class TerminalDialog final : public TaskDialog {
 public:
  TerminalDialog(const TaskDialogConfig& config, RawTerminal& terminal)
      : config_(config), terminal_(terminal) {
    frame_.title = config.window_title;
    frame_.icon = config.main_icon;
    frame_.instruction = config.main_instruction;
    frame_.content = config.content;
    frame_.bar = (config.flags & kTdfShowMarqueeProgressBar) != 0;
    frame_.buttons = config.buttons;
    if (frame_.buttons.empty()) {
      frame_.buttons.push_back({kIdOk, "OK"});
    }
    const auto chosen =
        std::ranges::find(frame_.buttons, config.default_button, &TaskDialogButton::id);
    frame_.default_button = chosen == frame_.buttons.end() ? frame_.buttons.front().id : chosen->id;
  }

  void set_element_text(TaskDialogElement element, std::string_view text) override {
    if (element == TaskDialogElement::kContent) {
      frame_.content = std::string(text);
      dirty_ = true;
    }
  }

  void set_marquee_progress_bar(bool marquee) override {
    frame_.marquee = marquee;
    dirty_ = true;
  }

  void set_progress_bar_marquee(bool start, unsigned period_ms) override {
    marquee_period_ =
        std::chrono::milliseconds(period_ms == 0 ? kDefaultMarqueePeriodMs : period_ms);
    marquee_next_ = start ? std::optional(Clock::now() + marquee_period_) : std::nullopt;
  }

  void set_progress_bar_pos(int position) override {
    frame_.position = std::clamp(position, 0, 100);
    dirty_ = true;
  }

  void click_button(int id) override {
    if (is_button(id) || (id == kIdCancel && cancellable())) {
      pressed_.push_back(id);
    }
  }

  std::expected<int, std::error_code> run();

 private:
  bool cancellable() const { return (config_.flags & kTdfAllowDialogCancellation) != 0; }
  bool is_button(int id) const {
    return std::ranges::find(frame_.buttons, id, &TaskDialogButton::id) != frame_.buttons.end();
  }
  HResult notify(TaskDialogNotification notification, std::uintptr_t wparam) {
    return config_.callback == nullptr
               ? kHrOk
               : config_.callback(*this, notification, wparam, 0, config_.callback_data);
  }
  void read_keys(std::string_view bytes);
  void press_initial(char32_t key);
  std::optional<int> take_press();
  std::chrono::milliseconds wait_time() const;
  [[nodiscard]] std::expected<void, std::error_code> draw();
  [[nodiscard]] std::expected<void, std::error_code> read_input();

  const TaskDialogConfig& config_;
  RawTerminal& terminal_;
  TerminalFrame frame_;
  bool dirty_ = true;
  std::deque<int> pressed_;
  std::chrono::milliseconds marquee_period_{kDefaultMarqueePeriodMs};
  std::optional<Clock::time_point> marquee_next_;
  Clock::time_point created_ = Clock::now();
  std::optional<Clock::time_point> timer_next_;
};

void TerminalDialog::read_keys(std::string_view bytes) {
  while (!bytes.empty()) {
    const char c = bytes[0];
    if (c == '\r' || c == '\n') {
      pressed_.push_back(frame_.default_button);
    } else if (c == '\x03' ||
               (c == '\x1b' && (bytes.size() == 1 || (bytes[1] != '[' && bytes[1] != 'O')))) {
      if (cancellable()) {
        pressed_.push_back(kIdCancel);
      }
    } else if (c == '\x1b') {
      // An escape sequence (arrow or function key): skipped whole.
      std::size_t end = 2;
      if (bytes[1] == '[') {
        while (end < bytes.size() && (bytes[end] < 0x40 || bytes[end] > 0x7E)) {
          ++end;
        }
      }
      bytes.remove_prefix(std::min(end + 1, bytes.size()));
      continue;
    } else if (const auto point = decode(bytes)) {
      press_initial(point->first);
      bytes.remove_prefix(point->second);
      continue;
    }
    bytes.remove_prefix(1);
  }
}

void TerminalDialog::press_initial(char32_t key) {
  for (const TaskDialogButton& button : frame_.buttons) {
    const auto initial = decode(button.text);
    if (initial && fold_case(initial->first) == fold_case(key)) {
      pressed_.push_back(button.id);
      return;
    }
  }
}

std::optional<int> TerminalDialog::take_press() {
  while (!pressed_.empty()) {
    const int id = pressed_.front();
    pressed_.pop_front();
    if (notify(TaskDialogNotification::kButtonClicked, static_cast<std::uintptr_t>(id)) == kHrOk) {
      return id;
    }
  }
  return std::nullopt;
}

std::chrono::milliseconds TerminalDialog::wait_time() const {
  std::optional<Clock::time_point> next = timer_next_;
  if (marquee_next_ && frame_.bar && frame_.marquee) {
    next = next ? std::min(*next, *marquee_next_) : *marquee_next_;
  }
  if (!next) {
    return std::chrono::milliseconds(-1);
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

std::expected<void, std::error_code> TerminalDialog::draw() {
  const auto lines = draw_frame(frame_, terminal_.columns());
  dirty_ = false;
  // Every line takes the columns of the top border, which has no style.
  return terminal_.draw(lines, display_width(lines.front()));
}

std::expected<void, std::error_code> TerminalDialog::read_input() {
  char buffer[64];
  const ssize_t n = ::read(terminal_.fd(), buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
    return {};
  }
  if (n <= 0) {
    return std::unexpected(n < 0 ? last_error() : std::error_code(EIO, std::system_category()));
  }
  read_keys(std::string_view(buffer, static_cast<std::size_t>(n)));
  return {};
}

std::expected<int, std::error_code> TerminalDialog::run() {
  if (config_.flags & kTdfCallbackTimer) {
    timer_next_ = created_ + kDialogTimerPeriod;
  }
  std::expected<int, std::error_code> result = std::unexpected(std::error_code{});
  notify(TaskDialogNotification::kCreated, 0);
  for (;;) {
    if (const auto id = take_press()) {
      result = *id;
      break;
    }
    if (dirty_) {
      if (auto drawn = draw(); !drawn) {
        result = std::unexpected(drawn.error());
        break;
      }
    }
    pollfd watch[] = {{terminal_.fd(), POLLIN, 0}, {terminal_.resize_fd(), POLLIN, 0}};
    const int ready = ::poll(watch, 2, static_cast<int>(wait_time().count()));
    if (ready < 0 && errno != EINTR) {
      result = std::unexpected(last_error());
      break;
    }
    if (ready > 0 && watch[0].revents != 0) {
      if (auto input = read_input(); !input) {
        result = std::unexpected(input.error());
        break;
      }
    }
    if (ready > 0 && watch[1].revents != 0 && terminal_.take_resize()) {
      dirty_ = true;
    }
    const auto now = Clock::now();
    if (marquee_next_ && now >= *marquee_next_) {
      ++frame_.marquee_step;
      marquee_next_ = now + marquee_period_;
      dirty_ = dirty_ || (frame_.bar && frame_.marquee);
    }
    if (timer_next_ && now >= *timer_next_) {
      timer_next_ = now + kDialogTimerPeriod;
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - created_);
      notify(TaskDialogNotification::kTimer, static_cast<std::uintptr_t>(elapsed.count()));
    }
  }
  notify(TaskDialogNotification::kDestroyed, 0);
  return result;
}

}  // namespace

TerminalDialogHost::TerminalDialogHost(std::filesystem::path device) : device_(std::move(device)) {}

std::expected<int, std::error_code> TerminalDialogHost::show(const TaskDialogConfig& config) {
  auto terminal = RawTerminal::open(device_);
  if (!terminal) {
    return std::unexpected(terminal.error());
  }
  TerminalDialog dialog(config, *terminal);
  return dialog.run();
}

}  // namespace ostrevane::platform
