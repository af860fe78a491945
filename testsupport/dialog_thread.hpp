#pragma once

#include <atomic>
#include <expected>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/task_dialog.hpp"
#include "platform/terminal_dialog.hpp"
#include "testsupport/pseudo_terminal.hpp"

namespace ostrevane::test {

// Returns a progress dialog as the setup shows one, with a marquee bar, the
// timer and `callback` with `data`; its one button is "Annuler" (id 2).
platform::TaskDialogConfig progress_dialog_config(platform::TaskDialogCallback callback,
                                                  void* data);

// A dialog shown on a pseudo-terminal by a thread of its own.
class DialogThread {
 public:
  DialogThread(PseudoTerminal& terminal, const platform::TaskDialogConfig& config);
  // A test that failed half-way still ends its dialog.
  ~DialogThread();
  DialogThread(const DialogThread&) = delete;
  DialogThread& operator=(const DialogThread&) = delete;

  // Returns whether the dialog has closed.
  bool closed() const { return closed_; }

  // Waits for the dialog to close and returns what it returned.
  std::expected<int, std::error_code> result();

 private:
  PseudoTerminal& terminal_;
  platform::TerminalDialogHost host_;
  std::optional<std::expected<int, std::error_code>> result_;
  std::atomic<bool> closed_ = false;
  std::thread thread_;
};

}  // namespace ostrevane::test
