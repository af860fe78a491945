#pragma once

#include <cstdint>
#include <string_view>

#include "finder/src/lib/progress.hpp"
#include "platform/task_dialog.hpp"

namespace ostrevane {

// The result dialog's buttons.
inline constexpr int kRetryButton = 100;
inline constexpr int kCloseButton = 101;

// The progress dialog's callback; `data` is the attempt's SharedProgress. On
// creation it starts the marquee; on each timer tick it mirrors the attempt's
// status into the dialog, sending only what changed, and once the status is
// final it sets done and presses button 2. Always returns S_OK.
platform::HResult task_dialog_callback(platform::TaskDialog& dialog,
                                       platform::TaskDialogNotification notification,
                                       std::uintptr_t wparam, std::intptr_t lparam, void* data);

// Returns the progress dialog of one attempt, with `progress` as callback data.
platform::TaskDialogConfig progress_dialog_config(SharedProgress& progress);

// Shows the progress dialog until the attempt ends or the user closes it;
// `progress.done()` tells which. A dialog that cannot be shown leaves done
// false.
void show_progress_dialog(SharedProgress& progress,
                          platform::DialogHost& host = platform::system_dialog_host());

// Returns the result dialog: `title` as main instruction, `message` as
// content, the error or information icon, and "Réessayer" (default) with
// "Fermer", or "Fermer" alone.
platform::TaskDialogConfig result_dialog_config(std::string_view title, std::string_view message,
                                                bool error_icon, bool offer_retry);

// Shows the result dialog; returns true exactly when "Réessayer" was pressed
// (false for "Fermer", Esc, the close box or a dialog that cannot be shown).
bool show_result_dialog(std::string_view title, std::string_view message, bool error_icon,
                        bool offer_retry,
                        platform::DialogHost& host = platform::system_dialog_host());

// Shows the result dialog of a program whose trust material is damaged
// (`reason` says how), with "Fermer" alone.
void show_damaged_program_dialog(std::string_view reason,
                                 platform::DialogHost& host = platform::system_dialog_host());

}  // namespace ostrevane
