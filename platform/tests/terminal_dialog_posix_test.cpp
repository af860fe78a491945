#include "platform/terminal_dialog.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/terminal_frame.hpp"
#include "testsupport/dialog_thread.hpp"
#include "testsupport/pseudo_terminal.hpp"
#include "testsupport/screen_model.hpp"

namespace ostrevane::platform {
namespace {

using namespace std::chrono_literals;
using test::DialogThread;
using test::PseudoTerminal;
using test::ScreenModel;

// What the shell showed before the program started; the dialog comes below.
constexpr char kPrompt[] = "$ ostrevane-setup";
// Rows enough for the model that no dialog scrolls the prompt away.
constexpr unsigned kModelRows = 60;
// Drawn last of every drawing: the dialog's bottom left corner.
constexpr char kBottomCorner[] = "└";

TaskDialogConfig result_config() {
  TaskDialogConfig config;
  config.flags = kTdfAllowDialogCancellation;
  config.window_title = "Ostrevane";
  config.main_icon = TaskDialogIcon::kError;
  config.main_instruction = "Installation impossible";
  config.content =
      "Le boîtier Ostrevane a été trouvé sur ce réseau, mais il ne répond pas. Il est "
      "peut-être en train de démarrer : patientez une minute, puis réessayez.";
  config.buttons = {{100, "Réessayer"}, {101, "Fermer"}};
  config.default_button = 100;
  return config;
}

// Returns `text` cut into pieces of `columns` code points, as a terminal that
// wide shows it, each without trailing blanks.
std::vector<std::string> wrapped(const std::string& text, unsigned columns) {
  std::vector<std::string> rows(1);
  unsigned used = 0;
  for (const char c : text) {
    const bool starts_point = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (starts_point && used == columns) {
      rows.emplace_back();
      used = 0;
    }
    rows.back() += c;
    used += starts_point ? 1 : 0;
  }
  for (std::string& row : rows) {
    row.erase(row.find_last_not_of(' ') + 1);
  }
  return rows;
}

// Returns the screen of the model with the prompt, then `config`'s dialog as
// drawn for a terminal `columns` wide (none when `columns` is 0).
std::vector<std::string> screen_with_dialog(const TaskDialogConfig& config, unsigned columns) {
  std::vector<std::string> screen{kPrompt};
  if (columns > 0) {
    TerminalFrame frame;
    frame.title = config.window_title;
    frame.icon = config.main_icon;
    frame.instruction = config.main_instruction;
    frame.content = config.content;
    frame.buttons = config.buttons;
    frame.default_button = config.default_button;
    for (const std::string& line : draw_frame(frame, columns)) {
      const std::string visible = std::regex_replace(line, std::regex("\x1b\\[[0-9]*m"), "");
      for (std::string& row : wrapped(visible, columns)) {
        screen.push_back(std::move(row));
      }
    }
  }
  screen.resize(kModelRows);
  return screen;
}

// Expects the model to show the prompt alone, with the cursor shown below it.
void expect_only_the_prompt(const ScreenModel& model) {
  EXPECT_EQ(model.screen(), screen_with_dialog(result_config(), 0));
  EXPECT_TRUE(model.history().empty());
  EXPECT_EQ(model.cursor_row(), 1u);
  EXPECT_EQ(model.cursor_column(), 0u);
  EXPECT_TRUE(model.cursor_visible());
  EXPECT_EQ(model.clears_of_the_screen(), 0);
  EXPECT_EQ(model.unknown(), 0);
}

struct TypedAheadCase {
  const char* name;
  const char* keys;  // each ends a line, so that it is seen to have arrived
};

void PrintTo(const TypedAheadCase& c, std::ostream* os) {
  *os << c.name;
}

class TypedAheadTest : public testing::TestWithParam<TypedAheadCase> {};

TEST_P(TypedAheadTest, KeysTypedBeforeTheDialogShowsPressNothing) {
  PseudoTerminal pty;
  pty.type(GetParam().keys);
  ASSERT_TRUE(pty.typed_arrived());
  DialogThread dialog(pty, result_config());
  ASSERT_TRUE(pty.wait_for("[ Fermer ]"));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(dialog.closed()) << "a key typed ahead closed the dialog";
  pty.type("f");  // typed once it shows, a key counts
  EXPECT_EQ(dialog.result(), 101);
}

INSTANTIATE_TEST_SUITE_P(Keys, TypedAheadTest,
                         testing::Values(TypedAheadCase{"Enter", "\r"},
                                         TypedAheadCase{"EnterTwice", "\r\r"},
                                         TypedAheadCase{"Escape", "\x1b\r"},
                                         TypedAheadCase{"Initial", "r\r"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ResizeCase {
  const char* name;
  unsigned from;
  unsigned to;
};

void PrintTo(const ResizeCase& c, std::ostream* os) {
  *os << c.name;
}

class ResizeTest : public testing::TestWithParam<ResizeCase> {};

// The model rewraps its lines on a resize as most terminals now do; the
// dialog is to be drawn anew at the new width over what is left of the old
// drawing, and erased whole when it closes.
TEST_P(ResizeTest, RedrawsAtTheNewWidthAndLeavesNothingBehind) {
  const ResizeCase& c = GetParam();
  const TaskDialogConfig config = result_config();
  PseudoTerminal pty(c.from, 24);
  ScreenModel model(c.from, kModelRows);
  model.feed(std::string(kPrompt) + "\r\n");
  DialogThread dialog(pty, config);
  ASSERT_TRUE(pty.wait_for(kBottomCorner));
  const std::string first = pty.settle();
  model.feed(first);
  EXPECT_EQ(model.screen(), screen_with_dialog(config, c.from));

  pty.resize(c.to, 24);
  model.resize(c.to, kModelRows);
  // This terminal is no process's controlling terminal: the signal that a
  // resize sends is sent here.
  ASSERT_EQ(::kill(::getpid(), SIGWINCH), 0);
  ASSERT_TRUE(pty.wait_for(kBottomCorner, first.size())) << "not redrawn";
  const std::string second = pty.settle();
  model.feed(second.substr(first.size()));
  EXPECT_EQ(model.screen(), screen_with_dialog(config, c.to));
  EXPECT_TRUE(model.history().empty());

  pty.type("f");
  EXPECT_EQ(dialog.result(), 101);
  model.feed(pty.settle().substr(second.size()));
  expect_only_the_prompt(model);
}

INSTANTIATE_TEST_SUITE_P(Widths, ResizeTest,
                         testing::Values(ResizeCase{"Narrower", 80, 40},
                                         ResizeCase{"Wider", 40, 100},
                                         ResizeCase{"NarrowerThanTheDialog", 80, 20},
                                         ResizeCase{"FromNarrowerThanTheDialog", 20, 80},
                                         ResizeCase{"Unchanged", 60, 60}),
                         [](const auto& info) { return std::string(info.param.name); });

// Changes the progress dialog's content and bar from tick to tick, its height
// too, then closes it.
HResult changing_callback(TaskDialog& dialog, TaskDialogNotification notification, std::uintptr_t,
                          std::intptr_t, void* data) {
  int& ticks = *static_cast<int*>(data);
  if (notification == TaskDialogNotification::kCreated) {
    dialog.set_progress_bar_marquee(true, 30);
  }
  if (notification != TaskDialogNotification::kTimer) {
    return kHrOk;
  }
  switch (++ticks) {
    case 2:
      dialog.set_element_text(TaskDialogElement::kContent,
                              "Boîtier du cabinet trouvé (Lunel)… " + std::string(150, 'x'));
      break;
    case 3:
      dialog.set_element_text(TaskDialogElement::kContent, "Téléchargement… 1 Mo sur 2 Mo");
      dialog.set_marquee_progress_bar(false);
      dialog.set_progress_bar_pos(49);
      break;
    case 4:
      dialog.set_element_text(TaskDialogElement::kContent, "Installation…");
      dialog.set_marquee_progress_bar(true);
      break;
    case 6:
      dialog.click_button(kIdCancel);
      break;
  }
  return kHrOk;
}

// A dialog at the top of the screen (after a `clear`) is the case where a
// clear of what lies below the dialog's first row clears the whole screen.
TEST(TerminalDialogRedraw, RedrawsInPlaceWithoutClearingTheScreen) {
  int ticks = 0;
  PseudoTerminal pty(80, 24);
  DialogThread dialog(pty, test::progress_dialog_config(changing_callback, &ticks));
  EXPECT_EQ(dialog.result(), kIdCancel);
  const std::string output = pty.settle();

  EXPECT_EQ(output.find("\x1b[2J"), std::string::npos);
  EXPECT_EQ(output.find("\x1b[H"), std::string::npos);
  ScreenModel model(80, 24);
  model.feed(output);
  EXPECT_EQ(model.clears_of_the_screen(), 0);
  EXPECT_TRUE(model.history().empty()) << "the drawings scrolled the screen";
  EXPECT_EQ(model.screen(), std::vector<std::string>(24));
  EXPECT_EQ(model.cursor_row(), 0u);
  EXPECT_TRUE(model.cursor_visible());
  EXPECT_EQ(model.unknown(), 0);
}

// A child process, killed and reaped when the object goes if it still runs.
class Forked {
 public:
  explicit Forked(pid_t pid) : pid_(pid) {}
  ~Forked() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Forked(const Forked&) = delete;
  Forked& operator=(const Forked&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  // Waits for the process to end and returns its status.
  int wait() {
    int status = 0;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    return status;
  }

 private:
  pid_t pid_;
};

// Shows the result dialog on `device`; returns 0 when "Fermer" closed it.
int show_result(const std::filesystem::path& device) {
  return TerminalDialogHost(device).show(result_config()) == 101 ? 0 : 1;
}

// Runs `body` with the terminal's device in a new process, which ends with
// what it returns.
Forked run_in_child(PseudoTerminal& pty, int (*body)(const std::filesystem::path&)) {
  const pid_t pid = pty.fork_process();
  if (pid == 0) {
    ::_exit(body(pty.device()));
  }
  return Forked(pid);
}

void expect_initial_mode(const PseudoTerminal& pty) {
  const termios now = pty.mode();
  EXPECT_EQ(now.c_lflag, pty.initial_mode().c_lflag);
  EXPECT_EQ(now.c_iflag, pty.initial_mode().c_iflag);
  EXPECT_EQ(now.c_oflag, pty.initial_mode().c_oflag);
}

class EndSignalTest : public testing::TestWithParam<int> {};

TEST_P(EndSignalTest, PutsTheTerminalBackAndEndsAsTheSignalWould) {
  PseudoTerminal pty;
  Forked child = run_in_child(pty, show_result);
  ASSERT_GT(child.pid(), 0);
  ASSERT_TRUE(pty.wait_for("[ Fermer ]"));
  const std::string drawn = pty.settle();
  EXPECT_EQ(pty.mode().c_lflag & (ICANON | ECHO), 0u) << "raw while shown";

  ASSERT_EQ(::kill(child.pid(), GetParam()), 0);
  const int status = child.wait();
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), GetParam());
  const std::string output = pty.settle();
  EXPECT_NE(output.find("\x1b[?25h", drawn.size()), std::string::npos);
  expect_initial_mode(pty);
  ScreenModel model(80, kModelRows);
  model.feed(std::string(kPrompt) + "\r\n" + output);
  expect_only_the_prompt(model);
}

INSTANTIATE_TEST_SUITE_P(Signals, EndSignalTest, testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

constexpr int kOwnHandlerExit = 42;

// A program that ignores SIGHUP, as under nohup, and handles SIGTERM itself.
TEST(TerminalDialogSignals, AnIgnoredSignalStaysIgnoredAndTheOldActionsComeBack) {
  PseudoTerminal pty;
  Forked child = run_in_child(pty, [](const std::filesystem::path& device) {
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGTERM, [](int) { ::_exit(kOwnHandlerExit); });
    if (show_result(device) != 0) {
      return 1;
    }
    ::raise(SIGTERM);  // the dialog gone, the program's own handler takes it
    return 2;
  });
  ASSERT_GT(child.pid(), 0);
  ASSERT_TRUE(pty.wait_for("[ Fermer ]"));
  ASSERT_EQ(::kill(child.pid(), SIGHUP), 0);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(child.running()) << "SIGHUP ended a program that ignores it";
  pty.type("f");
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), kOwnHandlerExit);
}

}  // namespace
}  // namespace ostrevane::platform
