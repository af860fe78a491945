#include "finder/src/main/attempts.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "finder/src/main/dialogs.hpp"
#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"
#include "testsupport/task_dialog_window_win.hpp"

namespace ostrevane {
namespace {

using test::DialogDriver;
using test::DialogWindow;
using test::kDialogWait;
using Buttons = std::vector<platform::TaskDialogButton>;

// A copy of this test program stands in for an installer that succeeds: with
// this variable set, it ends at once with exit code 0.
constexpr char kInstallerVariable[] = "OSTREVANE_TEST_INSTALLER_EXIT";
[[maybe_unused]] const bool kStartedAsInstaller = [] {
  if (std::getenv(kInstallerVariable) != nullptr) {
    ExitProcess(0);
  }
  return false;
}();

constexpr std::uint64_t kMiB = 1024 * 1024;
const std::string kSearching = "Recherche du boîtier du cabinet sur le réseau…";

// Lets the flow go on one step each time the test has seen what it showed.
class Turnstile {
 public:
  // Lets one waiter through, now or when it comes.
  void pass() {
    std::lock_guard lock(mutex_);
    ++passes_;
    changed_.notify_all();
  }
  // Lets every waiter through from now on.
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Waits for a pass of its own, at most as long as a test waits for a
  // dialog: a test that failed lets the flow end anyway.
  void wait() {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, kDialogWait, [&] { return open_ || passes_ > 0; }) && !open_) {
      --passes_;
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int passes_ = 0;
  bool open_ = false;
};

// One attempt of the scripted flow: its updates, each posted once the test
// has let the previous one go, then its end.
struct ScriptedAttempt {
  std::vector<ProgressUpdate> updates;
  std::expected<std::filesystem::path, FailureKind> outcome;
};

struct Script {
  std::vector<ScriptedAttempt> attempts;
  Turnstile turnstile;
  std::atomic<int> started{0};
};

SetupFlow scripted_flow(std::shared_ptr<Script> script) {
  return [script](Runtime&, const ProgressReporter& report,
                  const TrustMaterial&) -> std::expected<std::filesystem::path, FailureKind> {
    const int attempt = script->started++;
    if (attempt >= static_cast<int>(script->attempts.size())) {
      ADD_FAILURE() << "attempt " << attempt + 1 << " was not expected";
      return std::unexpected(FailureKind::two_boxes());
    }
    for (const ProgressUpdate& update : script->attempts[attempt].updates) {
      report(update);
      script->turnstile.wait();
    }
    return script->attempts[attempt].outcome;
  };
}

// Waits until a worker that outlived its attempt has let go of the script.
void wait_for_the_worker(const std::shared_ptr<Script>& script) {
  const auto end = std::chrono::steady_clock::now() + kDialogWait;
  while (script.use_count() > 1 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(script.use_count(), 1) << "the worker still runs";
}

// Returns whether the progress dialog shows `text` with a marquee (nullopt)
// or at `position`, waiting for it as the dialog's ticks come.
bool shows_progress(const DialogWindow& window, std::string_view text,
                    std::optional<int> position) {
  const bool shown = window.wait_until([&](const DialogWindow& w) {
    const auto bar = w.progress_bar();
    return w.shows(text) && bar && bar->marquee == !position.has_value() &&
           (!position || bar->position == *position);
  });
  EXPECT_TRUE(shown) << "expected " << text
                     << ", shown: " << testing::PrintToString(window.texts());
  return shown;
}

// Checks the result dialog that presents `failure`.
void expect_result_dialog(const DialogWindow& window, const FailureKind& failure, HICON icon,
                          const Buttons& buttons) {
  const FailurePresentation presented = present_failure(failure);
  EXPECT_EQ(window.title(), "Ostrevane");
  EXPECT_EQ(window.texts(),
            (std::vector<std::string>{std::string(presented.title), failure_message(failure)}));
  EXPECT_EQ(window.icon(), icon);
  EXPECT_EQ(window.buttons(), buttons);
  EXPECT_EQ(window.default_button(), buttons.front().id);
  EXPECT_EQ(window.progress_bar(), std::nullopt);
}

HICON system_icon(LPCWSTR id) {
  return static_cast<HICON>(LoadImageW(nullptr, id, IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE));
}

const Buttons kRetryAndClose = {{kRetryButton, "Réessayer"}, {kCloseButton, "Fermer"}};
const Buttons kCloseOnly = {{kCloseButton, "Fermer"}};

// Runs the attempt loop with the scripted flow while `driver` answers its
// dialogs, and checks how it ended and how many attempts it made.
void run_scripted(const std::shared_ptr<Script>& script, DialogDriver& driver, AttemptsEnd end,
                  int attempts) {
  EXPECT_EQ(run_attempts(std::make_shared<const TrustMaterial>(), scripted_flow(script)), end);
  // A dialog that the driver's script did not expect was left to the driver.
  EXPECT_EQ(driver.stop(), 0);
  EXPECT_EQ(script->started, attempts);
  // A worker left running by a cancellation ends now; its outcome is never shown.
  script->turnstile.open();
  wait_for_the_worker(script);
}

TEST(AttemptLoopTest, ProgressThenRetryThenClose) {
  auto script = std::make_shared<Script>();
  const FailureKind first = FailureKind::download("stalled");
  const FailureKind second = FailureKind::no_installer("HTTP 404");
  script->attempts = {
      {{Searching{}, BoxFound{"cabinet-du-port", "lunel"}, Downloading{3 * kMiB + 5, 4 * kMiB},
        Installing{}},
       std::unexpected(first)},
      {{Searching{}}, std::unexpected(second)},
  };
  DialogDriver driver([&](DWORD thread) {
    auto& turnstile = script->turnstile;
    const auto progress = DialogWindow::wait_for(thread);
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->title(), "Ostrevane");
    EXPECT_EQ(progress->buttons(), (Buttons{{platform::kIdCancel, "Annuler"}}));
    ASSERT_TRUE(shows_progress(*progress, kSearching, std::nullopt));
    turnstile.pass();
    ASSERT_TRUE(shows_progress(*progress, "Boîtier du cabinet trouvé (Lunel)…", std::nullopt));
    turnstile.pass();
    ASSERT_TRUE(shows_progress(*progress, "Téléchargement depuis le boîtier… 3 Mo sur 4 Mo", 75));
    turnstile.pass();
    ASSERT_TRUE(shows_progress(*progress, "Installation…", std::nullopt));
    turnstile.pass();
    // The attempt has failed: the dialog closes itself, the result comes.
    ASSERT_TRUE(progress->wait_closed());

    const auto offer = DialogWindow::wait_for(thread);
    ASSERT_TRUE(offer);
    expect_result_dialog(*offer, first, system_icon(IDI_ERROR), kRetryAndClose);
    offer->click(kRetryButton);
    ASSERT_TRUE(offer->wait_closed());

    // A new attempt starts from the beginning.
    const auto again = DialogWindow::wait_for(thread);
    ASSERT_TRUE(again);
    ASSERT_TRUE(shows_progress(*again, kSearching, std::nullopt));
    turnstile.pass();
    ASSERT_TRUE(again->wait_closed());

    const auto last = DialogWindow::wait_for(thread);
    ASSERT_TRUE(last);
    expect_result_dialog(*last, second, system_icon(IDI_ERROR), kCloseOnly);
    last->click(kCloseButton);
    EXPECT_TRUE(last->wait_closed());
  });
  run_scripted(script, driver, AttemptsEnd::kFinished, 2);
}

TEST(AttemptLoopTest, NoBoxIsInformationAndItsCloseBoxEnds) {
  auto script = std::make_shared<Script>();
  script->attempts = {{{Searching{}}, std::unexpected(FailureKind::no_box())}};
  DialogDriver driver([&](DWORD thread) {
    const auto progress = DialogWindow::wait_for(thread);
    ASSERT_TRUE(progress);
    ASSERT_TRUE(shows_progress(*progress, kSearching, std::nullopt));
    script->turnstile.pass();
    ASSERT_TRUE(progress->wait_closed());

    const auto offer = DialogWindow::wait_for(thread);
    ASSERT_TRUE(offer);
    expect_result_dialog(*offer, FailureKind::no_box(), system_icon(IDI_INFORMATION),
                         kRetryAndClose);
    offer->close();
    EXPECT_TRUE(offer->wait_closed());
  });
  run_scripted(script, driver, AttemptsEnd::kFinished, 1);
}

TEST(AttemptLoopTest, CloseBoxDuringTheDownloadCancels) {
  auto script = std::make_shared<Script>();
  script->attempts = {
      {{Downloading{kMiB, 0}, Installing{}}, std::unexpected(FailureKind::download("x"))}};
  DialogDriver driver([&](DWORD thread) {
    const auto progress = DialogWindow::wait_for(thread);
    ASSERT_TRUE(progress);
    ASSERT_TRUE(shows_progress(*progress, "Téléchargement depuis le boîtier…", std::nullopt));
    progress->close();
    EXPECT_TRUE(progress->wait_closed());
  });
  run_scripted(script, driver, AttemptsEnd::kCancelled, 1);
}

TEST(AttemptLoopTest, SuccessEndsWithoutAResultDialog) {
  test::ScratchDir folder;
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, MAX_PATH);
  const std::filesystem::path installer = folder.path() / "ostrevane-installer.exe";
  std::filesystem::copy_file(self, installer);
  const test::ScopedEnv as_installer(kInstallerVariable, "1");

  auto script = std::make_shared<Script>();
  script->attempts = {{{BoxFound{"cabinet", "brastel"}}, installer}};
  DialogDriver driver([&](DWORD thread) {
    const auto progress = DialogWindow::wait_for(thread);
    ASSERT_TRUE(progress);
    ASSERT_TRUE(shows_progress(*progress, "Boîtier du cabinet trouvé (Brastel)…", std::nullopt));
    script->turnstile.pass();
    EXPECT_TRUE(progress->wait_closed());
  });
  run_scripted(script, driver, AttemptsEnd::kFinished, 1);
  // The installer ran and ended with 0: its file is gone.
  EXPECT_FALSE(std::filesystem::exists(installer));
}

}  // namespace
}  // namespace ostrevane
