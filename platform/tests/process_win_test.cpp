#include "platform/process.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>

#include "platform/path_text.hpp"
#include "testsupport/programs_win.hpp"
#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kInstallerArguments{"/S", "/R"};

class StartProcess : public ::testing::Test {
 protected:
  // The stand-in installer, in a folder whose name has a space and an accent.
  fs::path installer() {
    const fs::path file = dir_.path() /
                          path_from_utf8(
                              "T\xC3\xA9l\xC3\xA9"
                              "chargements 1") /
                          "setup.exe";
    test::copy_test_child(file);
    return file;
  }

  test::ChildRecord record() const { return test::read_child_record(record_); }

  test::ScratchDir dir_;
  fs::path record_ = dir_.path() / "record";
  test::ScopedEnv record_env_{"OSTREVANE_TEST_RECORD", path_display(record_).c_str()};
};

TEST_F(StartProcess, QuotesThePathAndInheritsTheEnvironmentAndFolder) {
  const fs::path file = installer();
  auto process = start_process(file, kInstallerArguments);
  ASSERT_TRUE(process) << process.error().message();
  ASSERT_FALSE(process->wait());
  EXPECT_EQ(process->exit_code(), 0u);

  const test::ChildRecord seen = record();
  EXPECT_EQ(seen.command_line, "\"" + path_display(file) + "\" /S /R");
  EXPECT_EQ(seen.arguments, (std::vector<std::string>{path_display(file), "/S", "/R"}));
  EXPECT_EQ(seen.current_folder, path_display(fs::current_path()));
}

// Only the path is quoted: an argument is written into the line unchanged.
TEST_F(StartProcess, ArgumentsGoAsTheyStand) {
  const fs::path file = installer();
  auto process = start_process(file, std::vector<std::string>{"a b", "\"c\""});
  ASSERT_TRUE(process) << process.error().message();
  ASSERT_FALSE(process->wait());
  const test::ChildRecord seen = record();
  EXPECT_EQ(seen.command_line, "\"" + path_display(file) + "\" a b \"c\"");
  EXPECT_EQ(seen.arguments, (std::vector<std::string>{path_display(file), "a", "b", "c"}));
}

class ExitCodes : public StartProcess, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(ExitCodes, AreReadAfterTheWait) {
  const test::ScopedEnv code("OSTREVANE_TEST_EXIT_CODE", std::to_string(GetParam()).c_str());
  auto process = start_process(installer(), kInstallerArguments);
  ASSERT_TRUE(process) << process.error().message();
  EXPECT_FALSE(process->exit_code());  // not waited for yet
  ASSERT_FALSE(process->wait());
  EXPECT_EQ(process->exit_code(), GetParam());
  EXPECT_FALSE(process->wait());  // a second wait keeps the code
  EXPECT_EQ(process->exit_code(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitCodes, ::testing::Values(1u, 255u, 0xC0000005u, 0xFFFFFFFFu));

TEST_F(StartProcess, ReportsAFileThatCannotBeStarted) {
  const auto missing = start_process(dir_.path() / "missing.exe", kInstallerArguments);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()));

  const fs::path text = dir_.path() / "setup.exe";
  std::ofstream(text) << "not a program";
  const auto not_runnable = start_process(text, kInstallerArguments);
  ASSERT_FALSE(not_runnable);
  EXPECT_EQ(not_runnable.error(), std::error_code(ERROR_BAD_EXE_FORMAT, std::system_category()));
}

}  // namespace
}  // namespace ostrevane::platform
