#include "platform/task_dialog_win.hpp"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <expected>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "testsupport/task_dialog_window_win.hpp"

namespace ostrevane::platform {
namespace {

using test::DialogDriver;
using test::DialogWindow;
using Buttons = std::vector<TaskDialogButton>;

const Buttons kRetryAndClose = {{100, "Réessayer"}, {101, "Fermer"}};

TaskDialogConfig result_like(Buttons buttons, int default_button,
                             TaskDialogIcon icon = TaskDialogIcon::kError) {
  TaskDialogConfig config;
  config.flags = kTdfAllowDialogCancellation | kTdfPositionRelativeToWindow;
  config.window_title = "Ostrevane";
  config.main_icon = icon;
  config.main_instruction = "Boîtier introuvable";
  config.content = "Vérifiez que le boîtier est allumé… puis réessayez.";
  config.buttons = std::move(buttons);
  config.default_button = default_button;
  config.width = 300;
  return config;
}

// Runs `script` against the dialog that `config` shows on this thread and
// returns what the dialog returned; fails the test when the script left the
// dialog open.
std::expected<int, std::error_code> show_driven(const TaskDialogConfig& config,
                                                std::function<void(const DialogWindow&)> script) {
  DialogDriver driver([&](DWORD thread) {
    const auto window = DialogWindow::wait_for(thread);
    if (!window) {
      ADD_FAILURE() << "no dialog was shown";
      return;
    }
    script(*window);
    EXPECT_TRUE(window->wait_closed()) << "the dialog stayed open";
  });
  auto pressed = show_task_dialog(config);
  EXPECT_EQ(driver.stop(), 0);
  return pressed;
}

struct ThreadCase {
  std::string name;
  Buttons buttons;
  int default_button;
  std::function<void(const DialogWindow&)> act;
  int pressed;
};

void PrintTo(const ThreadCase& c, std::ostream* os) {
  *os << c.name;
}

class DialogFromAThreadTest : public testing::TestWithParam<ThreadCase> {};

TEST_P(DialogFromAThreadTest, ReturnsThePressedButton) {
  const ThreadCase& c = GetParam();
  const auto pressed = show_driven(result_like(c.buttons, c.default_button), c.act);
  ASSERT_TRUE(pressed.has_value()) << pressed.error().message();
  EXPECT_EQ(*pressed, c.pressed);
}

void press_enter(const DialogWindow& window) {
  // The dialog's own message loop turns Enter into a click on its default
  // button.
  PostMessageW(window.handle(), WM_KEYDOWN, VK_RETURN, 0);
  PostMessageW(window.handle(), WM_KEYUP, VK_RETURN, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DialogFromAThreadTest,
    testing::Values(
        ThreadCase{"ClickFirst", kRetryAndClose, 100, [](auto& w) { w.click(100); }, 100},
        ThreadCase{"ClickSecond", kRetryAndClose, 100, [](auto& w) { w.click(101); }, 101},
        ThreadCase{"CloseBoxCancels", kRetryAndClose, 100, [](auto& w) { w.close(); }, kIdCancel},
        ThreadCase{
            "CloseBoxWithOneButton", {{101, "Fermer"}}, 101, [](auto& w) { w.close(); }, kIdCancel},
        ThreadCase{"EnterPressesTheDefault", kRetryAndClose, 100, press_enter, 100},
        ThreadCase{"EnterPressesALaterDefault", kRetryAndClose, 101, press_enter, 101},
        ThreadCase{"NoDefaultIsTheFirst", kRetryAndClose, 0, press_enter, 100}),
    [](const auto& info) { return info.param.name; });

HICON system_icon(LPCWSTR id) {
  return static_cast<HICON>(LoadImageW(nullptr, id, IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
}

struct LookCase {
  std::string name;
  TaskDialogIcon icon;
  LPCWSTR system_icon;  // null: no icon
  Buttons buttons;
  int default_button;
};

void PrintTo(const LookCase& c, std::ostream* os) {
  *os << c.name;
}

class DialogLookTest : public testing::TestWithParam<LookCase> {};

TEST_P(DialogLookTest, ShowsTextsButtonsAndIcon) {
  const LookCase& c = GetParam();
  const TaskDialogConfig config = result_like(c.buttons, c.default_button, c.icon);
  const auto pressed = show_driven(config, [&](const DialogWindow& window) {
    EXPECT_EQ(window.title(), "Ostrevane");
    EXPECT_EQ(window.texts(), (std::vector<std::string>{config.main_instruction, config.content}));
    EXPECT_EQ(window.buttons(), c.buttons);
    EXPECT_EQ(window.default_button(), c.default_button);
    EXPECT_EQ(window.progress_bar(), std::nullopt);
    if (c.system_icon == nullptr) {
      EXPECT_EQ(window.icon(), nullptr);
    } else {
      EXPECT_NE(window.icon(), nullptr);
      EXPECT_EQ(window.icon(), system_icon(c.system_icon));
    }
    window.close();
  });
  EXPECT_EQ(pressed, kIdCancel);
}

INSTANTIATE_TEST_SUITE_P(
    Looks, DialogLookTest,
    testing::Values(
        LookCase{"ErrorWithRetry", TaskDialogIcon::kError, IDI_ERROR, kRetryAndClose, 100},
        LookCase{"InformationWithRetry", TaskDialogIcon::kInformation, IDI_INFORMATION,
                 kRetryAndClose, 100},
        LookCase{"ErrorCloseOnly", TaskDialogIcon::kError, IDI_ERROR, {{101, "Fermer"}}, 101},
        LookCase{"NoIcon", TaskDialogIcon::kNone, nullptr, {{2, "Annuler"}}, 2}),
    [](const auto& info) { return info.param.name; });

// What a callback saw, and what a test asks it to do on its next tick.
struct CallbackLog {
  std::mutex mutex;
  std::vector<std::pair<TaskDialogNotification, std::uintptr_t>> seen;
  std::atomic<int> requested{0};
  std::atomic<int> applied{0};
  int ticks_before_click = -1;  // the callback clicks 101 on this tick; -1: never
};

using Step = void (*)(TaskDialog& dialog);

// The steps that the progress-like dialog's callback takes on request, one a
// tick, as the setup's own callback does.
constexpr Step kSteps[] = {
    [](TaskDialog& d) {
      d.set_element_text(TaskDialogElement::kContent,
                         "Téléchargement depuis le boîtier… 1 Mo sur 2 Mo");
      d.set_marquee_progress_bar(false);
      d.set_progress_bar_pos(49);
    },
    [](TaskDialog& d) { d.set_progress_bar_pos(100); },
    [](TaskDialog& d) {
      d.set_element_text(TaskDialogElement::kContent, "Installation…");
      d.set_marquee_progress_bar(true);
      d.set_progress_bar_marquee(true, 30);
    },
    [](TaskDialog& d) { d.click_button(kIdCancel); },
};

HResult logging_callback(TaskDialog& dialog, TaskDialogNotification notification,
                         std::uintptr_t wparam, std::intptr_t, void* data) {
  auto& log = *static_cast<CallbackLog*>(data);
  std::size_t ticks = 0;
  {
    std::lock_guard lock(log.mutex);
    log.seen.emplace_back(notification, wparam);
    ticks = std::ranges::count(log.seen, TaskDialogNotification::kTimer,
                               &std::pair<TaskDialogNotification, std::uintptr_t>::first);
  }
  if (notification == TaskDialogNotification::kTimer) {
    if (log.applied < log.requested) {
      kSteps[log.applied](dialog);
      ++log.applied;
    }
    if (log.ticks_before_click >= 0 && ticks == static_cast<std::size_t>(log.ticks_before_click)) {
      dialog.click_button(101);
    }
  }
  return kHrOk;
}

TEST(TaskDialogCallbackTest, TheCallbacksOwnClickClosesTheDialog) {
  CallbackLog log;
  log.ticks_before_click = 3;
  TaskDialogConfig config = result_like(kRetryAndClose, 100);
  config.flags |= kTdfCallbackTimer;
  config.callback = logging_callback;
  config.callback_data = &log;
  // The driver only watches: the callback closes the dialog itself.
  const auto pressed =
      show_driven(config, [](const DialogWindow& window) { EXPECT_TRUE(window.wait_closed()); });
  EXPECT_EQ(pressed, 101);

  std::lock_guard lock(log.mutex);
  using N = TaskDialogNotification;
  ASSERT_GE(log.seen.size(), 6u);
  EXPECT_EQ(log.seen.front().first, N::kCreated);
  std::uintptr_t last_elapsed = 0;
  for (std::size_t i = 1; i <= 3; ++i) {
    EXPECT_EQ(log.seen[i].first, N::kTimer);
    // Milliseconds since the dialog was created: they only grow.
    EXPECT_GE(log.seen[i].second, last_elapsed);
    last_elapsed = log.seen[i].second;
  }
  EXPECT_EQ(log.seen[4], std::pair(N::kButtonClicked, std::uintptr_t{101}));
  EXPECT_EQ(log.seen.back().first, N::kDestroyed);
}

TEST(TaskDialogCallbackTest, TickUpdatesReachTheWindow) {
  CallbackLog log;
  TaskDialogConfig config;
  config.flags = kTdfAllowDialogCancellation | kTdfShowMarqueeProgressBar | kTdfCallbackTimer |
                 kTdfPositionRelativeToWindow;
  config.window_title = "Ostrevane";
  config.main_instruction = "Installation de Ostrevane";
  config.content = "Recherche du boîtier du cabinet sur le réseau…";
  config.buttons = {{kIdCancel, "Annuler"}};
  config.callback = logging_callback;
  config.callback_data = &log;
  config.width = 300;

  const auto pressed = show_driven(config, [&](const DialogWindow& window) {
    // A marquee shows no position: only the style is compared.
    const auto after_step = [&](int step, std::string_view text, bool marquee, int position) {
      log.requested = step;
      const bool shown = window.wait_until([&](const DialogWindow& w) {
        const auto bar = w.progress_bar();
        return log.applied == step && w.shows(text) && bar && bar->marquee == marquee &&
               (marquee || bar->position == position);
      });
      EXPECT_TRUE(shown) << "step " << step << ": " << testing::PrintToString(window.texts());
      return shown;
    };
    if (after_step(0, config.content, true, 0) &&
        after_step(1, "Téléchargement depuis le boîtier… 1 Mo sur 2 Mo", false, 49) &&
        after_step(2, "Téléchargement depuis le boîtier… 1 Mo sur 2 Mo", false, 100) &&
        after_step(3, "Installation…", true, 0)) {
      log.requested = 4;
    }
  });
  EXPECT_EQ(pressed, kIdCancel);
}

// An error object that counts its references, as the thread's error
// information after a failed call.
class CountedErrorInfo final : public IErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
    if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IErrorInfo)) {
      AddRef();
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }

  std::atomic<ULONG> references{1};
};

CountedErrorInfo failure_info;

// TaskDialogIndirect given a structure of the wrong size, which it refuses,
// after the failure has left error information on the thread.
HRESULT WINAPI refused_call(const TASKDIALOGCONFIG* config, int* button, int* radio,
                            BOOL* verified) {
  TASKDIALOGCONFIG wrong = *config;
  wrong.cbSize = sizeof wrong - 1;
  SetErrorInfo(0, &failure_info);
  return TaskDialogIndirect(&wrong, button, radio, verified);
}

TEST(TaskDialogFailureTest, ReturnsTheErrorAndReleasesTheErrorInformation) {
  Win32DialogHost host(refused_call);
  const auto pressed = host.show(result_like(kRetryAndClose, 100));
  ASSERT_FALSE(pressed.has_value());
  EXPECT_EQ(pressed.error(), std::error_code(ERROR_INVALID_PARAMETER, std::system_category()));
  IErrorInfo* left = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE);
  EXPECT_EQ(left, nullptr);
  EXPECT_EQ(failure_info.references, 1u);
}

TEST(TaskDialogFailureTest, HresultErrors) {
  const std::pair<HRESULT, int> cases[] = {
      {E_INVALIDARG, ERROR_INVALID_PARAMETER},
      {E_OUTOFMEMORY, ERROR_OUTOFMEMORY},
      {HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), ERROR_ACCESS_DENIED},
      {E_FAIL, static_cast<int>(0x80004005u)},
      {E_NOTIMPL, static_cast<int>(0x80004001u)},
  };
  for (const auto& [result, code] : cases) {
    EXPECT_EQ(hresult_error(result), std::error_code(code, std::system_category())) << result;
  }
}

}  // namespace
}  // namespace ostrevane::platform
