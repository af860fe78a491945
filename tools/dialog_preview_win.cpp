// Shows one of the setup's dialogs in a chosen state, for screenshots: once
// the dialog is drawn it prints its window's rectangle ("X Y WIDTH HEIGHT",
// screen pixels) on a line, then closes the dialog when its input ends.
//   ostrevane-dialog-preview STATE
// STATE: searching, box-found, downloading (the progress dialog),
// no-box, download, not-genuine (a failure's result dialog) or damaged.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "finder/src/main/attempts.hpp"
#include "finder/src/main/dialogs.hpp"
#include "testsupport/task_dialog_window_win.hpp"

namespace ostrevane {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::optional<ProgressUpdate> progress_state(std::string_view name) {
  if (name == "searching") {
    return Searching{};
  }
  if (name == "box-found") {
    return BoxFound{"cabinet-du-port", "lunel"};
  }
  if (name == "downloading") {
    return Downloading{150 * kMiB + 12345, 412 * kMiB};
  }
  return std::nullopt;
}

std::optional<FailureKind> failure_state(std::string_view name) {
  if (name == "no-box") {
    return FailureKind::no_box();
  }
  if (name == "download") {
    return FailureKind::download("/desktop/ostrevane-setup.exe: stalled");
  }
  if (name == "not-genuine") {
    return FailureKind::not_genuine("certificate verify failed");
  }
  return std::nullopt;
}

std::atomic<int> ticks{0};

platform::HResult counting_callback(platform::TaskDialog& dialog,
                                    platform::TaskDialogNotification notification,
                                    std::uintptr_t wparam, std::intptr_t lparam, void* data) {
  const auto result = task_dialog_callback(dialog, notification, wparam, lparam, data);
  if (notification == platform::TaskDialogNotification::kTimer) {
    ++ticks;
  }
  return result;
}

// Waits for the dialog of `thread` to show its state, prints its rectangle,
// and closes it once the standard input ends.
void present(DWORD thread, bool progress) {
  const auto window = test::DialogWindow::wait_for(thread);
  if (!window) {
    std::fprintf(stderr, "no dialog was shown\n");
    ExitProcess(1);
  }
  // The progress dialog shows its state from its first tick on.
  const bool ready = !progress || window->wait_until([](const auto&) { return ticks >= 2; });
  if (!ready) {
    std::fprintf(stderr, "the dialog does not tick\n");
    ExitProcess(1);
  }
  RedrawWindow(window->handle(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT rect{};
  GetWindowRect(window->handle(), &rect);
  std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  window->close();
}

int preview(std::string_view state) {
  const auto update = progress_state(state);
  const auto failure = failure_state(state);
  if (!update && !failure && state != "damaged") {
    std::fprintf(stderr, "unknown state: %.*s\n", static_cast<int>(state.size()), state.data());
    return 2;
  }
  std::thread presenter(present, GetCurrentThreadId(), update.has_value());
  if (update) {
    SharedProgress progress;
    progress.set_update(*update);
    platform::TaskDialogConfig config = progress_dialog_config(progress);
    config.callback = counting_callback;
    (void)platform::show_task_dialog(config);
  } else if (failure) {
    const FailurePresentation shown = present_failure(*failure);
    (void)show_result_dialog(shown.title, failure_message(*failure), shown.error_icon,
                             shown.offer_retry);
  } else {
    show_damaged_program_dialog("no certificate in this PEM");
  }
  presenter.join();
  return 0;
}

}  // namespace
}  // namespace ostrevane

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ostrevane-dialog-preview STATE\n");
    return 2;
  }
  return ostrevane::preview(argv[1]);
}
