#include "finder/src/main/installer.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "testsupport/scratch_dir.hpp"

namespace ostrevane {
namespace {

class InstallerRunTest : public testing::Test {
 protected:
  // Writes an installer that records its arguments and exits with `code`; it
  // is left without execute bit, as a downloaded file is.
  std::filesystem::path write_installer(int code) {
    const auto path = dir_.path() / "setup.exe";
    std::ofstream(path) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << args_file().string()
                        << "'\nexit " << code << "\n";
    return path;
  }
  std::filesystem::path args_file() const { return dir_.path() / "args"; }
  std::string recorded_args() const {
    std::ifstream in(args_file());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  test::ScratchDir dir_;
};

TEST_F(InstallerRunTest, SuccessRunsSilentlyAndDeletesTheFile) {
  const auto installer = write_installer(0);
  EXPECT_TRUE(run_installer(installer).has_value());
  EXPECT_EQ(recorded_args(), "/S\n/R\n");
  EXPECT_FALSE(std::filesystem::exists(installer));
}

TEST_F(InstallerRunTest, ANonZeroExitCodeFailsAndStillDeletesTheFile) {
  const auto installer = write_installer(1);
  auto result = run_installer(installer);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), FailureKind::install("the installer ended with exit code: 1"));
  EXPECT_FALSE(std::filesystem::exists(installer));
}

TEST_F(InstallerRunTest, AFileThatCannotStartIsKept) {
  const auto installer = dir_.path() / "setup.exe";
  std::ofstream(installer) << "not a program";
  auto result = run_installer(installer);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, FailureKind::Kind::Install);
  EXPECT_NE(result.error().detail.find("(os error "), std::string::npos) << result.error().detail;
  EXPECT_TRUE(std::filesystem::exists(installer));
}

}  // namespace
}  // namespace ostrevane
