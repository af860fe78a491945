// The built program's interactive setup on a pseudo-terminal against the demo
// box, each case in a private network namespace of its own. The dialogs are
// read off the terminal as drawn; every wait is bounded, so a hang fails.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_harness.hpp"
#include "testsupport/netns.hpp"

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

}  // namespace
}  // namespace ostrevane::e2e
