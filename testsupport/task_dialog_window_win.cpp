#include "testsupport/task_dialog_window_win.hpp"

#include <algorithm>
#include <thread>

#include "platform/wide_text_win.hpp"

namespace ostrevane::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPoll = std::chrono::milliseconds(10);
constexpr UINT kSendLimitMs = 5'000;

// Sends a message to a window of another thread without waiting for ever on
// a dialog thread that no longer answers; 0 when it does not.
LRESULT send(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, kSendLimitMs,
                          &result) == 0) {
    return 0;
  }
  return static_cast<LRESULT>(result);
}

std::wstring class_of(HWND window) {
  wchar_t name[64] = {};
  const int length = GetClassNameW(window, name, 64);
  return std::wstring(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

std::string text_of(HWND window) {
  const auto length = send(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const auto copied = send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(copied));
  return platform::from_wide_lossy(text);
}

std::vector<HWND> dialogs_of(DWORD thread) {
  std::vector<HWND> found;
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM data) -> BOOL {
        if (IsWindowVisible(window) && class_of(window) == L"#32770") {
          reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

bool poll(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (;;) {
    if (condition()) {
      return true;
    }
    if (Clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(kPoll);
  }
}

}  // namespace

std::optional<DialogWindow> DialogWindow::wait_for(DWORD thread, std::chrono::milliseconds limit) {
  std::optional<DialogWindow> shown;
  poll(
      [&] {
        const auto found = dialogs_of(thread);
        if (!found.empty()) {
          shown.emplace(found.front());
        }
        return shown.has_value();
      },
      limit);
  return shown;
}

std::string DialogWindow::title() const {
  return text_of(window_);
}

std::vector<std::string> DialogWindow::texts() const {
  std::vector<std::string> found;
  for (HWND child : children(WC_STATICW)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
      found.push_back(text_of(child));
    }
  }
  return found;
}

bool DialogWindow::shows(std::string_view text) const {
  for (const std::string& shown : texts()) {
    if (shown == text) {
      return true;
    }
  }
  return false;
}

std::vector<platform::TaskDialogButton> DialogWindow::buttons() const {
  std::vector<platform::TaskDialogButton> found;
  for (HWND child : children(WC_BUTTONW)) {
    found.push_back({GetDlgCtrlID(child), text_of(child)});
  }
  return found;
}

int DialogWindow::default_button() const {
  const auto answer = send(window_, DM_GETDEFID, 0, 0);
  return HIWORD(answer) == DC_HASDEFID ? LOWORD(answer) : 0;
}

std::optional<DialogBar> DialogWindow::progress_bar() const {
  const auto bars = children(PROGRESS_CLASSW);
  if (bars.empty()) {
    return std::nullopt;
  }
  return DialogBar{(GetWindowLongW(bars.front(), GWL_STYLE) & PBS_MARQUEE) != 0,
                   static_cast<int>(send(bars.front(), PBM_GETPOS, 0, 0))};
}

HICON DialogWindow::icon() const {
  for (HWND child : children(WC_STATICW)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      return reinterpret_cast<HICON>(send(child, STM_GETICON, 0, 0));
    }
  }
  return nullptr;
}

bool DialogWindow::wait_until(const std::function<bool(const DialogWindow&)>& condition,
                              std::chrono::milliseconds limit) const {
  return poll([&] { return condition(*this); }, limit);
}

bool DialogWindow::wait_closed(std::chrono::milliseconds limit) const {
  return poll([&] { return !IsWindow(window_); }, limit);
}

void DialogWindow::click(int id) const {
  PostMessageW(window_, TDM_CLICK_BUTTON, static_cast<WPARAM>(id), 0);
}

void DialogWindow::close() const {
  PostMessageW(window_, WM_CLOSE, 0, 0);
}

std::vector<HWND> DialogWindow::children(const wchar_t* class_name) const {
  struct Search {
    std::wstring_view class_name;
    std::vector<HWND> found;
  } search{class_name, {}};
  EnumChildWindows(
      window_,
      [](HWND child, LPARAM data) -> BOOL {
        auto& search = *reinterpret_cast<Search*>(data);
        // Case aside: the system compares class names without it.
        if (CompareStringOrdinal(class_of(child).c_str(), -1, search.class_name.data(),
                                 static_cast<int>(search.class_name.size()), TRUE) == CSTR_EQUAL) {
          search.found.push_back(child);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  // In reading order: top to bottom, then left to right.
  const auto place = [](HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    return std::pair(rect.top, rect.left);
  };
  std::ranges::sort(search.found, {}, place);
  return search.found;
}

DialogDriver::DialogDriver(std::function<void(DWORD dialog_thread)> script)
    : thread_([this, owner = GetCurrentThreadId(), script = std::move(script)] {
        script(owner);
        std::vector<HWND> closed;
        while (!stopping_) {
          for (HWND window : dialogs_of(owner)) {
            const auto buttons = DialogWindow(window).buttons();
            if (std::ranges::find(closed, window) == closed.end() && !buttons.empty()) {
              DialogWindow(window).click(buttons.back().id);
              closed.push_back(window);
            }
          }
          std::this_thread::sleep_for(kPoll);
        }
        leftovers_ = static_cast<int>(closed.size());
      }) {}

DialogDriver::~DialogDriver() {
  stop();
}

int DialogDriver::stop() {
  stopping_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  return leftovers_;
}

}  // namespace ostrevane::test
