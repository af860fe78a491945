#include "platform/process.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/os_error.hpp"
#include "testsupport/scoped_env.hpp"
#include "testsupport/scratch_dir.hpp"

namespace ostrevane::platform {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kInstallerArguments{"/S", "/R"};

std::string read_text(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

class StartProcess : public ::testing::Test {
 protected:
  // Writes a script, without an execute bit, that records its arguments, the
  // variable OSTREVANE_TEST_ENV and its working folder in `record_`, then runs `tail`.
  fs::path script(const std::string& tail) {
    const fs::path file = dir_.path() / "setup.exe";
    std::ofstream(file) << "#!/bin/sh\n"
                           "printf '%s\\n' \"$@\" \"$OSTREVANE_TEST_ENV\" \"$(pwd)\" > \""
                        << record_.string() << "\"\n"
                        << tail << "\n";
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    return file;
  }

  test::ScratchDir dir_;
  fs::path record_ = dir_.path() / "record.txt";
};

TEST_F(StartProcess, PassesArgumentsAndInheritsTheEnvironmentAndFolder) {
  const fs::path file = script("exit 0");
  const test::ScopedEnv env("OSTREVANE_TEST_ENV", "inherited");
  auto process = start_process(file, kInstallerArguments);
  ASSERT_TRUE(process) << process.error().message();
  ASSERT_FALSE(process->wait());
  EXPECT_EQ(process->exit_code(), 0u);
  EXPECT_EQ(read_text(record_), "/S\n/R\ninherited\n" + fs::current_path().string() + "\n");
  EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_exec, fs::perms::none);
}

class ExitCodes : public StartProcess,
                  public ::testing::WithParamInterface<std::pair<const char*, std::uint32_t>> {};

TEST_P(ExitCodes, AreReadAfterTheWait) {
  auto process = start_process(script(GetParam().first), kInstallerArguments);
  ASSERT_TRUE(process) << process.error().message();
  EXPECT_FALSE(process->exit_code());  // not waited for yet
  ASSERT_FALSE(process->wait());
  EXPECT_EQ(process->exit_code(), GetParam().second);
  EXPECT_FALSE(process->wait());  // a second wait keeps the code
  EXPECT_EQ(process->exit_code(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitCodes,
                         ::testing::Values(std::pair{"exit 1", 1u}, std::pair{"exit 255", 255u},
                                           std::pair{"sleep 0.2; exit 3", 3u},
                                           std::pair{"kill -9 $$", 137u},
                                           std::pair{"kill -15 $$", 143u}));

TEST_F(StartProcess, ReportsAFileThatCannotBeStarted) {
  const auto missing = start_process(dir_.path() / "missing.exe", kInstallerArguments);
  ASSERT_FALSE(missing);
  EXPECT_EQ(error_code_text(missing.error()), "No such file or directory (os error 2)");

  // What a Windows installer is here: a file in no format the system runs.
  const fs::path foreign = dir_.path() / "foreign.exe";
  std::ofstream(foreign) << "MZ\x90";
  const auto not_runnable = start_process(foreign, kInstallerArguments);
  ASSERT_FALSE(not_runnable);
  EXPECT_EQ(error_code_text(not_runnable.error()), "Exec format error (os error 8)");
}

}  // namespace
}  // namespace ostrevane::platform
