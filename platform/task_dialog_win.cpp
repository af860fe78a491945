#include "platform/task_dialog_win.hpp"

#include <oleauto.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/wide_text_win.hpp"

namespace ostrevane::platform {
namespace {

// The structure's size that the system checks; the SDK packs it to bytes.
static_assert(sizeof(TASKDIALOGCONFIG) == 160);

struct ComRelease {
  void operator()(IUnknown* object) const { object->Release(); }
};

// The dialog as its callback sees it: each call one message, handled at once
// by the dialog's window procedure on this thread.
class Win32TaskDialog final : public TaskDialog {
 public:
  void attach(HWND window) { window_ = window; }

  void set_element_text(TaskDialogElement element, std::string_view text) override {
    const std::wstring wide = to_wide(text);
    SendMessageW(window_, TDM_SET_ELEMENT_TEXT, static_cast<WPARAM>(element),
                 reinterpret_cast<LPARAM>(wide.c_str()));
  }
  void set_marquee_progress_bar(bool marquee) override {
    SendMessageW(window_, TDM_SET_MARQUEE_PROGRESS_BAR, marquee, 0);
  }
  void set_progress_bar_marquee(bool start, unsigned period_ms) override {
    SendMessageW(window_, TDM_SET_PROGRESS_BAR_MARQUEE, start, period_ms);
  }
  void set_progress_bar_pos(int position) override {
    SendMessageW(window_, TDM_SET_PROGRESS_BAR_POS, static_cast<WPARAM>(position), 0);
  }
  void click_button(int id) override {
    SendMessageW(window_, TDM_CLICK_BUTTON, static_cast<WPARAM>(id), 0);
  }

 private:
  HWND window_ = nullptr;
};

// What the system's callback needs: the portable configuration and the
// dialog object handed to its callback.
struct CallbackContext {
  const TaskDialogConfig& config;
  Win32TaskDialog dialog;
};

// Passes the notifications that the portable interface knows to the portable
// callback. An exception cannot cross the system's frames: it ends the program.
HRESULT CALLBACK forward_notification(HWND window, UINT notification, WPARAM wparam, LPARAM lparam,
                                      LONG_PTR data) noexcept {
  switch (notification) {
    case TDN_CREATED:
    case TDN_BUTTON_CLICKED:
    case TDN_TIMER:
    case TDN_DESTROYED:
      break;
    default:
      return S_OK;
  }
  auto& context = *reinterpret_cast<CallbackContext*>(data);
  context.dialog.attach(window);
  return context.config.callback(context.dialog, static_cast<TaskDialogNotification>(notification),
                                 wparam, lparam, context.config.callback_data);
}

LPCWSTR system_icon(TaskDialogIcon icon) {
  switch (icon) {
    case TaskDialogIcon::kError:
      return TD_ERROR_ICON;
    case TaskDialogIcon::kInformation:
      return TD_INFORMATION_ICON;
    case TaskDialogIcon::kNone:
      break;
  }
  return nullptr;
}

// The configuration in the system's form, with the UTF-16 texts it points to.
class NativeConfig {
 public:
  NativeConfig(const TaskDialogConfig& config, CallbackContext& context)
      : title_(to_wide(config.window_title)),
        instruction_(to_wide(config.main_instruction)),
        content_(to_wide(config.content)) {
    for (const TaskDialogButton& button : config.buttons) {
      button_texts_.push_back(to_wide(button.text));
    }
    for (std::size_t i = 0; i < config.buttons.size(); ++i) {
      buttons_.push_back({config.buttons[i].id, button_texts_[i].c_str()});
    }
    native_.cbSize = sizeof native_;
    native_.dwFlags = config.flags;
    native_.pszWindowTitle = title_.c_str();
    native_.pszMainIcon = system_icon(config.main_icon);
    native_.pszMainInstruction = instruction_.c_str();
    native_.pszContent = content_.c_str();
    native_.cButtons = static_cast<UINT>(buttons_.size());
    native_.pButtons = buttons_.empty() ? nullptr : buttons_.data();
    native_.nDefaultButton = config.default_button;
    if (config.callback != nullptr) {
      native_.pfCallback = forward_notification;
      native_.lpCallbackData = reinterpret_cast<LONG_PTR>(&context);
    }
    native_.cxWidth = config.width;
  }
  NativeConfig(const NativeConfig&) = delete;
  NativeConfig& operator=(const NativeConfig&) = delete;

  const TASKDIALOGCONFIG& get() const { return native_; }

 private:
  std::wstring title_;
  std::wstring instruction_;
  std::wstring content_;
  std::vector<std::wstring> button_texts_;
  std::vector<TASKDIALOG_BUTTON> buttons_;
  TASKDIALOGCONFIG native_{};
};

}  // namespace

std::expected<int, std::error_code> Win32DialogHost::show(const TaskDialogConfig& config) {
  CallbackContext context{config, {}};
  const NativeConfig native(config, context);
  int pressed = 0;
  const HRESULT result = call_(&native.get(), &pressed, nullptr, nullptr);
  if (FAILED(result)) {
    // The failure may have left error information on the thread; none is to
    // stay behind.
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK) {
      std::unique_ptr<IErrorInfo, ComRelease> release(info);
    }
    return std::unexpected(hresult_error(result));
  }
  return pressed;
}

std::error_code hresult_error(HRESULT result) {
  if (HRESULT_FACILITY(result) == FACILITY_WIN32) {
    return {HRESULT_CODE(result), std::system_category()};
  }
  return {static_cast<int>(result), std::system_category()};
}

DialogHost& system_dialog_host() {
  static Win32DialogHost host;
  return host;
}

std::expected<int, std::error_code> show_task_dialog(const TaskDialogConfig& config) {
  return system_dialog_host().show(config);
}

}  // namespace ostrevane::platform
