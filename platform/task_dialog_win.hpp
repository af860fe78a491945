#pragma once

// The task dialogs of Windows: TaskDialogIndirect of common controls 6, which
// the program's manifest requests.

#include <windows.h>
// After windows.h, whose types it uses.
#include <commctrl.h>

#include <expected>
#include <system_error>

#include "platform/task_dialog.hpp"

namespace ostrevane::platform {

// The signature of TaskDialogIndirect.
using TaskDialogIndirectCall = HRESULT(WINAPI*)(const TASKDIALOGCONFIG* config, int* button,
                                                int* radio_button, BOOL* verification_checked);

// Shows task dialogs on the calling thread, which runs the dialog's message
// loop and its callback.
class Win32DialogHost : public DialogHost {
 public:
  // A host whose dialogs go through `call`: TaskDialogIndirect itself, or a
  // test's wrapper around it.
  explicit Win32DialogHost(TaskDialogIndirectCall call = &TaskDialogIndirect) : call_(call) {}

  // Shows `config` and returns the id of the button that closed the dialog.
  // When the call fails, the thread's error information is fetched and
  // released, and the failure is returned as hresult_error() gives it.
  std::expected<int, std::error_code> show(const TaskDialogConfig& config) override;

 private:
  TaskDialogIndirectCall call_;
};

// Returns the error code of a failed HRESULT: the Win32 error that it carries
// (FACILITY_WIN32, as E_INVALIDARG carries ERROR_INVALID_PARAMETER), else the
// HRESULT's own 32 bits, in std::system_category() either way.
[[nodiscard]] std::error_code hresult_error(HRESULT result);

}  // namespace ostrevane::platform
