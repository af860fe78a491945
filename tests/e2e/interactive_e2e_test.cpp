// The built program's interactive setup on a pseudo-terminal against the demo
// box, each case in a private network namespace of its own. The dialogs are
// read off the terminal as drawn; every wait is bounded, so a hang fails.

#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_harness.hpp"
#include "testsupport/netns.hpp"
#include "testsupport/screen_model.hpp"

namespace ostrevane::e2e {
namespace {

using namespace std::chrono_literals;
using Files = std::optional<std::vector<std::string>>;

constexpr char kSearching[] = "Recherche du boîtier du cabinet sur le réseau…";
constexpr char kRetry[] = "[ Réessayer ]";
constexpr char kClose[] = "[ Fermer ]";
// No box means three discovery passes of 4 s before the result dialog.
constexpr auto kNoBoxWait = 30s;

// Returns the terminal output with its escape characters made visible.
std::string visible(const TerminalSession& session) {
  std::string out;
  for (const char c : session.output()) {
    out += c == '\x1b' ? std::string("^[") : std::string(1, c);
  }
  return out;
}

// Runs `body` with a fresh home in a private network namespace; skips the
// test when none can be made.
#define RUN_IN_NAMESPACE(body)                                                  \
  do {                                                                          \
    auto entered = test::run_in_private_network_namespace(body);                \
    if (!entered) {                                                             \
      GTEST_SKIP() << "needs a private network namespace: " << entered.error(); \
    }                                                                           \
  } while (false)

std::vector<std::string> box_options(const ProgramHome& home, std::vector<std::string> options) {
  options.insert(options.end(), {"--args-file", home.args_file().string()});
  return options;
}

TEST(InteractiveSetup, SuccessShowsEachStepRunsTheInstallerAndEndsWithoutResult) {
  ProgramHome home;
  RUN_IN_NAMESPACE([&] {
    DemoBox box(box_options(home, {"--paced"}));
    TerminalSession session(built_files().setup, {}, home.environment());
    for (const char* step :
         {kSearching, "Lunel", "Téléchargement depuis le boîtier…", "Installation…"}) {
      ASSERT_TRUE(session.wait_for(step)) << step << " not shown in:\n" << visible(session);
    }
    EXPECT_EQ(session.wait_exit(), 0);
    EXPECT_EQ(session.output().find(kClose), std::string::npos) << visible(session);
  });
  EXPECT_EQ(read_file(home.args_file()), "/S\n/R\n");
  EXPECT_EQ(home.working_files(), Files(std::vector<std::string>{}));
}

TEST(InteractiveSetup, FailedInstallerOffersRetryWhichStartsANewSearch) {
  ProgramHome home;
  RUN_IN_NAMESPACE([&] {
    DemoBox box(box_options(home, {"--exit-code", "1"}));
    TerminalSession session(built_files().setup, {}, home.environment());
    ASSERT_TRUE(session.wait_for(kSearching)) << visible(session);
    ASSERT_TRUE(session.wait_for("(!) Installation impossible")) << visible(session);
    ASSERT_TRUE(session.wait_for(kRetry)) << visible(session);
    session.type("\r");  // the default button
    ASSERT_TRUE(session.wait_for(kSearching)) << "no second attempt:\n" << visible(session);
    ASSERT_TRUE(session.wait_for("(!) Installation impossible")) << visible(session);
    session.type("f");
    EXPECT_EQ(session.wait_exit(), 0);
  });
  EXPECT_EQ(read_file(home.args_file()), "/S\n/R\n/S\n/R\n");
  EXPECT_EQ(home.working_files(), Files(std::vector<std::string>{}));
}

TEST(InteractiveSetup, NoBoxIsShownAsNotFoundWithRetry) {
  ProgramHome home;
  RUN_IN_NAMESPACE([&] {
    TerminalSession session(built_files().setup, {}, home.environment());
    ASSERT_TRUE(session.wait_for(kSearching)) << visible(session);
    ASSERT_TRUE(session.wait_for("(i) Boîtier introuvable", kNoBoxWait)) << visible(session);
    ASSERT_TRUE(session.wait_for(kRetry)) << visible(session);
    session.type("f");
    EXPECT_EQ(session.wait_exit(), 0);
  });
}

struct CloseOnlyCase {
  const char* name;
  std::vector<std::string> box;
};

class InteractiveCloseOnly : public ::testing::TestWithParam<CloseOnlyCase> {};

TEST_P(InteractiveCloseOnly, ResultOffersCloseAlone) {
  ProgramHome home;
  RUN_IN_NAMESPACE([&] {
    DemoBox box(box_options(home, GetParam().box));
    TerminalSession session(built_files().setup, {}, home.environment());
    ASSERT_TRUE(session.wait_for("(!) Installation impossible")) << visible(session);
    ASSERT_TRUE(session.wait_for(kClose)) << visible(session);
    EXPECT_EQ(session.output().find("Réessayer"), std::string::npos) << visible(session);
    session.type("\r");  // Fermer, the only and so the default button
    EXPECT_EQ(session.wait_exit(), 0);
  });
  EXPECT_FALSE(std::filesystem::exists(home.args_file())) << "the installer ran";
}

INSTANTIATE_TEST_SUITE_P(Failures, InteractiveCloseOnly,
                         ::testing::Values(CloseOnlyCase{"TwoBoxes", {"--second-box"}},
                                           CloseOnlyCase{"NotGenuine", {"--foreign-cert"}},
                                           CloseOnlyCase{"NoInstaller", {"--bad-signature"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InteractiveSetup, CancelDuringDownloadEndsAtOnceAndLeavesThePartFile) {
  ProgramHome home;
  RUN_IN_NAMESPACE([&] {
    DemoBox box(box_options(home, {"--slow-file"}));
    TerminalSession session(built_files().setup, {}, home.environment());
    ASSERT_TRUE(session.wait_for("Téléchargement depuis le boîtier…")) << visible(session);
    session.type("\x1b");
    EXPECT_EQ(session.wait_exit(3s), 0);
    EXPECT_EQ(session.output().find(kClose), std::string::npos) << visible(session);
  });
  EXPECT_EQ(home.working_files(),
            Files(std::vector<std::string>{"Ostrevane-Setup-1.4.2.exe.part"}));
  EXPECT_FALSE(std::filesystem::exists(home.args_file())) << "the installer ran";
}

TEST(InteractiveSetup, DamagedTrustMaterialShowsOneDialogWithCloseAlone) {
  ProgramHome home;
  // A namespace all the same: should the program go on to search, its
  // broadcast stays inside.
  RUN_IN_NAMESPACE([&] {
    TerminalSession session(built_files().broken_setup, {}, home.environment());
    ASSERT_TRUE(session.wait_for("(!) Installation impossible")) << visible(session);
    ASSERT_TRUE(session.wait_for("Ce programme d'installation est endommagé")) << visible(session);
    ASSERT_TRUE(session.wait_for(kClose)) << visible(session);
    session.type("\r");
    EXPECT_EQ(session.wait_exit(), 0);
    const std::string output = session.output();
    EXPECT_EQ(output.find("Réessayer"), std::string::npos) << visible(session);
    EXPECT_EQ(output.find("Recherche"), std::string::npos) << visible(session);
  });
  EXPECT_EQ(home.working_files(), Files());
}

// Returns the columns that a row of the screen takes, a code point each.
std::size_t columns_of(std::string_view row) {
  return static_cast<std::size_t>(std::count_if(row.begin(), row.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

TEST(InteractiveSetup, AResizedDialogIsDrawnAnewAndErasedWhole) {
  ProgramHome home;
  RUN_IN_NAMESPACE([&] {
    TerminalSession session(built_files().broken_setup, {}, home.environment());
    ASSERT_TRUE(session.wait_for(kClose)) << visible(session);
    const std::string first = session.settle();
    session.resize(40, 40);
    ASSERT_TRUE(session.wait_for(kClose)) << "not drawn anew:\n" << visible(session);
    const std::string second = session.settle();
    session.type("\r");
    EXPECT_EQ(session.wait_exit(), 0);

    // A terminal that rewraps its lines when it is made narrower, as most do.
    test::ScreenModel model(100, 40);
    model.feed(first);
    model.resize(40, 40);
    model.feed(second.substr(first.size()));
    const auto screen = model.screen();
    EXPECT_EQ(std::ranges::count_if(
                  screen, [](const std::string& row) { return row.starts_with("┌─ Ostrevane"); }),
              1);
    for (const std::string& row : screen) {
      EXPECT_LT(columns_of(row), 40u) << row;
    }
    model.feed(session.settle().substr(second.size()));
    EXPECT_EQ(model.screen(), std::vector<std::string>(40)) << visible(session);
    EXPECT_TRUE(model.history().empty());
    EXPECT_TRUE(model.cursor_visible());
    EXPECT_EQ(model.clears_of_the_screen(), 0);
  });
}

class InteractiveSignal : public ::testing::TestWithParam<int> {};

TEST_P(InteractiveSignal, DuringTheSearchLeavesTheTerminalAsItWas) {
  ProgramHome home;
  RUN_IN_NAMESPACE([&] {
    TerminalSession session(built_files().setup, {}, home.environment());
    ASSERT_TRUE(session.wait_for(kSearching)) << visible(session);
    session.signal(GetParam());
    EXPECT_EQ(session.wait_exit(5s), 128 + GetParam());
    const std::string output = session.settle();
    EXPECT_NE(output.find("\x1b[?25h", output.rfind("\x1b[?25l")), std::string::npos)
        << visible(session);
    const termios now = session.mode();
    EXPECT_EQ(now.c_lflag, session.initial_mode().c_lflag);
    EXPECT_EQ(now.c_iflag, session.initial_mode().c_iflag);
    EXPECT_EQ(now.c_oflag, session.initial_mode().c_oflag);
  });
}

INSTANTIATE_TEST_SUITE_P(Signals, InteractiveSignal, ::testing::Values(SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
}  // namespace ostrevane::e2e
