#pragma once

// Task dialogs driven without a person: another thread of the test finds the
// dialog's window, reads what it shows with the window functions and posts
// it the messages a user's clicks would cause.

#include <windows.h>
// After windows.h, whose types it uses.
#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/task_dialog.hpp"

namespace ostrevane::test {

// How long a test waits for a dialog to show something before it fails.
inline constexpr std::chrono::milliseconds kDialogWait{30'000};

// The progress bar of a dialog.
struct DialogBar {
  bool marquee = false;  // the bar has the PBS_MARQUEE style
  int position = 0;      // PBM_GETPOS
  bool operator==(const DialogBar&) const = default;
};

// One task dialog's window, seen from a thread other than the dialog's.
class DialogWindow {
 public:
  explicit DialogWindow(HWND window) : window_(window) {}

  // Returns the visible dialog window of the thread `thread`, waiting up to
  // `limit` for one to be shown, or nullopt when none was.
  static std::optional<DialogWindow> wait_for(DWORD thread,
                                              std::chrono::milliseconds limit = kDialogWait);

  HWND handle() const { return window_; }

  // Returns the window's title.
  std::string title() const;
  // Returns the texts of the dialog's text controls (main instruction,
  // content), in reading order.
  std::vector<std::string> texts() const;
  // Returns whether one of texts() is `text`.
  bool shows(std::string_view text) const;
  // Returns the push buttons, ids and texts, in reading order.
  std::vector<platform::TaskDialogButton> buttons() const;
  // Returns the id of the dialog's default button (DM_GETDEFID), 0 when none.
  int default_button() const;
  // Returns the progress bar, or nullopt when the dialog has none.
  std::optional<DialogBar> progress_bar() const;
  // Returns the main icon, or null when the dialog has none.
  HICON icon() const;

  // Returns whether `condition` held within `limit`, testing it every few
  // milliseconds.
  bool wait_until(const std::function<bool(const DialogWindow&)>& condition,
                  std::chrono::milliseconds limit = kDialogWait) const;
  // Returns whether the window was destroyed within `limit`.
  bool wait_closed(std::chrono::milliseconds limit = kDialogWait) const;

  // Posts TDM_CLICK_BUTTON for the button `id`, as a click on it would.
  void click(int id) const;
  // Posts WM_CLOSE, as the close box would.
  void close() const;

 private:
  std::vector<HWND> children(const wchar_t* class_name) const;

  HWND window_;
};

// Runs a script against the dialogs that the thread which made the driver
// shows, on a thread of its own. Once the script has returned, every dialog
// that thread still shows is closed by its last button ("Fermer",
// "Annuler"), so that a script that failed halfway cannot leave the test
// waiting on a dialog.
class DialogDriver {
 public:
  // Starts `script`, given the id of the thread that shows the dialogs.
  explicit DialogDriver(std::function<void(DWORD dialog_thread)> script);
  // Stops the driver as stop() does.
  ~DialogDriver();
  DialogDriver(const DialogDriver&) = delete;
  DialogDriver& operator=(const DialogDriver&) = delete;

  // Waits for the script to return and returns how many dialogs were left for
  // the driver to close: 0 when the script saw every dialog there was.
  int stop();

 private:
  std::atomic<bool> stopping_{false};
  std::atomic<int> leftovers_{0};
  std::thread thread_;
};

}  // namespace ostrevane::test
