#include "finder/src/main/dialogs.hpp"

#include <string>

#include "proxy/src/discover/box_names.hpp"

namespace ostrevane {
namespace {

using platform::TaskDialog;
using platform::TaskDialogNotification;

constexpr std::string_view kWindowTitle = "Ostrevane";
constexpr std::string_view kSearchingText = "Recherche du boîtier du cabinet sur le réseau…";
constexpr unsigned kMarqueePeriodMs = 30;
constexpr unsigned kDialogWidth = 300;
constexpr std::uint64_t kMebibyte = 1024 * 1024;

// What the dialog is to show for one update.
ShownProgress shown_for(const ProgressUpdate& update) {
  using Bar = ShownProgress::Bar;
  if (const auto* found = std::get_if<BoxFound>(&update)) {
    return {
        "Boîtier du cabinet trouvé (" + std::string(edition_display_name(found->product)) + ")…",
        Bar::Marquee, 0};
  }
  if (const auto* download = std::get_if<Downloading>(&update)) {
    if (download->total == 0) {
      return {"Téléchargement depuis le boîtier…", Bar::Marquee, 0};
    }
    // In 128 bits: done * 100 overflows 64 bits for sizes above 2^64 / 100.
    const auto percent = static_cast<unsigned __int128>(download->done) * 100 / download->total;
    return {"Téléchargement depuis le boîtier… " + std::to_string(download->done / kMebibyte) +
                " Mo sur " + std::to_string(download->total / kMebibyte) + " Mo",
            Bar::Position, static_cast<unsigned>(percent > 100 ? 100 : percent)};
  }
  if (std::holds_alternative<Installing>(update)) {
    return {"Installation…", Bar::Marquee, 0};
  }
  return {std::string(kSearchingText), Bar::Marquee, 0};
}

void apply(TaskDialog& dialog, ShownProgress& shown, ShownProgress next) {
  using Bar = ShownProgress::Bar;
  if (next.text != shown.text) {
    dialog.set_element_text(platform::TaskDialogElement::kContent, next.text);
  }
  if (shown.bar == Bar::Position && next.bar == Bar::Marquee) {
    dialog.set_marquee_progress_bar(true);
    dialog.set_progress_bar_marquee(true, kMarqueePeriodMs);
  } else if (next.bar == Bar::Position) {
    if (shown.bar == Bar::Marquee) {
      dialog.set_marquee_progress_bar(false);
    }
    dialog.set_progress_bar_pos(static_cast<int>(next.percent));
  }
  shown = std::move(next);
}

void tick(TaskDialog& dialog, SharedProgress& progress) {
  // The status lock is held for the copy only, so the worker never waits on
  // the dialog.
  const AttemptStatus status = progress.status();
  if (is_final(status)) {
    progress.set_done();
    dialog.click_button(platform::kIdCancel);
    return;
  }
  ShownProgress next = shown_for(std::get<Progress>(status).update);
  progress.with_shown([&](ShownProgress& shown) { apply(dialog, shown, std::move(next)); });
}

}  // namespace

platform::HResult task_dialog_callback(TaskDialog& dialog, TaskDialogNotification notification,
                                       std::uintptr_t, std::intptr_t, void* data) {
  if (notification == TaskDialogNotification::kCreated) {
    dialog.set_progress_bar_marquee(true, kMarqueePeriodMs);
  } else if (notification == TaskDialogNotification::kTimer) {
    tick(dialog, *static_cast<SharedProgress*>(data));
  }
  return platform::kHrOk;
}

platform::TaskDialogConfig progress_dialog_config(SharedProgress& progress) {
  platform::TaskDialogConfig config;
  config.flags = platform::kTdfAllowDialogCancellation | platform::kTdfShowMarqueeProgressBar |
                 platform::kTdfCallbackTimer | platform::kTdfPositionRelativeToWindow;
  config.window_title = kWindowTitle;
  config.main_instruction = "Installation de Ostrevane";
  config.content = kSearchingText;
  config.buttons = {{platform::kIdCancel, "Annuler"}};
  config.callback = task_dialog_callback;
  config.callback_data = &progress;
  config.width = kDialogWidth;
  return config;
}

void show_progress_dialog(SharedProgress& progress, platform::DialogHost& host) {
  // Which button closed the dialog tells nothing: the callback closes it with
  // the cancel button too. done is the answer.
  (void)host.show(progress_dialog_config(progress));
}

platform::TaskDialogConfig result_dialog_config(std::string_view title, std::string_view message,
                                                bool error_icon, bool offer_retry) {
  platform::TaskDialogConfig config;
  config.flags = platform::kTdfAllowDialogCancellation | platform::kTdfPositionRelativeToWindow;
  config.window_title = kWindowTitle;
  config.main_icon =
      error_icon ? platform::TaskDialogIcon::kError : platform::TaskDialogIcon::kInformation;
  config.main_instruction = title;
  config.content = message;
  if (offer_retry) {
    config.buttons = {{kRetryButton, "Réessayer"}, {kCloseButton, "Fermer"}};
    config.default_button = kRetryButton;
  } else {
    config.buttons = {{kCloseButton, "Fermer"}};
    config.default_button = kCloseButton;
  }
  config.width = kDialogWidth;
  return config;
}

bool show_result_dialog(std::string_view title, std::string_view message, bool error_icon,
                        bool offer_retry, platform::DialogHost& host) {
  const auto pressed = host.show(result_dialog_config(title, message, error_icon, offer_retry));
  return pressed && *pressed == kRetryButton;
}

void show_damaged_program_dialog(std::string_view reason, platform::DialogHost& host) {
  const std::string message = "Ce programme d'installation est endommagé (" + std::string(reason) +
                              "). Téléchargez-le à nouveau.";
  (void)show_result_dialog("Installation impossible", message, true, false, host);
}

}  // namespace ostrevane
