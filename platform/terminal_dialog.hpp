#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <system_error>

#include "platform/task_dialog.hpp"

namespace ostrevane::platform {

// How often a dialog with the callback timer flag gets its timer notification.
inline constexpr std::chrono::milliseconds kDialogTimerPeriod{200};

// Draws dialogs on a terminal device, below the cursor and again at the new
// width when the terminal is resized, and reads its keys: Enter presses the
// default button, Esc and Ctrl-C cancel (id 2) when the dialog allows it, and
// a button's initial letter presses that button.
class TerminalDialogHost : public DialogHost {
 public:
  // A host for the terminal at `device`; the system's host uses "/dev/tty".
  explicit TerminalDialogHost(std::filesystem::path device);

  // Shows `config` until a button closes it, ignoring the keys typed before it
  // was shown; fails when `device` cannot be opened or is not a terminal, or
  // when the terminal goes away. The dialog is erased and the terminal's mode
  // restored before it returns, and so they are when SIGTERM, SIGHUP or SIGINT
  // ends the process while it shows.
  std::expected<int, std::error_code> show(const TaskDialogConfig& config) override;

 private:
  std::filesystem::path device_;
};

}  // namespace ostrevane::platform
