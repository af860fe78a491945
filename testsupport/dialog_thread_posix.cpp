#include "testsupport/dialog_thread.hpp"

#include <chrono>

namespace ostrevane::test {

platform::TaskDialogConfig progress_dialog_config(platform::TaskDialogCallback callback,
                                                  void* data) {
  platform::TaskDialogConfig config;
  config.flags = platform::kTdfAllowDialogCancellation | platform::kTdfShowMarqueeProgressBar |
                 platform::kTdfCallbackTimer;
  config.window_title = "Ostrevane";
  config.main_instruction = "Installation de Ostrevane";
  config.content = "Recherche…";
  config.buttons = {{platform::kIdCancel, "Annuler"}};
  config.callback = callback;
  config.callback_data = data;
  return config;
}

DialogThread::DialogThread(PseudoTerminal& terminal, const platform::TaskDialogConfig& config)
    : terminal_(terminal), host_(terminal.device()), thread_([this, config] {
        result_ = host_.show(config);
        closed_ = true;
      }) {}

DialogThread::~DialogThread() {
  // Keys typed before the dialog shows are dropped: type until it goes.
  while (thread_.joinable() && !closed_) {
    terminal_.type("\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

std::expected<int, std::error_code> DialogThread::result() {
  thread_.join();
  return *result_;
}

}  // namespace ostrevane::test
