#include "platform/task_dialog.hpp"

#include "platform/terminal_dialog.hpp"

namespace ostrevane::platform {

DialogHost& system_dialog_host() {
  static TerminalDialogHost host("/dev/tty");
  return host;
}

std::expected<int, std::error_code> show_task_dialog(const TaskDialogConfig& config) {
  return system_dialog_host().show(config);
}

}  // namespace ostrevane::platform
