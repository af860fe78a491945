#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace ostrevane::platform {

// The result of a dialog callback, shaped like an HRESULT.
using HResult = std::int32_t;
inline constexpr HResult kHrOk = 0;     // S_OK
inline constexpr HResult kHrFalse = 1;  // S_FALSE

// Button ids with a meaning of their own.
inline constexpr int kIdOk = 1;      // IDOK
inline constexpr int kIdCancel = 2;  // IDCANCEL

// Dialog flags, with the values of the TDF_ flags they stand for.
inline constexpr std::uint32_t kTdfAllowDialogCancellation = 0x0008;
inline constexpr std::uint32_t kTdfShowMarqueeProgressBar = 0x0400;
inline constexpr std::uint32_t kTdfCallbackTimer = 0x0800;
inline constexpr std::uint32_t kTdfPositionRelativeToWindow = 0x1000;

// The main icon (TD_ERROR_ICON, TD_INFORMATION_ICON).
enum class TaskDialogIcon { kNone, kError, kInformation };

// What the dialog tells its callback, with the TDN_ codes.
enum class TaskDialogNotification : std::uint32_t {
  kCreated = 0,
  kButtonClicked = 2,  // wparam: the button's id
  kTimer = 4,          // wparam: milliseconds since the dialog was created
  kDestroyed = 5,
};

// The parts of a dialog whose text can be replaced (TDE_).
enum class TaskDialogElement : std::uint32_t { kContent = 0 };

// The dialog as its callback sees it; each call is one of the platform's
// dialog messages (TDM_), handled at once on the dialog's thread.
class TaskDialog {
 public:
  virtual ~TaskDialog() = default;
  // Replaces the text of `element` by the UTF-8 `text` (0x46C).
  virtual void set_element_text(TaskDialogElement element, std::string_view text) = 0;
  // Switches the bar to marquee mode (true) or to showing a position (false)
  // (0x467).
  virtual void set_marquee_progress_bar(bool marquee) = 0;
  // Starts (true) or stops the marquee animation, one step every `period_ms`
  // (0x46B).
  virtual void set_progress_bar_marquee(bool start, unsigned period_ms) = 0;
  // Sets the bar's position, in its range 0 to 100 (0x46A).
  virtual void set_progress_bar_pos(int position) = 0;
  // Presses the button `id`, as if the user had (0x466).
  virtual void click_button(int id) = 0;
};

// The callback of a dialog: the dialog, the notification, its two parameters
// and the configuration's callback data. kHrOk lets a clicked button close the
// dialog; kHrFalse keeps it open.
using TaskDialogCallback = HResult (*)(TaskDialog& dialog, TaskDialogNotification notification,
                                       std::uintptr_t wparam, std::intptr_t lparam, void* data);

struct TaskDialogButton {
  int id = 0;
  std::string text;
  bool operator==(const TaskDialogButton&) const = default;
};

// One dialog to show; texts are UTF-8.
struct TaskDialogConfig {
  std::uint32_t flags = 0;
  std::string window_title;
  TaskDialogIcon main_icon = TaskDialogIcon::kNone;
  std::string main_instruction;
  std::string content;
  std::vector<TaskDialogButton> buttons;
  int default_button = 0;  // 0: the first button
  TaskDialogCallback callback = nullptr;
  void* callback_data = nullptr;
  unsigned width = 0;  // in dialog units; 0 lets the platform choose
};

// Something that can show task dialogs.
class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // Shows `config`, runs its callback, and returns the id of the button that
  // closed the dialog, or the error that kept it from being shown.
  virtual std::expected<int, std::error_code> show(const TaskDialogConfig& config) = 0;
};

// Returns this platform's dialog host: on Windows TaskDialogIndirect, on POSIX
// the controlling terminal.
DialogHost& system_dialog_host();

// Shows `config` through system_dialog_host() and blocks until it closes;
// returns the pressed button's id, or the error when it cannot be shown.
std::expected<int, std::error_code> show_task_dialog(const TaskDialogConfig& config);

}  // namespace ostrevane::platform
