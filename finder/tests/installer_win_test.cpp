#include "finder/src/main/installer.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/path_text.hpp"
#include "testsupport/programs_win.hpp"
#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane {
namespace {

namespace fs = std::filesystem;

// The installer is a stand-in that records how it was started and ends with
// the code it is given.
class InstallerRunWin : public testing::Test {
 protected:
  test::ScratchDir dir_;
  fs::path installer_ = dir_.path() / "ostrevane-setup" / "setup.exe";
  fs::path record_ = dir_.path() / "record";
  test::ScopedEnv record_env_{"OSTREVANE_TEST_RECORD", platform::path_display(record_).c_str()};
};

struct ExitCase {
  std::uint32_t code;
  const char* failure;  // the install failure's detail, or null for success
};

class InstallerExitCodes : public InstallerRunWin, public testing::WithParamInterface<ExitCase> {};

TEST_P(InstallerExitCodes, RunSilentlyAndTheFileIsDeletedAfterAnyCode) {
  test::copy_test_child(installer_);
  const test::ScopedEnv code("OSTREVANE_TEST_EXIT_CODE", std::to_string(GetParam().code).c_str());
  const auto result = run_installer(installer_);
  if (GetParam().failure == nullptr) {
    EXPECT_TRUE(result.has_value());
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), FailureKind::install(GetParam().failure));
  }
  EXPECT_EQ(test::read_child_record(record_).command_line,
            "\"" + platform::path_display(installer_) + "\" /S /R");
  EXPECT_FALSE(fs::exists(installer_));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, InstallerExitCodes,
    testing::Values(ExitCase{0, nullptr}, ExitCase{1, "the installer ended with exit code: 1"},
                    ExitCase{0xC0000005, "the installer ended with exit code: 0xc0000005"}));

// Wine's texts differ from Windows': the code the detail ends with is what counts.
TEST_F(InstallerRunWin, AFileThatCannotStartIsKeptAndFailsWithTheSystemsText) {
  fs::create_directories(installer_.parent_path());
  const auto missing = run_installer(installer_);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, FailureKind::Kind::Install);
  EXPECT_TRUE(missing.error().detail.ends_with(" (os error 2)")) << missing.error().detail;

  std::ofstream(installer_) << "not a program";
  const auto foreign = run_installer(installer_);
  ASSERT_FALSE(foreign.has_value());
  EXPECT_EQ(foreign.error().kind, FailureKind::Kind::Install);
  EXPECT_TRUE(foreign.error().detail.ends_with(" (os error 193)")) << foreign.error().detail;
  EXPECT_TRUE(fs::exists(installer_));
  EXPECT_FALSE(fs::exists(record_));
}

}  // namespace
}  // namespace ostrevane
