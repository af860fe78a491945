#include "platform/task_dialog.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/terminal_dialog.hpp"
#include "testsupport/dialog_thread.hpp"
#include "testsupport/pseudo_terminal.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

using namespace std::chrono_literals;

using test::DialogThread;
using test::PseudoTerminal;

// Returns whether `text` was written to `pty` within five seconds.
testing::AssertionResult shown(PseudoTerminal& pty, std::string_view text) {
  if (pty.wait_for(text)) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "not shown: " << text << "\nshown: " << pty.output();
}

TaskDialogConfig result_config(std::uint32_t flags) {
  TaskDialogConfig config;
  config.flags = flags;
  config.window_title = "Ostrevane";
  config.main_icon = TaskDialogIcon::kError;
  config.main_instruction = "Installation impossible";
  config.content = "Le boîtier du cabinet ne répond pas…";
  config.buttons = {{100, "Réessayer"}, {101, "Fermer"}, {7, "Étape"}};
  return config;
}

TEST(TerminalDialogTest, DrawsTheTextsAndRestoresTheTerminal) {
  PseudoTerminal pty;
  DialogThread running(pty, result_config(kTdfAllowDialogCancellation));
  ASSERT_TRUE(shown(pty, "Le boîtier du cabinet ne répond pas…"));
  EXPECT_EQ(pty.mode().c_lflag & (ICANON | ECHO), 0u) << "raw while shown";
  const std::string output = pty.output();
  EXPECT_NE(output.find("┌─ Ostrevane ─"), std::string::npos);
  EXPECT_NE(output.find("(!) Installation impossible"), std::string::npos);
  EXPECT_NE(output.find("\x1b[7m[ Réessayer ]\x1b[0m  [ Fermer ]"), std::string::npos);
  pty.type("\r");
  EXPECT_EQ(running.result(), 100);
  const termios after = pty.mode();
  EXPECT_EQ(after.c_lflag, pty.initial_mode().c_lflag);
  EXPECT_EQ(after.c_iflag, pty.initial_mode().c_iflag);
  EXPECT_EQ(after.c_oflag, pty.initial_mode().c_oflag);
}

struct KeyCase {
  std::string name;
  std::uint32_t flags;
  int default_button;
  std::string keys;
  std::string then;  // typed after a pause, once `keys` were read and ignored
  int pressed;
};

void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << c.name;
}

class TerminalKeyTest : public testing::TestWithParam<KeyCase> {};

TEST_P(TerminalKeyTest, PressesTheRightButton) {
  TaskDialogConfig config = result_config(GetParam().flags);
  config.default_button = GetParam().default_button;
  PseudoTerminal pty;
  DialogThread running(pty, config);
  ASSERT_TRUE(shown(pty, "[ Fermer ]"));
  pty.type(GetParam().keys);
  if (!GetParam().then.empty()) {
    std::this_thread::sleep_for(100ms);
    pty.type(GetParam().then);
  }
  EXPECT_EQ(running.result(), GetParam().pressed);
}

constexpr std::uint32_t kCancel = kTdfAllowDialogCancellation;

INSTANTIATE_TEST_SUITE_P(
    Keys, TerminalKeyTest,
    testing::Values(KeyCase{"EnterFirstButtonByDefault", kCancel, 0, "\r", "", 100},
                    KeyCase{"EnterChosenDefault", kCancel, 101, "\r", "", 101},
                    KeyCase{"EnterUnknownDefaultIsFirst", kCancel, 55, "\r", "", 100},
                    KeyCase{"Escape", kCancel, 0, "\x1b", "", 2},
                    KeyCase{"CtrlC", kCancel, 0, "\x03", "", 2},
                    KeyCase{"EscapeWithoutCancellation", 0, 0, "\x1b", "\r", 100},
                    KeyCase{"CtrlCWithoutCancellation", 0, 0, "\x03", "\r", 100},
                    KeyCase{"Initial", 0, 0, "f", "", 101},
                    KeyCase{"InitialUpperCase", 0, 0, "R", "", 100},
                    KeyCase{"InitialWithAccent", 0, 0, "\xC3\xA9", "", 7},
                    KeyCase{"InitialWithAccentUpperCase", 0, 0, "\xC3\x89", "", 7},
                    KeyCase{"ArrowKeyIgnored", kCancel, 101, "\x1b[B\x1bOA", "\r", 101},
                    KeyCase{"OtherLettersIgnored", kCancel, 0, "xyz\xC3\xA0", "\r", 100}),
    [](const auto& info) { return info.param.name; });

// What the callback of the timer test saw and does.
struct TimerScript {
  std::vector<std::pair<TaskDialogNotification, std::uintptr_t>> seen;
  int ticks = 0;
  bool refused_once = false;
};

HResult timer_callback(TaskDialog& dialog, TaskDialogNotification notification,
                       std::uintptr_t wparam, std::intptr_t, void* data) {
  auto& script = *static_cast<TimerScript*>(data);
  script.seen.emplace_back(notification, wparam);
  if (notification == TaskDialogNotification::kTimer) {
    if (++script.ticks == 2) {
      dialog.set_element_text(TaskDialogElement::kContent, "Téléchargement… 1 Mo sur 2 Mo");
      dialog.set_marquee_progress_bar(false);
      dialog.set_progress_bar_pos(49);
    } else if (script.ticks == 4) {
      dialog.click_button(kIdCancel);
    }
  }
  if (notification == TaskDialogNotification::kButtonClicked && !script.refused_once) {
    script.refused_once = true;
    return kHrFalse;
  }
  return kHrOk;
}

TEST(TerminalDialogTest, TimerDrivesTheCallbackAndItsMessages) {
  TimerScript script;
  PseudoTerminal pty;
  DialogThread running(pty, test::progress_dialog_config(timer_callback, &script));
  ASSERT_TRUE(shown(pty, "Recherche…"));
  pty.type("\r");  // refused by the callback: the dialog stays
  ASSERT_TRUE(shown(pty, "Téléchargement… 1 Mo sur 2 Mo"));
  ASSERT_TRUE(shown(pty, "49 %"));
  EXPECT_EQ(running.result(), kIdCancel);

  ASSERT_GE(script.seen.size(), 7u);
  EXPECT_EQ(script.seen.front().first, TaskDialogNotification::kCreated);
  EXPECT_EQ(script.seen.back().first, TaskDialogNotification::kDestroyed);
  std::vector<std::uintptr_t> timer_ms;
  std::vector<std::uintptr_t> clicks;
  for (const auto& [notification, wparam] : script.seen) {
    if (notification == TaskDialogNotification::kTimer) {
      timer_ms.push_back(wparam);
    } else if (notification == TaskDialogNotification::kButtonClicked) {
      clicks.push_back(wparam);
    }
  }
  ASSERT_EQ(timer_ms.size(), 4u);
  EXPECT_GE(timer_ms[0], 190u);
  EXPECT_GE(timer_ms[3], 790u);
  EXPECT_EQ(clicks, (std::vector<std::uintptr_t>{2, 2}));
}

TEST(TerminalDialogTest, NoTerminalFails) {
  test::ScratchDir dir;
  const auto file = dir.path() / "not-a-terminal";
  std::ofstream(file) << "x";
  const TaskDialogConfig config = result_config(kCancel);

  const auto regular = TerminalDialogHost(file).show(config);
  ASSERT_FALSE(regular.has_value());
  EXPECT_EQ(regular.error(), std::error_code(ENOTTY, std::system_category()));

  const auto missing = TerminalDialogHost(dir.path() / "missing").show(config);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), std::error_code(ENOENT, std::system_category()));
}

TEST(TerminalDialogTest, ProcessWithoutControllingTerminalFails) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setsid();  // a new session has no controlling terminal
    const auto shown = show_task_dialog(result_config(kCancel));
    ::_exit(shown.has_value() ? 1 : shown.error() ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ostrevane::platform
